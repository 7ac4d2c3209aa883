// qx318 against qx318-sim, two processes meeting on a pseudo-terminal, as a
// user runs them: every subcommand in both output styles, a bus of several
// devices, images written and read back, flash kept across a restart of the
// simulator, every injected fault, and usage errors.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "line_rate.h"
#include "sim/device_model.h"
#include "sim/faults.h"
#include "tool_fixture.h"
#include "wire_oracle.h"

// Stable test names: the fault's name, not the enum's bytes. Found by
// argument-dependent lookup, so it lives in the enum's namespace.
namespace qx318::sim {
inline void PrintTo(FaultKind kind, std::ostream *os) { *os << FaultName(kind); }
}  // namespace qx318::sim

namespace qx318::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using std::chrono::milliseconds;

constexpr int kRows = 10;
constexpr int kRowLength = 12;
constexpr int kPairs = 8;

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

using Grey = PngPixels;

// An 8-bit grey PNG.
bool ReadPng(const std::string &path, Grey *out) {
  return qx318::testing::ReadPng(path, PNG_FORMAT_GRAY, out);
}

// 0 -> 0 and 127 -> 255, rounded to the nearest grey level.
uint8_t ExpectedGrey(uint8_t pixel) {
  return static_cast<uint8_t>(std::lround(pixel * 255.0 / 127.0));
}

class ToolTest : public ToolFixture {
 protected:
  RunResult Tool(const std::string &port, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--port", port});
    return RunProgram(kTool, arguments, dir_);
  }

  Json ToolJson(const std::string &port, std::vector<std::string> arguments) {
    arguments.push_back("--json");
    const RunResult r = Tool(port, arguments);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    try {
      return Json::parse(r.out);
    } catch (const std::exception &e) {
      ADD_FAILURE() << "not JSON: " << r.out;
      return Json();
    }
  }
};

std::vector<std::string> SmallDevice() {
  return {"--rows",  std::to_string(kRows), "--row-length", std::to_string(kRowLength),
          "--pairs", std::to_string(kPairs)};
}

struct JsonCase {
  std::vector<std::string> arguments;
  std::function<void(const Json &)> check;
};

TEST_F(ToolTest, EverySubcommandAnswersInJson) {
  const std::string port = StartSim(SmallDevice());
  int32_t rotated = 0;
  const std::vector<JsonCase> cases = {
      {{"hello"},
       [](const Json &j) {
         EXPECT_EQ(j["address"], 1);
         EXPECT_EQ(j["hello"]["value1"], sim::kDeviceModel);
         EXPECT_EQ(j["hello"]["value4"], kRows);
         EXPECT_EQ(j["hello"]["value7"], 1);
       }},
      {{"param", "set", "0x0205", "300", "--verify"},
       [](const Json &j) {
         EXPECT_EQ(j["value"], 300);
         EXPECT_EQ(j["verified"], true);
       }},
      {{"param", "get", "517"},
       [](const Json &j) {
         EXPECT_EQ(j["code"], 517);
         EXPECT_EQ(j["parameter"], 5);
         EXPECT_EQ(j["groups"], 2);
         EXPECT_EQ(j["value"], 300);
       }},
      {{"param", "save"}, [](const Json &j) { EXPECT_EQ(j["saved"], true); }},
      {{"param", "set", "0x0205", "9"}, [](const Json &j) { EXPECT_EQ(j["verified"], false); }},
      {{"param", "restore"}, [](const Json &j) { EXPECT_EQ(j["restored"], true); }},
      {{"param", "get", "0x0205"}, [](const Json &j) { EXPECT_EQ(j["value"], 300); }},
      {{"measure"},
       [](const Json &j) {
         EXPECT_EQ(j["pair_count"], kPairs);
         ASSERT_EQ(j["pairs"].size(), size_t{kPairs});
         EXPECT_EQ(j["pairs"][0].size(), 2u);
       }},
      {{"lock"}, [](const Json &j) { EXPECT_EQ(j["sent"], true); }},
      {{"image"},
       [](const Json &j) {
         EXPECT_EQ(j["row_count"], kRows);
         EXPECT_EQ(j["row_length"], kRowLength);
         EXPECT_EQ(j["word4"], sim::kPixelBits);
         EXPECT_EQ(j["max_pixel"], 127);
       }},
      {{"rotate"}, [&rotated](const Json &j) { rotated = j["angle"].get<int32_t>(); }},
      {{"angle", "get"}, [&rotated](const Json &j) { EXPECT_EQ(j["angle"], rotated); }},
      {{"angle", "save"}, [](const Json &j) { EXPECT_EQ(j["saved"], true); }},
      {{"angle", "restore"}, [](const Json &j) { EXPECT_EQ(j["restored"], true); }},
  };
  for (const JsonCase &c : cases) {
    SCOPED_TRACE(c.arguments.front() + (c.arguments.size() > 1 ? " " + c.arguments[1] : ""));
    c.check(ToolJson(port, c.arguments));
  }
}

TEST_F(ToolTest, EverySubcommandPrintsForAPersonWithOptionsBeforeOrAfterIt) {
  const std::string port = StartSim(SmallDevice());
  const std::vector<std::vector<std::string>> commands = {{"hello"},
                                                          {"param", "get", "0x0205"},
                                                          {"param", "set", "0x0205", "4"},
                                                          {"param", "save"},
                                                          {"param", "restore"},
                                                          {"measure"},
                                                          {"lock"},
                                                          {"image"},
                                                          {"rotate"},
                                                          {"angle", "get"},
                                                          {"angle", "save"},
                                                          {"angle", "restore"}};
  for (const auto &command : commands) {
    SCOPED_TRACE(command.front());
    std::vector<std::string> before{"--port", port, "--baud", "115200", "--address", "1"};
    before.insert(before.end(), command.begin(), command.end());
    std::vector<std::string> after(command);
    after.insert(after.end(), {"--port", port, "-a", "1"});
    for (const auto &arguments : {before, after}) {
      const RunResult r = RunProgram(kTool, arguments, dir_);
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_FALSE(r.out.empty());
      EXPECT_TRUE(r.err.empty()) << r.err;
    }
  }
}

constexpr const char *kRecordCsvHeader =
    "sequence,time_utc,address,lead_byte,pair_count,pair,first,second,failure_code,failure";
const std::regex kUtcMicroseconds(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)");

// The record's time replaced by a placeholder: two runs of a frozen
// measurement then print the same bytes.
std::string WithoutTimes(const std::string &text) {
  return std::regex_replace(text, kUtcMicroseconds, "TIME");
}

