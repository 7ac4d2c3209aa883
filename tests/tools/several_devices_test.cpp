// Several devices on one bus: one stream, hello and image over an address
// list, and an image interrupted with Ctrl-C that leaves the bus free.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "tool_fixture.h"

namespace qx318::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr int kNoAnswer = 12;  // QX318_FAIL_NO_ANSWER

std::vector<std::string> LinesOf(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> FieldsOf(const std::string &line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  if (!line.empty() && line.back() == ',') fields.emplace_back();
  return fields;
}

// The files in dir besides the simulator's link, by name.
std::vector<std::string> FilesIn(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name != "bus" && name.rfind("sim-", 0) != 0 && name != "tool.err") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SeveralDevicesTest : public ToolFixture {
 protected:
  void StartBus(std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"--link", dir_ + "/bus"});
    (void)StartSim(arguments);
  }
  RunResult Tool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--port", "./bus"});
    return RunProgram(kTool, arguments, dir_);
  }
};

// Per address, from the summary: measurements, failed, and the count of
// each failure code listed under it.
struct DeviceSummary {
  uint64_t measurements = 0;
  uint64_t failed = 0;
  std::map<int, uint64_t> by_code;
  bool has_cycle_time = false;
};

std::map<int, DeviceSummary> SummariesOf(const std::string &err) {
  std::map<int, DeviceSummary> summaries;
  const std::regex head(R"(address (\d+): (\d+) measurements, (\d+) failed, in [0-9.]+ s)");
  const std::regex reason(R"(failed with code (\d+) \([^)]*\): (\d+))");
  DeviceSummary *current = nullptr;
  std::smatch m;
  for (const std::string &line : LinesOf(err)) {
    if (std::regex_search(line, m, head)) {
      current = &summaries[std::stoi(m[1])];
      current->measurements = std::stoull(m[2]);
      current->failed = std::stoull(m[3]);
    } else if (current != nullptr && std::regex_search(line, m, reason)) {
      current->by_code[std::stoi(m[1])] = std::stoull(m[2]);
    } else if (current != nullptr && line.find("cycle time: median") != std::string::npos) {
      current->has_cycle_time = true;
    }
  }
  return summaries;
}

// Devices at 1 and 3 and none at 5: every round asks 1, 3, 5 in that order,
// every record names its device, and the summary tells each apart.
TEST_F(SeveralDevicesTest, OneStreamPollsEveryAddressInTurnAndSumsUpEach) {
  StartBus({"--address", "1,3"});
  const RunResult r = Tool(
      {"--address", "1,3,5", "measure", "--every", "0", "--count", "2", "--output", "run.csv"});
  EXPECT_EQ(r.exit_code, 1) << r.err;  // address 5 never answers

  const std::vector<std::string> lines = LinesOf(ReadFile(dir_ + "/run.csv"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0],
            "sequence,time_utc,address,lead_byte,pair_count,pair,first,second,"
            "failure_code,failure");
  // One row per pair, or one for a failed record: the first row of each
  // record gives its order.
  std::vector<std::pair<std::string, std::string>> records;  // address, failure code
  std::string last_sequence;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> f = FieldsOf(lines[i]);
    ASSERT_EQ(f.size(), 10u) << lines[i];
    if (f[0] == last_sequence) continue;
    EXPECT_EQ(f[0], std::to_string(records.size() + 1)) << "numbered across devices";
    last_sequence = f[0];
    records.emplace_back(f[2], f[8]);
  }
  const std::vector<std::pair<std::string, std::string>> expected{
      {"1", ""}, {"3", ""}, {"5", "12"}, {"1", ""}, {"3", ""}, {"5", "12"}};
  EXPECT_EQ(records, expected);

  const std::map<int, DeviceSummary> summaries = SummariesOf(r.err);
  ASSERT_EQ(summaries.size(), 3u) << r.err;
  for (const int answering : {1, 3}) {
    EXPECT_EQ(summaries.at(answering).measurements, 2u) << r.err;
    EXPECT_EQ(summaries.at(answering).failed, 0u) << r.err;
    EXPECT_TRUE(summaries.at(answering).by_code.empty()) << r.err;
    EXPECT_TRUE(summaries.at(answering).has_cycle_time) << r.err;
  }
  EXPECT_EQ(summaries.at(5).failed, 2u) << r.err;
  EXPECT_EQ(summaries.at(5).by_code, (std::map<int, uint64_t>{{kNoAnswer, 2}})) << r.err;
}