TEST_F(ToolTest, MeasureAsCsvAndFrozenByLock) {
  const std::string port = StartSim(SmallDevice());
  const RunResult csv = Tool(port, {"measure", "--csv"});
  ASSERT_EQ(csv.exit_code, 0) << csv.err;
  const auto lines = Lines(WithoutTimes(csv.out));
  ASSERT_EQ(lines.size(), size_t{kPairs} + 1);
  EXPECT_EQ(lines[0], kRecordCsvHeader);
  // Every row carries the record's columns: sequence 1, its time, the
  // address, the lead byte and the pair count, then its pair.
  for (int k = 0; k < kPairs; ++k) {
    EXPECT_TRUE(
        std::regex_match(lines[1 + k], std::regex("1,TIME,1,\\d+," + std::to_string(kPairs) + "," +
                                                  std::to_string(k) + ",\\d+,\\d+,,")))
        << lines[1 + k];
  }
  EXPECT_EQ(lines[1].rfind("1,TIME,1,", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find(",0,0,"), std::string::npos) << "the first pair starts at 0";

  ASSERT_EQ(Tool(port, {"lock"}).exit_code, 0);
  const Json first = ToolJson(port, {"measure"});
  const Json second = ToolJson(port, {"measure"});
  EXPECT_NE(first["lead_byte"].get<int>() & sim::kFrozenFlag, 0);
  EXPECT_EQ(first["lead_byte"], second["lead_byte"]);
  EXPECT_EQ(first["pairs"], second["pairs"]);
}

// A single measurement is a stream of one record: with the measurement
// frozen, `measure` and `measure --count 1` print the same bytes but for
// the time, in CSV and in JSON, and the JSON record holds the layout's
// fields in the layout's order.
TEST_F(ToolTest, ASingleMeasurementIsAStreamOfOneRecord) {
  const std::string port = StartSim(SmallDevice());
  ASSERT_EQ(Tool(port, {"lock"}).exit_code, 0);
  for (const char *format : {"--csv", "--json"}) {
    SCOPED_TRACE(format);
    const RunResult single = Tool(port, {"measure", format});
    const RunResult stream = Tool(port, {"measure", "--count", "1", format});
    ASSERT_EQ(single.exit_code, 0) << single.err;
    ASSERT_EQ(stream.exit_code, 0) << stream.err;
    EXPECT_TRUE(std::regex_search(single.out, kUtcMicroseconds)) << single.out;
    EXPECT_EQ(WithoutTimes(single.out), WithoutTimes(stream.out));
  }
  const std::string line = Tool(port, {"measure", "--json"}).out;
  ASSERT_EQ(Lines(line).size(), 1u) << "one record, one line: " << line;
  const nlohmann::ordered_json record = nlohmann::ordered_json::parse(line);
  std::vector<std::string> keys;
  for (const auto &item : record.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"sequence", "time_utc", "address", "lead_byte",
                                            "pair_count", "pairs"}));
  EXPECT_EQ(record["sequence"], 1);
  EXPECT_EQ(record["address"], 1);
  EXPECT_EQ(record["pair_count"], kPairs);
  ASSERT_EQ(record["pairs"].size(), size_t{kPairs});
  EXPECT_EQ(record["pairs"][0][0], 0);
}

struct RecordCase {
  const char *what;
  std::vector<std::string> simulator;
  std::vector<std::string> format;
  int exit_code;
  std::string record;  // a pattern of the record's line, its time as TIME
};

void PrintTo(const RecordCase &c, std::ostream *os) { *os << c.what; }

class MeasurementRecordLine : public ToolTest, public ::testing::WithParamInterface<RecordCase> {};

// Records that carry no pair: one CSV row each (so that no record goes
// missing from a table), a failure with the library's code and detail.
TEST_P(MeasurementRecordLine, HoldsTheRecordsColumns) {
  const std::string port = StartSim(GetParam().simulator);
  std::vector<std::string> arguments{"-a", "1", "measure"};
  arguments.insert(arguments.end(), GetParam().format.begin(), GetParam().format.end());
  const RunResult r = Tool(port, arguments);
  EXPECT_EQ(r.exit_code, GetParam().exit_code) << r.err;
  const auto lines = Lines(WithoutTimes(r.out));
  ASSERT_FALSE(lines.empty()) << r.err;
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex(GetParam().record))) << lines.back();
  const bool csv = GetParam().format.front() == "--csv";
  EXPECT_EQ(lines.size(), csv ? 2u : 1u) << r.out;
  EXPECT_EQ(lines.front(), csv ? kRecordCsvHeader : lines.back());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeasurementRecordLine,
    ::testing::Values(
        RecordCase{"no pairs as CSV", {"--pairs", "0"}, {"--csv"}, 0, R"(1,TIME,1,\d+,0,,,,,)"},
        RecordCase{"no pairs as JSON",
                   {"--pairs", "0"},
                   {"--json"},
                   0,
                   R"(\{"sequence":1,"time_utc":"TIME","address":1,"lead_byte":\d+,)"
                   R"("pair_count":0,"pairs":\[\]\})"},
        RecordCase{"a CRC failure as CSV",
                   {"--fault", "corrupt-crc:next=1"},
                   {"--csv"},
                   1,
                   R"(1,TIME,1,,,,,,17,"CRC received 0x[0-9A-F]{4}, computed .*")"},
        RecordCase{"a CRC failure as JSON",
                   {"--fault", "corrupt-crc:next=1"},
                   {"--json"},
                   1,
                   R"(\{"sequence":1,"time_utc":"TIME","address":1,"error":\{"code":17,)"
                   R"("reason":"[^"]+","detail":"CRC received 0x[^"]+"\}\})"}),
    NamedAfterWhat());

// A table reader needs every row as wide as the header.
TEST(MeasurementRecordCsv, EveryRowHasTheHeadersTenColumns) {
  const RunResult r = RunProgram(kTool, {"--simulate", "measure", "--count", "3", "--csv"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(Lines(r.out).size(), 1u + 3 * 64) << "the in-process bus's 64 pairs, three times";
  for (const std::string &line : Lines(r.out)) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 9) << line;
  }
}

TEST_F(ToolTest, ScanListsEveryDeviceOnTheBusAndOnlyThose) {
  const std::string port = StartSim({"--address", "0,2", "--address", "3"});
  const Json j = ToolJson(port, {"scan", "--first", "0", "--last", "4"});
  std::vector<int> found;
  for (const Json &device : j["devices"]) {
    found.push_back(device["address"].get<int>());
    EXPECT_EQ(device["hello"]["value7"], device["address"]);
  }
  EXPECT_EQ(found, (std::vector<int>{0, 2, 3}));

  const RunResult none = Tool(port, {"scan", "--first", "4", "--last", "4"});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_EQ(Lines(none.err).size(), 1u) << none.err;
}