// The JSON records of a list carry each device's address, single or
// streamed alike.
TEST_F(SeveralDevicesTest, JsonRecordsOfAListCarryTheirAddresses) {
  StartBus({"--address", "2,4"});
  for (const std::vector<std::string> &stream :
       {std::vector<std::string>{}, std::vector<std::string>{"--count", "1"}}) {
    std::vector<std::string> arguments{"--address", "4,2", "--json", "measure"};
    arguments.insert(arguments.end(), stream.begin(), stream.end());
    const RunResult r = Tool(arguments);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> lines = LinesOf(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    const nlohmann::json first = nlohmann::json::parse(lines[0]);
    const nlohmann::json second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(first.at("address"), 4);
    EXPECT_EQ(second.at("address"), 2);
    EXPECT_EQ(second.at("sequence"), 2);
    EXPECT_GT(second.at("pair_count").get<int>(), 0);
  }
}

TEST_F(SeveralDevicesTest, HelloGreetsEveryAddressAndFailsForASilentOne) {
  StartBus({"--address", "1,3"});
  const RunResult r = Tool({"--address", "1-3", "hello"});
  EXPECT_EQ(r.exit_code, 1);
  const std::vector<std::string> out = LinesOf(r.out);
  ASSERT_EQ(out.size(), 2u) << r.out;
  EXPECT_EQ(out[0].rfind("address 1: value1 318,", 0), 0u) << out[0];
  EXPECT_EQ(out[1].rfind("address 3: value1 318,", 0), 0u) << out[1];
  EXPECT_NE(r.err.find("address 2: no answer"), std::string::npos) << r.err;
}

// One file per device, named after its address; the name given is not
// written itself.
TEST_F(SeveralDevicesTest, ImagesOfAListGoToOneFilePerAddress) {
  StartBus({"--address", "1,3", "--rows", "4", "--row-length", "6"});
  const RunResult r = Tool({"--address", "3,1", "image", "-o", "shot.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(FilesIn(dir_), (std::vector<std::string>{"shot-a1.png", "shot-a3.png"}));
  for (const char *name : {"shot-a1.png", "shot-a3.png"}) {
    PngPixels png;
    ASSERT_TRUE(ReadPng(dir_ + "/" + name, PNG_FORMAT_GRAY, &png)) << name;
    EXPECT_EQ(png.width, 6u);
    EXPECT_EQ(png.height, 4u);
  }
  const std::vector<std::string> out = LinesOf(r.out);
  ASSERT_EQ(out.size(), 2u) << r.out;
  EXPECT_EQ(out[0].rfind("address 3: image: 4 rows x 6 pixels", 0), 0u) << out[0];
  EXPECT_NE(out[0].find("written to shot-a3.png"), std::string::npos) << out[0];
}

// The plot of a list is one picture per device, each of its own device's
// measurement (title and profile), not one picture written twice.
TEST_F(SeveralDevicesTest, APlotOfAListIsOnePicturePerDevice) {
  if (!PlotBuiltIn()) GTEST_SKIP() << "this qx318 has no plot support";
  StartBus({"--address", "1,3"});
  const RunResult r = Tool({"--address", "1,3", "measure", "--count", "1", "--plot", "p.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(FilesIn(dir_), (std::vector<std::string>{"p-a1.png", "p-a3.png"}));
  PngPixels first;
  PngPixels second;
  ASSERT_TRUE(ReadPng(dir_ + "/p-a1.png", PNG_FORMAT_RGB, &first));
  ASSERT_TRUE(ReadPng(dir_ + "/p-a3.png", PNG_FORMAT_RGB, &second));
  EXPECT_EQ(first.width, second.width);
  EXPECT_NE(first.pixels, second.pixels);
}

// Ctrl-C during an image at 9600 baud (4000 pixels, about 4 s): the first
// finishes the transfer without keeping it, so that the very next call
// succeeds; a second leaves at once and says the bus may still be busy.
// Neither leaves a file behind.
class InterruptedImageTest : public SeveralDevicesTest {
 protected:
  // Starts the image and returns once the simulator has seen its request:
  // from then on the tool is inside the transfer.
  std::unique_ptr<Child> StartImage() {
    StartBus({"--baud", "9600", "--rows", "40", "--row-length", "100", "--trace"});
    auto tool =
        std::make_unique<Child>(kTool,
                                std::vector<std::string>{"--port", dir_ + "/bus", "--baud", "9600",
                                                         "image", "-o", dir_ + "/shot.png"},
                                dir_ + "/tool.err");
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (SimErrors().find("IMAGE") == std::string::npos &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_NE(SimErrors().find("IMAGE"), std::string::npos) << SimErrors();
    return tool;
  }
};

TEST_F(InterruptedImageTest, AFirstCtrlCFinishesTheTransferAndKeepsNothing) {
  std::unique_ptr<Child> tool = StartImage();
  const RunResult r = tool->Stop(SIGINT);
  const std::string err = ReadFile(dir_ + "/tool.err");
  EXPECT_EQ(r.exit_code, 130) << err;
  // Before the image's header the time left cannot be told.
  EXPECT_TRUE(std::regex_search(
      err,
      std::regex(R"(finishing the transfer so that the bus is free \((about \d+ s left at the )"
                 R"(current rate|the image's size is not known yet)\); Ctrl-C again)")))
      << err;
  EXPECT_NE(err.find("the transfer was read to its end and not kept; the bus is free"),
            std::string::npos)
      << err;
  EXPECT_TRUE(FilesIn(dir_).empty());
  const RunResult hello = Tool({"--baud", "9600", "hello"});
  EXPECT_EQ(hello.exit_code, 0) << hello.err;
}

TEST_F(InterruptedImageTest, ASecondCtrlCAbandonsTheTransferAndSaysTheBusMayBeBusy) {
  std::unique_ptr<Child> tool = StartImage();
  // The second signal only once the first was taken: a message says so.
  ASSERT_EQ(kill(tool->pid(), SIGINT), 0);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReadFile(dir_ + "/tool.err").find("Ctrl-C again") == std::string::npos &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  const RunResult r = tool->Stop(SIGINT);
  const std::string err = ReadFile(dir_ + "/tool.err");
  EXPECT_EQ(r.exit_code, 130) << err;
  EXPECT_NE(err.find("transfer abandoned: the device may keep the bus busy"), std::string::npos)
      << err;
  EXPECT_EQ(err.find("read to its end"), std::string::npos) << err;
  EXPECT_TRUE(FilesIn(dir_).empty());
}

}  // namespace
}  // namespace qx318::testing