TEST_F(ToolTest, ImageWrittenAsPngAndPgmHoldsTheTestPattern) {
  const std::string port = StartSim(SmallDevice());
  for (const std::string name : {"frame.png", "frame.pgm"}) {
    SCOPED_TRACE(name);
    const Json header = ToolJson(port, {"image", "--output", name});
    const auto frame = header["word3"].get<uint32_t>();
    const std::string path = dir_ + "/" + name;
    Grey grey;
    if (name.ends_with(".png")) {
      ASSERT_TRUE(ReadPng(path, &grey));
    } else {
      const std::string pgm = ReadFile(path);
      const std::string head =
          "P5\n" + std::to_string(kRowLength) + " " + std::to_string(kRows) + "\n255\n";
      ASSERT_EQ(pgm.substr(0, head.size()), head);
      grey = Grey{kRowLength, kRows,
                  std::vector<uint8_t>(pgm.begin() + static_cast<long>(head.size()), pgm.end())};
    }
    ASSERT_EQ(grey.width, uint32_t{kRowLength});
    ASSERT_EQ(grey.height, uint32_t{kRows});
    ASSERT_EQ(grey.pixels.size(), size_t{kRows} * kRowLength);
    for (uint32_t r = 0; r < kRows; ++r) {
      for (uint32_t c = 0; c < kRowLength; ++c) {
        const uint8_t pixel = sim::TestPatternPixel(r, c, kRows, kRowLength, frame);
        ASSERT_EQ(grey.pixels[r * kRowLength + c], ExpectedGrey(pixel)) << r << "," << c;
      }
    }
  }
}

TEST_F(ToolTest, FlashSurvivesARestartOfTheSimulatorButUnsavedChangesDoNot) {
  const std::string state = dir_ + "/flash.json";
  std::vector<std::string> arguments{"--state", state, "--address", "4"};
  std::string port = StartSim(arguments);
  ASSERT_EQ(Tool(port, {"-a", "4", "param", "set", "0x0314", "54321"}).exit_code, 0);
  ASSERT_EQ(Tool(port, {"-a", "4", "param", "save"}).exit_code, 0);
  const int32_t angle = ToolJson(port, {"-a", "4", "rotate"})["angle"].get<int32_t>();
  ASSERT_EQ(Tool(port, {"-a", "4", "angle", "save"}).exit_code, 0);
  ASSERT_EQ(Tool(port, {"-a", "4", "param", "set", "0x0314", "7"}).exit_code, 0);
  ASSERT_EQ(sims_.back()->Stop(SIGTERM).exit_code, 0);

  port = StartSim(arguments);
  EXPECT_EQ(ToolJson(port, {"-a", "4", "param", "get", "0x0314"})["value"], 54321);
  EXPECT_EQ(ToolJson(port, {"-a", "4", "angle", "get"})["angle"], angle);
  for (const auto &entry : fs::directory_iterator(dir_)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "flash.json" || name.rfind("sim-", 0) == 0)
        << "temporary state file left: " << entry.path();
  }
}

class InjectedFault : public ToolTest, public ::testing::WithParamInterface<sim::FaultKind> {};

// The library's reason for each kind of damage, as the one-line error names it.
// What the library says for each fault. A dropped byte says "cut short"
// unless the byte it dropped was a length group: then the next byte is read
// as the length's high group, and the answer declares far more than a hello.
std::vector<std::string> ReasonsFor(sim::FaultKind kind) {
  switch (kind) {
    case sim::FaultKind::kCorruptCrc:
      return {"CRC received 0x"};
    case sim::FaultKind::kNoAnswer:
      return {"no answer within"};
    case sim::FaultKind::kWrongLength:
      return {"answer of 16 data bytes, expected 15"};
    case sim::FaultKind::kDropByte:
      return {"answer cut short: ", "the buffer holds 128"};
    default:
      return {"answer cut short: "};
  }
}

bool NamesOneOf(const std::string &line, const std::vector<std::string> &reasons) {
  for (const std::string &reason : reasons) {
    if (line.find(reason) != std::string::npos) return true;
  }
  return false;
}

TEST_P(InjectedFault, FailsTheCallWithStatusOneAndTheNextExchangeSucceeds) {
  const std::string port =
      StartSim({"--fault", sim::FaultName(GetParam()) + ":next=1", "--address", "7"});
  const RunResult failed = Tool(port, {"--address", "7", "hello"});
  EXPECT_EQ(failed.exit_code, 1);
  const auto lines = Lines(failed.err);
  ASSERT_EQ(lines.size(), 1u) << failed.err;
  EXPECT_NE(lines[0].find("hello"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("port " + port), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("address 7"), std::string::npos) << lines[0];
  EXPECT_TRUE(NamesOneOf(lines[0], ReasonsFor(GetParam()))) << lines[0];
  EXPECT_TRUE(failed.out.empty());

  const RunResult next = Tool(port, {"--address", "7", "hello"});
  EXPECT_EQ(next.exit_code, 0) << next.err;
}

TEST_F(ToolTest, JsonFailureCarriesTheLibrarysCodeReasonAndDetail) {
  const std::string port = StartSim({"--fault", "no-answer:next=1", "--address", "7"});
  const RunResult failed = Tool(port, {"--json", "--address", "7", "hello"});
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_NE(failed.out.find("\"error\""), std::string::npos) << failed.out;
  EXPECT_NE(failed.out.find("\"code\": 12"), std::string::npos) << failed.out;
  EXPECT_NE(failed.out.find("\"detail\": \"no answer within"), std::string::npos) << failed.out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, InjectedFault, ::testing::ValuesIn(sim::kAllFaultKinds),
                         [](const auto &param_info) {
                           return TestNameOf(sim::FaultName(param_info.param));
                         });

TEST_F(ToolTest, ARateOfFaultsRepeatsWithTheSameSeed) {
  std::vector<std::vector<int>> runs;
  for (int run = 0; run < 2; ++run) {
    const std::string port = StartSim({"--fault", "corrupt-crc:rate=0.5", "--seed", "1234"});
    std::vector<int> statuses;
    for (int call = 0; call < 10; ++call) statuses.push_back(Tool(port, {"hello"}).exit_code);
    runs.push_back(statuses);
    sims_.back()->Stop(SIGTERM);
  }
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_NE(std::count(runs[0].begin(), runs[0].end(), 0), 0);
  EXPECT_NE(std::count(runs[0].begin(), runs[0].end(), 1), 0);
}

// The simulator on an existing serial line: here the slave side of a
// pseudo-terminal this test made, whose master side plays the host.
constexpr size_t kHelloFrame = 1 + 2 + 15 + 3;

TEST_F(ToolTest, ServesAnExistingSerialDevice) {
  std::vector<uint8_t> answer;
  {
    const PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    const int master = line.master();
    EXPECT_EQ(StartSim({"--device", line.slave(), "--address", "9"}), line.slave());

    const std::vector<uint8_t> request = test::ExpectedRequest(9, 1);
    ASSERT_EQ(write(master, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    while (answer.size() < kHelloFrame) {
      pollfd entry{master, POLLIN, 0};
      ASSERT_GT(poll(&entry, 1, 5000), 0) << "no answer";
      uint8_t buffer[64];
      const ssize_t n = read(master, buffer, sizeof buffer);
      ASSERT_GT(n, 0);
      answer.insert(answer.end(), buffer, buffer + n);
    }
  }
  ASSERT_EQ(answer.size(), kHelloFrame);
  EXPECT_EQ(answer[0], 9);
  EXPECT_EQ(answer[1], 0x8F);  // 15 data bytes
  const auto parsed = test::ParseAnswer(answer);
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->data.size(), 15u);
  EXPECT_EQ(parsed->data[13], 9);  // value7: the address
  EXPECT_TRUE(parsed->crc_ok);
}

struct LineRate {
  uint32_t baud;
  speed_t named;  // B0 when termios has no constant for the rate
};

void PrintTo(const LineRate &rate, std::ostream *os) { *os << rate.baud; }

class SimulatorLineRate : public ToolTest, public ::testing::WithParamInterface<LineRate> {};

// --baud sets the line of --device through the library's line code: any rate
// the library accepts, raw 8N1 without flow control.
TEST_P(SimulatorLineRate, SetsTheDevicesLineToTheRate) {
  const LineRate rate = GetParam();
  PseudoTerminal line;
  ASSERT_FALSE(line.slave().empty());
  line.SetUpCooked9600();
  EXPECT_EQ(StartSim({"--device", line.slave(), "--baud", std::to_string(rate.baud)}),
            line.slave());

  const termios tio = line.Settings();
  if (rate.named != B0) {
    EXPECT_EQ(cfgetospeed(&tio), rate.named);
  }
#if defined(__linux__)
  EXPECT_EQ(OutputRateOf(line.master()), rate.baud);
#endif
  EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS | PARENB), 0u);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(tio.c_iflag & IXON, 0u);
}

std::vector<LineRate> SimulatorRates() {
  std::vector<LineRate> rates{{4800, B4800}, {115200, B115200}, {460800, B460800}};
#if defined(__linux__)
  // Rates termios has no constant for go through termios2.
  rates.insert(rates.end(), {{250000, B0}, {31250, B0}, {1234567, B0}});
#endif
  return rates;
}

INSTANTIATE_TEST_SUITE_P(Rates, SimulatorLineRate, ::testing::ValuesIn(SimulatorRates()),
                         [](const auto &test) { return std::to_string(test.param.baud); });

// The devices' own rate against the rate the host opens the port at: a
// wrong one is the bench's commonest mistake, and must fail as it does on
// real hardware, never answer.
struct RateMatch {
  std::string what;
  std::vector<std::string> device_rate;  // qx318-sim's --baud, none: its default
  uint32_t host_rate;
  bool answers;
};

void PrintTo(const RateMatch &c, std::ostream *os) { *os << c.what; }

class HostRateAgainstDeviceRate : public ToolTest,
                                  public ::testing::WithParamInterface<RateMatch> {};

TEST_P(HostRateAgainstDeviceRate, AnswersOnlyAtTheDevicesRateUnlessAuto) {
  const RateMatch &c = GetParam();
  const std::string port = StartSim(c.device_rate);
  const RunResult r = Tool(port, {"--baud", std::to_string(c.host_rate), "hello"});
  if (c.answers) {
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("address 1: value1 318,", 0), 0u) << r.out;
  } else {
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("qx318 hello: port " + port + ", address 1: "), std::string::npos)
        << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostRateAgainstDeviceRate,
    ::testing::Values(
        RateMatch{"host 9600, device 115200", {"--baud", "115200"}, 9600, false},
        RateMatch{"host 115200, device 9600", {"--baud", "9600"}, 115200, false},
        RateMatch{"host 57600, device 115200", {"--baud", "115200"}, 57600, false},
        RateMatch{"host 230400, device 115200", {"--baud", "115200"}, 230400, false},
        RateMatch{"host 250000, device 1000000", {"--baud", "1000000"}, 250000, false},
        // At the edge of the receivers' tolerance the request is heard and
        // the answer, sampled the other way, is not.
        RateMatch{"device 5 4 per cent fast, answer garbled", {"--baud", "121400"}, 115200, false},
        RateMatch{"both 115200", {"--baud", "115200"}, 115200, true},
        RateMatch{"both 9600", {"--baud", "9600"}, 9600, true},
        RateMatch{
            "both 250000, a rate termios has no name for", {"--baud", "250000"}, 250000, true},
        RateMatch{
            "host 2 per cent fast, within what a UART takes", {"--baud", "115200"}, 117504, true},
        RateMatch{"auto, host 9600", {"--baud", "auto"}, 9600, true},
        RateMatch{"auto, host 460800", {"--baud", "auto"}, 460800, true},
        RateMatch{"0, host 4800", {"--baud", "0"}, 4800, true},
        RateMatch{"no --baud, host 9600", {}, 9600, true},
        RateMatch{"no --baud, host 250000", {}, 250000, true}),
    NamedAfterWhat());

// The host may reopen the port at another rate between two calls: each
// request is heard at the rate the port has when it arrives.
TEST_F(ToolTest, TheSimulatorHearsEachRequestAtTheHostsRateOfTheMoment) {
  struct Step {
    uint32_t host_rate;
    int exit_code;
  };
  const std::string port = StartSim({"--baud", "19200", "--trace"});
  for (const Step &step : {Step{19200, 0}, Step{9600, 1}, Step{19200, 0}, Step{38400, 1},
                           Step{115200, 1}, Step{19200, 0}}) {
    SCOPED_TRACE(step.host_rate);
    const RunResult r = Tool(port, {"--baud", std::to_string(step.host_rate), "hello"});
    EXPECT_EQ(r.exit_code, step.exit_code) << r.err;
  }
  const std::string trace = StopSim();
  for (const char *rate : {"9600", "38400", "115200"}) {
    EXPECT_NE(trace.find(std::string("sent at the host's ") + rate +
                         " baud, heard at the devices' 19200 as: "),
              std::string::npos)
        << trace;
  }
}

// A write is never answered, so only the device's parameter tells whether it
// understood one sent at a wrong rate: it must not have.
TEST_F(ToolTest, AWriteAtAWrongRateLeavesTheParameterAsItWas) {
  const std::string port = StartSim({"--baud", "115200"});
  // Parameter 20 holds 20 from the factory; the device does not confirm writes.
  for (const char *wrong : {"9600", "57600", "230400"}) {
    SCOPED_TRACE(wrong);
    EXPECT_EQ(Tool(port, {"--baud", wrong, "param", "set", "0x0214", "777"}).exit_code, 0);
    EXPECT_EQ(ToolJson(port, {"--baud", "115200", "param", "get", "0x0214"})["value"], 20);
  }
  EXPECT_EQ(Tool(port, {"--baud", "115200", "param", "set", "0x0214", "777"}).exit_code, 0);
  EXPECT_EQ(ToolJson(port, {"--baud", "115200", "param", "get", "0x0214"})["value"], 777);
}

// A rate the simulator cannot use is a usage error that leaves the line
// alone, never a line silently kept at its old rate.
TEST_F(ToolTest, SimulatorRefusesAnUnusableRateForADeviceAsAUsageError) {
  PseudoTerminal line;
  ASSERT_FALSE(line.slave().empty());
  line.SetUpCooked9600();
  for (const char *baud : {"109", "4000001", "fast"}) {
    SCOPED_TRACE(baud);
    const RunResult r = RunProgram(kSim, {"--device", line.slave(), "--baud", baud});
    EXPECT_EQ(r.exit_code, 2);
    ASSERT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("--baud"), std::string::npos) << r.err;
    const termios tio = line.Settings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_NE(tio.c_lflag & ICANON, 0u) << "the line was touched";
  }
}

// Each run of the tool opens and closes the bus again. A user without
// privileges must be able to do so more than once: a pseudo-terminal keeps
// a port's exclusive-use flag as long as its master is open.
TEST_F(ToolTest, AnUnprivilegedUserCanOpenTheBusAgainAfterClosingIt) {
  const std::string port = StartSim({});
  std::string program = kTool;
  std::vector<std::string> arguments{"--port", port, "hello"};
  if (geteuid() == 0) {
    const std::string setpriv = "/usr/bin/setpriv";
    const std::vector<std::string> nobody{"--reuid=65534", "--regid=65534", "--clear-groups",
                                          kTool};
    if (!fs::exists(setpriv)) GTEST_SKIP() << "no setpriv to drop root";
    std::vector<std::string> probe(nobody);
    probe.push_back("--help");
    const RunResult r = RunProgram(setpriv, probe, "/");
    if (r.exit_code != 0) GTEST_SKIP() << "the tool cannot run unprivileged here: " << r.err;
    fs::permissions(port, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::group_write | fs::perms::others_read |
                              fs::perms::others_write);
    program = setpriv;
    arguments.insert(arguments.begin(), nobody.begin(), nobody.end());
  }
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    const RunResult r = RunProgram(program, arguments, "/");
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
}

struct UsageCase {
  const char *what;
  std::vector<std::string> arguments;
  const char *token;  // what the line must name besides the port
};

void PrintTo(const UsageCase &c, std::ostream *os) { *os << c.what; }

class UsageError : public ToolTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageError, ExitsWithTwoAndOneLineOnStandardError) {
  const RunResult r = RunProgram(kTool, GetParam().arguments, dir_);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 2);
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_EQ(lines[0].rfind("qx318", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(GetParam().token), std::string::npos) << lines[0];
  const auto &arguments = GetParam().arguments;
  const auto port = std::find(arguments.begin(), arguments.end(), "--port");
  if (port != arguments.end() && !(port + 1)->empty()) {
    EXPECT_NE(lines[0].find("port " + *(port + 1) + ", address "), std::string::npos) << lines[0];
  }
  EXPECT_TRUE(r.out.empty()) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UsageError,
    ::testing::Values(
        UsageCase{"no subcommand", {"--port", "/dev/null"}, "subcommand"},
        UsageCase{"unknown subcommand", {"--port", "/dev/null", "fetch"}, "'fetch'"},
        UsageCase{"no port", {"hello"}, "hello"},
        UsageCase{"empty port", {"--port", "", "hello"}, "--port"},
        UsageCase{"port and simulate", {"--port", "/dev/null", "--simulate", "hello"}, "hello"},
        UsageCase{"code above 16 bits",
                  {"--port", "/dev/null", "-a", "3", "param", "get", "0x10000"},
                  "param get"},
        UsageCase{"code not a number", {"--port", "/dev/null", "param", "get", "five"}, "five"},
        UsageCase{"negative code", {"--port", "/dev/null", "param", "get", "-1"}, "param get"},
        UsageCase{"code missing", {"--port", "/dev/null", "param", "get"}, "param get"},
        UsageCase{"parameter above 127",
                  {"--port", "/dev/null", "param", "get", "0x0285"},
                  "parameter number 133"},
        UsageCase{"parameter above 127 written",
                  {"--port", "/dev/null", "param", "set", "0x02FF", "5"},
                  "parameter number 255"},
        UsageCase{"param without action", {"--port", "/dev/null", "param"}, "param"},
        UsageCase{"value above 16 bits",
                  {"--port", "/dev/null", "param", "set", "517", "65536"},
                  "param set"},
        UsageCase{"value too wide for its groups",
                  {"--port", "/dev/null", "param", "set", "0x0105", "128"},
                  "1 group of"},
        UsageCase{"address 32", {"--port", "/dev/null", "--address", "32", "hello"}, "hello"},
        UsageCase{"address not a number", {"--port", "/dev/null", "-a", "one", "hello"}, "hello"},
        UsageCase{"address listed twice",
                  {"--port", "/dev/null", "-a", "1-3,2", "hello"},
                  "address 2 is listed twice"},
        UsageCase{"address range falling",
                  {"--port", "/dev/null", "-a", "4-2", "measure"},
                  "range 4-2 does not rise"},
        UsageCase{"address list in a list", {"--port", "/dev/null", "-a", "1,,3", "image"}, "''"},
        UsageCase{"address list for one device",
                  {"--port", "/dev/null", "-a", "1,3", "param", "get", "0x0105"},
                  "--address takes one address here"},
        UsageCase{"baud 0", {"--port", "/dev/null", "--baud", "0", "hello"}, "hello"},
        UsageCase{"stray argument", {"--port", "/dev/null", "hello", "now"}, "now"},
        UsageCase{"unknown option", {"--port", "/dev/null", "hello", "--fast"}, "--fast"},
        UsageCase{"image format", {"--port", "/dev/null", "image", "-o", "picture.jpg"}, "image"},
        UsageCase{"image to an empty name", {"--port", "/dev/null", "image", "-o", ""}, "image"},
        UsageCase{
            "csv with json", {"--port", "/dev/null", "measure", "--csv", "--json"}, "measure"},
        UsageCase{"scan range upside down",
                  {"--port", "/dev/null", "scan", "--first", "9", "--last", "2"},
                  "scan"},
        UsageCase{"angle without action", {"--port", "/dev/null", "angle"}, "angle"},
        UsageCase{"demo with a port", {"--port", "/dev/null", "demo"}, "demo"},
        UsageCase{"demo as json", {"demo", "--json"}, "demo"}),
    NamedAfterWhat());

// A parameter answers in the group count of its last write; a read with
// another group count fails on the answer's length, and the line names the
// code that would have matched.
TEST_F(ToolTest, AReadWithAnotherGroupCountNamesTheCodeThatMatches) {
  StartSim({"--link", dir_ + "/bus"});
  const struct {
    const char *written;
    const char *read;
    const char *hint;
  } cases[] = {
      {"0x0305", "0x0105", "the device answered 3 groups: code 0x0305?"},
      {"0x0106", "0x0206", "the device answered 1 group: code 0x0106?"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.read);
    ASSERT_EQ(
        RunProgram(kTool, {"--port", "./bus", "param", "set", c.written, "5"}, dir_).exit_code, 0);
    const RunResult r = RunProgram(kTool, {"--port", "./bus", "param", "get", c.read}, dir_);
    EXPECT_EQ(r.exit_code, 1);
    const auto lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_NE(lines[0].find("expected"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(c.hint), std::string::npos) << lines[0];
  }
  // Another failure gets no such guess.
  const RunResult silent =
      RunProgram(kTool, {"--port", "./bus", "--address", "9", "param", "get", "0x0105"}, dir_);
  EXPECT_EQ(silent.exit_code, 1);
  EXPECT_EQ(silent.err.find("the device answered"), std::string::npos) << silent.err;
}

// With --json a failure is also a document on standard output that says
// which call failed, where, and why.
TEST_F(ToolTest, AJsonErrorNamesCommandPortAndAddress) {
  StartSim({"--link", dir_ + "/bus"});
  const struct {
    std::vector<std::string> arguments;
    const char *command;
    const char *port;
    int address;
    int32_t code;
  } cases[] = {
      {{"--port", "./bus", "--address", "9", "--json", "hello"},
       "hello",
       "./bus",
       9,
       12 /* no answer */},
      {{"--port", "./no-such-bus", "--json", "param", "get", "0x0205"},
       "param get",
       "./no-such-bus",
       1,
       2 /* not found */},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.command);
    const RunResult r = RunProgram(kTool, c.arguments, dir_);
    EXPECT_EQ(r.exit_code, 1);
    const Json error = Json::parse(r.out).at("error");
    EXPECT_EQ(error.at("command"), c.command);
    EXPECT_EQ(error.at("port"), c.port);
    EXPECT_EQ(error.at("address"), c.address);
    EXPECT_EQ(error.at("code"), c.code);
    EXPECT_FALSE(error.at("detail").get<std::string>().empty());
  }
}

// A user outside the group that owns the serial device is told which group
// to join, on the line and in the JSON error. Needs root, to hand the line
// to a group and run the tool as another user.
TEST_F(ToolTest, APermissionDeniedPortNamesTheGroupThatMayOpenIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  const group *dialout = getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "no dialout group on this system";
  PseudoTerminal line;
  ASSERT_TRUE(line.ok());
  ASSERT_EQ(chown(line.slave().c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(line.slave().c_str(), 0660), 0);
  // nobody, in no group: the library's open fails with EACCES.
  const RunResult r = RunProgram("/usr/bin/setpriv",
                                 {"--reuid=65534", "--regid=65534", "--clear-groups", kTool,
                                  "--port", line.slave(), "--json", "hello"},
                                 "/");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("permission denied (the device is open to the members of group dialout: "
                       "'sudo usermod -aG dialout $USER', then log in again)"),
            std::string::npos)
      << r.err;
  const Json error = Json::parse(r.out).at("error");
  EXPECT_EQ(error.at("code"), 4 /* access denied */);
  EXPECT_NE(error.at("hint").get<std::string>().find("group dialout"), std::string::npos);
}

// An output file that cannot be written fails before any traffic, naming
// the file the user gave (the trace shows no request went out).
TEST_F(ToolTest, AnUnwritableOutputFailsBeforeAnyTraffic) {
  StartSim({"--link", dir_ + "/bus"});
  fs::create_directory(dir_ + "/folder.png");
  const struct {
    const char *what;
    std::vector<std::string> arguments;
    const char *named;
  } cases[] = {
      {"image into no folder", {"image", "-o", "no/such/x.png"}, "no/such/x.png"},
      {"image onto a folder", {"image", "-o", "folder.png"}, "folder.png"},
      {"records into no folder", {"measure", "--output", "no/such/run.csv"}, "no/such/run.csv"},
      {"plot into no folder", {"measure", "--plot", "no/such/p.png"}, "no/such/p.png"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> arguments{"--port", "./bus", "--trace"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const RunResult r = RunProgram(kTool, arguments, dir_);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(std::string("cannot write ") + c.named), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("dir=TX"), std::string::npos) << r.err;
  }
}

// Records replace an existing file only as a whole new one, and leave no
// temporary file; --append adds to it, with the header once.
TEST_F(ToolTest, RecordsReplaceAFileWholeOrAppendToIt) {
  const std::string path = dir_ + "/run.csv";
  std::ofstream(path) << "old\n";
  const RunResult failed = RunProgram(
      kTool, {"--port", "./no-such-bus", "measure", "--count", "2", "--output", "run.csv"}, dir_);
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_EQ(ReadFile(path), "old\n") << "a run that never started replaced the file";

  const auto run = [this](std::vector<std::string> extra) {
    std::vector<std::string> arguments{"--simulate", "measure",  "--count",
                                       "2",          "--output", "run.csv"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunProgram(kTool, arguments, dir_).exit_code;
  };
  ASSERT_EQ(run({}), 0);
  const std::string replaced = ReadFile(path);
  EXPECT_EQ(replaced.rfind("sequence,", 0), 0u) << replaced.substr(0, 80);
  ASSERT_EQ(run({"--append"}), 0);
  const std::string appended = ReadFile(path);
  EXPECT_EQ(appended.rfind(replaced, 0), 0u) << "--append lost the file's start";
  size_t headers = 0;
  for (const std::string &line : Lines(appended)) headers += line.rfind("sequence,", 0) == 0;
  EXPECT_EQ(headers, 1u);
  EXPECT_GT(appended.size(), replaced.size() * 3 / 2);

  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"run.csv"});
}

// A path relative to the current folder names that file, not a USB product
// description.
TEST_F(ToolTest, ARelativePortPathOpensTheFile) {
  StartSim({"--link", dir_ + "/bus"});
  const RunResult r = RunProgram(kTool, {"--port", "./bus", "hello"}, dir_);
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(ToolTest, OutputThatCannotBeWrittenFailsWithStatusOne) {
  const RunResult r = RunProgram(
      "/bin/sh", {"-c", "exec \"$0\" --simulate measure --csv > /dev/full", kTool}, dir_);
  EXPECT_EQ(r.exit_code, 1);
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_NE(lines[0].find("measure"), std::string::npos) << lines[0];
}

TEST_F(ToolTest, JsonCarriesAPathThatIsNotUtf8) {
  const RunResult r =
      RunProgram(kTool, {"--simulate", "image", "--json", "-o", "frame\xFF.pgm"}, dir_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Json::parse(r.out)["output"], "frame\uFFFD.pgm");
  EXPECT_TRUE(fs::exists(dir_ + "/frame\xFF.pgm"));
}

// What the tool writes on a standard error that is a terminal: the test's
// own pseudo-terminal, read by a thread while the tool runs.
std::string StderrOnATerminal(const std::vector<std::string> &arguments, const std::string &dir) {
  const PseudoTerminal terminal;
  if (!terminal.ok()) return "no pseudo-terminal";
  const int master = terminal.master();
  const std::string &slave_path = terminal.slave();
  // Held open so that the master never reads end-of-file between openings.
  const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::atomic<bool> done{false};
  std::string seen;
  std::thread reader([&] {
    for (;;) {
      pollfd entry{master, POLLIN, 0};
      if (poll(&entry, 1, 50) > 0) {
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) seen.append(buffer, static_cast<size_t>(n));
        if (n > 0) continue;
      }
      if (done) return;
    }
  });
  std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" 2>\"" + slave_path + "\"", kTool};
  shell.insert(shell.end(), arguments.begin(), arguments.end());
  const RunResult r = RunProgram("/bin/sh", shell, dir);
  done = true;
  reader.join();
  close(slave);
  return r.exit_code == 0 ? seen : "failed: " + r.err;
}

TEST_F(ToolTest, ImageShowsAProgressBarOnATerminalOnly) {
  const std::string bar = StderrOnATerminal({"--simulate", "image"}, dir_);
  EXPECT_NE(bar.find('\r'), std::string::npos) << bar;
  EXPECT_NE(bar.find("/120 rows"), std::string::npos) << bar;
  EXPECT_EQ(StderrOnATerminal({"--simulate", "image", "--no-progress"}, dir_), "");
}

TEST_F(ToolTest, AMeasureStreamKeepsAStatusLineOnATerminalOnly) {
  const std::vector<std::string> stream = {"--simulate", "measure", "--every",  "0",
                                           "--count",    "30",      "--output", "run.csv"};
  const std::string seen = StderrOnATerminal(stream, dir_);
  EXPECT_NE(seen.find("\r\033[Kmeasurements "), std::string::npos) << seen;
  EXPECT_NE(seen.find("30 measurements, 0 failed"), std::string::npos) << seen;
  const RunResult piped = RunProgram(kTool, stream, dir_);
  EXPECT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_EQ(piped.err.find('\r'), std::string::npos) << piped.err;
  EXPECT_NE(piped.err.find("30 measurements, 0 failed"), std::string::npos) << piped.err;
}

// Ctrl-C or SIGTERM ends an endless stream between two measurements, with
// its summary and no failure.
TEST_F(ToolTest, AMeasureStreamEndsAtSigintOrSigtermWithItsSummary) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number);
    const std::string err = dir_ + "/measure-" + std::to_string(signal_number) + ".err";
    Child stream(kTool, {"--simulate", "measure", "--every", "20", "--json"}, err);
    ASSERT_TRUE(stream.started());
    const std::string first = stream.ReadLine(milliseconds(20000));
    EXPECT_EQ(first.rfind("{\"sequence\":1,", 0), 0u) << first << ReadFile(err);
    const RunResult stopped = stream.Stop(signal_number);
    EXPECT_EQ(stopped.signal, 0) << "ended by the signal instead of stopping";
    EXPECT_EQ(stopped.exit_code, 0);
    EXPECT_NE(ReadFile(err).find(" failed, in "), std::string::npos) << ReadFile(err);
  }
}

TEST_F(ToolTest, AMissingPortIsADeviceFailureNamingPortAddressAndCommand) {
  const RunResult r = Tool(dir_ + "/no-such-tty", {"-a", "9", "angle", "get"});
  EXPECT_EQ(r.exit_code, 1);
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_NE(lines[0].find("angle get"), std::string::npos);
  EXPECT_NE(lines[0].find(dir_ + "/no-such-tty"), std::string::npos);
  EXPECT_NE(lines[0].find("address 9"), std::string::npos);
}

TEST_F(ToolTest, SimulatorStopsCleanlyOnSigintAndSigtermAndRemovesItsLink) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    const std::string link = dir_ + "/bus";
    const std::string port = StartSim({"--link", link});
    ASSERT_EQ(fs::read_symlink(link).string(), port);
    EXPECT_EQ(Tool(link, {"hello"}).exit_code, 0);
    const RunResult stopped = sims_.back()->Stop(signal_number);
    EXPECT_EQ(stopped.signal, 0);
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "link left behind";
  }
}

// A trace nobody can write must not end the simulator, nor leave its link.
TEST_F(ToolTest, SimulatorOutlivesAnUnwritableTraceAndRemovesItsLink) {
  const std::string link = dir_ + "/bus";
  Child sim("/bin/sh", {"-c", "exec \"$0\" --link \"$1\" --trace 2>/dev/full", kSim, link},
            dir_ + "/sim.err");
  ASSERT_TRUE(sim.started());
  ASSERT_FALSE(sim.ReadLine(milliseconds(20000)).empty());
  EXPECT_EQ(Tool(link, {"hello"}).exit_code, 0);
  EXPECT_EQ(Tool(link, {"hello"}).exit_code, 0);
  const RunResult stopped = sim.Stop(SIGTERM);
  EXPECT_EQ(stopped.signal, 0);
  EXPECT_EQ(stopped.exit_code, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "link left behind";
}

TEST_F(ToolTest, AStateFileInAFolderThatDoesNotExistFailsTheStart) {
  const std::string state = dir_ + "/missing/folder/flash.json";
  const RunResult r = RunProgram(kSim, {"--state", state});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  EXPECT_EQ(r.err.rfind("qx318-sim: --state: cannot write " + state + ": ", 0), 0u) << r.err;
  EXPECT_TRUE(r.out.empty()) << "no port offered: " << r.out;
}

// The state file is replaced whole at every save: what the folder holds
// after a save is the complete file, and nothing beside it.
TEST_F(ToolTest, ASavedStateFileIsCompleteWithNothingLeftBesideIt) {
  const std::string folder = dir_ + "/state";
  fs::create_directory(folder);
  const std::string state = folder + "/flash.json";
  const std::string port = StartSim({"--state", state});
  ASSERT_EQ(Tool(port, {"param", "set", "0x0314", "4321"}).exit_code, 0);
  ASSERT_EQ(Tool(port, {"param", "save"}).exit_code, 0);
  const Json doc = Json::parse(ReadFile(state));
  EXPECT_EQ(doc["format"], "qx318-sim-state");
  EXPECT_EQ(doc["devices"][0]["parameters"]["20"]["value"], 4321);  // code 0x0314
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"flash.json"});
}

TEST_F(ToolTest, ANewStateFileHoldsTheFactoryFlashAtOnce) {
  const std::string state = dir_ + "/flash.json";
  StartSim({"--state", state});
  const Json doc = Json::parse(ReadFile(state));
  EXPECT_EQ(doc["devices"][0]["address"], 1);
}

struct BadState {
  const char *what;
  const char *device;  // one entry of "devices"
  const char *names;   // what the message must name
};

void PrintTo(const BadState &c, std::ostream *os) { *os << c.what; }

class BadStateFile : public ToolTest, public ::testing::WithParamInterface<BadState> {};

TEST_P(BadStateFile, FailsTheStartNamingTheField) {
  const std::string state = dir_ + "/flash.json";
  {
    std::FILE *f = std::fopen(state.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, R"({"format": "qx318-sim-state", "version": 1, "devices": [%s]})",
                 GetParam().device);
    std::fclose(f);
  }
  const RunResult r = RunProgram(kSim, {"--state", state});
  EXPECT_EQ(r.exit_code, 1);
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_NE(lines[0].find(GetParam().names), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadStateFile,
    ::testing::Values(
        BadState{"address 257", R"({"address": 257, "angle": 0, "parameters": {}})", "address"},
        BadState{"address 32", R"({"address": 32, "angle": 0, "parameters": {}})", "address"},
        BadState{"negative address", R"({"address": -1, "angle": 0, "parameters": {}})", "address"},
        BadState{
            "value 70000",
            R"({"address": 1, "angle": 0, "parameters": {"5": {"value": 70000, "groups": 2}}})",
            "value"},
        BadState{"negative value",
                 R"({"address": 1, "angle": 0, "parameters": {"5": {"value": -3, "groups": 2}}})",
                 "value"},
        BadState{"groups -1",
                 R"({"address": 1, "angle": 0, "parameters": {"5": {"value": 1, "groups": -1}}})",
                 "groups"},
        BadState{"groups 256",
                 R"({"address": 1, "angle": 0, "parameters": {"5": {"value": 1, "groups": 256}}})",
                 "groups"},
        BadState{"parameter 256",
                 R"({"address": 1, "angle": 0, "parameters": {"256": {"value": 1, "groups": 2}}})",
                 "parameter key"},
        BadState{"parameter not a number",
                 R"({"address": 1, "angle": 0, "parameters": {"five": {"value": 1, "groups": 2}}})",
                 "parameter key \"five\""},
        BadState{"angle a string", R"({"address": 1, "angle": "up", "parameters": {}})", "angle"}),
    NamedAfterWhat());

TEST_F(ToolTest, TraceShowsEachRequestAndAnswerAsHexAndDecoded) {
  const std::string port = StartSim({"--trace", "--address", "3"});
  ASSERT_EQ(Tool(port, {"-a", "3", "param", "set", "0x0205", "300"}).exit_code, 0);
  ASSERT_EQ(Tool(port, {"-a", "3", "param", "get", "0x0205"}).exit_code, 0);
  ASSERT_EQ(Tool(port, {"-a", "5", "hello"}).exit_code, 1);
  const std::string trace = sims_.back()->Stop(SIGTERM).err;
  EXPECT_NE(trace.find("03 83 80 83 85 AC 82 8D 89 81  WRITE_PARAMETER param 5 = 300"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("→ addr 3  03 81 80 82 85 C1 C7 81  READ_PARAMETER param 5"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("← addr 3  03 82 80 AC 82 9D 83 80  READ_PARAMETER param 5 → 300"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("addr 5  05 80 80 81 C1 81 83  HELLO (no device at this address)"),
            std::string::npos)
      << trace;
}

TEST_F(ToolTest, TraceShowsNoAnswerLineForASwallowedAnswer) {
  const std::string port = StartSim({"--trace", "--fault", "no-answer:next=1"});
  ASSERT_EQ(Tool(port, {"hello"}).exit_code, 1);
  const std::string trace = sims_.back()->Stop(SIGTERM).err;
  EXPECT_NE(trace.find("no answer sent [fault: no-answer]"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("←"), std::string::npos) << trace;
}

TEST_F(ToolTest, SimulatorRejectsBadOptionsWithStatusTwo) {
  for (const std::vector<std::string> &arguments :
       std::vector<std::vector<std::string>>{{"--address", "32"},
                                             {"--fault", "lightning"},
                                             {"--fault", "stall:rate=2"},
                                             {"--rows", "-1"},
                                             {"--baud", "109"},
                                             {"--stall-ms", "149"}}) {
    SCOPED_TRACE(arguments.back());
    const RunResult r = RunProgram(kSim, arguments);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  }
}

TEST_F(ToolTest, SimulateRunsASubcommandAgainstABusInTheToolItself) {
  const RunResult hello =
      RunProgram(kTool, {"--simulate", "--address", "6", "hello", "--json"}, dir_);
  ASSERT_EQ(hello.exit_code, 0) << hello.err;
  EXPECT_EQ(Json::parse(hello.out)["hello"]["value7"], 6);
  const RunResult image = RunProgram(kTool, {"image", "--simulate", "-o", "sim.png"}, dir_);
  ASSERT_EQ(image.exit_code, 0) << image.err;
  Grey grey;
  EXPECT_TRUE(ReadPng(dir_ + "/sim.png", &grey));
}

// The pixel buffer is sized from the image header, not for the largest
// image a header could announce (16383 x 16383 bytes): the default 160 x 120
// image fits in the address space of a small machine.
TEST_F(ToolTest, ImageFitsInTheAddressSpaceOfASmallMachine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves terabytes of address space";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the address sanitizer reserves terabytes of address space";
#endif
#endif
  const RunResult r = RunProgram(
      "/bin/sh",
      {"-c", "ulimit -v 250000 && exec \"$0\" --simulate image -o small.png --json", kTool}, dir_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Json image = Json::parse(r.out);
  EXPECT_EQ(image["row_count"], 120);
  EXPECT_EQ(image["row_length"], 160);
  Grey grey;
  ASSERT_TRUE(ReadPng(dir_ + "/small.png", &grey));
  EXPECT_EQ(grey.width, 160u);
  EXPECT_EQ(grey.height, 120u);
}

TEST_F(ToolTest, DemoRunsEveryFunctionAndLeavesAPngInTheCurrentFolder) {
  const RunResult demo = RunProgram(kTool, {"demo"}, dir_);
  ASSERT_EQ(demo.exit_code, 0) << demo.out << demo.err;
  EXPECT_NE(demo.out.find("Demo finished"), std::string::npos) << demo.out;
  for (const char *step : {"devices answer at addresses 1, 2", "read back: parameter 5 reads 300",
                           "locked: two measurements are equal and carry the frozen flag",
                           "locked again to release the result", "restored the angle from flash",
                           "angle after restoring: ", "after overwriting: parameter 5 reads 777",
                           "after restoring: parameter 5 reads 300"}) {
    EXPECT_NE(demo.out.find(step), std::string::npos) << step << "\n" << demo.out;
  }
  // The angle shown is the one the device computed from its tilted profile.
  EXPECT_EQ(demo.out.find("axes: angle 0 "), std::string::npos) << demo.out;
  Grey grey;
  ASSERT_TRUE(ReadPng(dir_ + "/qx318-demo.png", &grey));
  EXPECT_GT(grey.width * grey.height, 0u);
}

}  // namespace
}  // namespace qx318::testing
