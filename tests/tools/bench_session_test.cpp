// The host tool at a working bench: a long stream of measurements against a
// bus with injected faults, the profile plot, and a recorded bus replayed.
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "tool_fixture.h"

namespace qx318::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// The plot's documented size.
constexpr uint32_t kPlotWidth = 900;
constexpr uint32_t kPlotHeight = 540;

class BenchTest : public ToolFixture {
 protected:
  // Starts a simulator on the link dir_/bus, so that every run names the
  // same port; returns that path.
  std::string StartSim(std::vector<std::string> arguments) {
    sims_.clear();
    arguments.insert(arguments.end(), {"--link", dir_ + "/bus"});
    (void)ToolFixture::StartSim(arguments);
    return dir_ + "/bus";
  }

  RunResult Tool(std::vector<std::string> arguments, const std::string &trace = {}) {
    if (trace.empty()) return RunProgram(kTool, arguments, dir_, std::chrono::seconds(120));
    arguments.insert(arguments.begin(), {"QX318_TRACE=" + trace, kTool});
    return RunProgram("/usr/bin/env", arguments, dir_, std::chrono::seconds(120));
  }
};

size_t Occurrences(const std::string &text, const std::string &what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

struct Summary {
  uint64_t measurements = 0;
  uint64_t failed = 0;
  std::map<int, uint64_t> by_code;
  bool has_cycle_time = false;
  uint64_t With(int code) const {
    const auto it = by_code.find(code);
    return it == by_code.end() ? 0 : it->second;
  }
};

Summary ParseSummary(const std::string &err) {
  Summary s;
  std::smatch m;
  const std::regex head(R"((\d+) measurements, (\d+) failed, in [0-9.]+ s \([0-9.]+/s\))");
  const std::regex reason(R"(failed with code (\d+) \([^)]*\): (\d+))");
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, m, head)) {
      s.measurements = std::stoull(m[1]);
      s.failed = std::stoull(m[2]);
    } else if (std::regex_search(line, m, reason)) {
      s.by_code[std::stoi(m[1])] = std::stoull(m[2]);
    } else if (line.find("cycle time: median ") != std::string::npos &&
               line.find("99th percentile") != std::string::npos) {
      s.has_cycle_time = true;
    }
  }
  return s;
}

// Library reason codes the faults below turn into.
constexpr int kNoAnswer = 12;
constexpr int kCutShort = 13;
constexpr int kWrongLength = 16;
constexpr int kCrcMismatch = 17;

// Faults that each spoil exactly one exchange and leave nothing behind for
// the next one, so that every injected fault maps to one reason. A wrong
// length (one data byte more than the pair count declares) is a failure of
// its own reason: a measurement's length must match its pair count.
const std::vector<std::string> kStreamFaults = {"--fault", "corrupt-crc:rate=0.02",
                                                "--fault", "truncate:rate=0.01",
                                                "--fault", "no-answer:rate=0.002",
                                                "--fault", "wrong-length:rate=0.02",
                                                "--seed",  "2026",
                                                "--pairs", "16",
                                                "--trace"};

TEST_F(BenchTest, AThousandMeasurementsCountEveryInjectedFaultByItsReason) {
  const std::string bus = StartSim(kStreamFaults);
  const RunResult r =
      Tool({"--port", bus, "measure", "--every", "0", "--count", "1000", "--output", "run.csv"});
  const std::string trace = StopSim();
  const size_t crc = Occurrences(trace, "[fault: corrupt-crc]");
  const size_t truncated = Occurrences(trace, "[fault: truncate]");
  const size_t silent = Occurrences(trace, "[fault: no-answer]");
  const size_t padded = Occurrences(trace, "[fault: wrong-length]");
  ASSERT_GT(crc + truncated + silent, 0u) << "the seed injected nothing";
  ASSERT_GT(padded, 0u);

  const Summary s = ParseSummary(r.err);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(s.measurements, 1000u) << r.err;
  EXPECT_EQ(s.failed, crc + truncated + silent + padded) << r.err;
  EXPECT_EQ(s.With(kCrcMismatch), crc) << r.err;
  EXPECT_EQ(s.With(kCutShort), truncated) << r.err;
  EXPECT_EQ(s.With(kNoAnswer), silent) << r.err;
  EXPECT_EQ(s.With(kWrongLength), padded) << r.err;
  EXPECT_TRUE(s.has_cycle_time) << r.err;
  EXPECT_TRUE(r.out.empty()) << "records went to the file, not standard output";

  // The file: one row per pair of each good measurement, one per failure.
  const std::string csv = ReadFile(dir_ + "/run.csv");
  EXPECT_EQ(csv.rfind("sequence,time_utc,address,lead_byte,pair_count,pair,first,second,"
                      "failure_code,failure\n",
                      0),
            0u);
  const size_t good = 1000 - s.failed;
  EXPECT_EQ(Occurrences(csv, "\n"), 1 + good * 16 + s.failed);
  // A failed record: its number, time and address, six empty columns, the code.
  EXPECT_EQ(Occurrences(csv, ",1,,,,,,17,"), crc);
  EXPECT_EQ(Occurrences(csv, ",1,,,,,,16,"), padded);
  EXPECT_TRUE(
      std::regex_search(csv, std::regex(R"(\n1000,\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z,)")))
      << "the last record carries its number and a UTC time in microseconds";
}

TEST_F(BenchTest, AStreamWithoutFailuresExitsZeroAndStopOnFailureEndsAtTheFirst) {
  const std::string clean = StartSim({"--pairs", "4"});
  const RunResult ok =
      Tool({"--port", clean, "measure", "--every", "0", "--count", "20", "--json"});
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_EQ(ParseSummary(ok.err).measurements, 20u) << ok.err;
  std::istringstream lines(ok.out);
  uint64_t expected_sequence = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.find("\"sequence\":" + std::to_string(++expected_sequence) + ","),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"pair_count\":4"), std::string::npos) << line;
  }
  EXPECT_EQ(expected_sequence, 20u);
  (void)StopSim();

  const std::string faulty = StartSim({"--fault", "corrupt-crc:rate=1"});
  const RunResult stopped =
      Tool({"--port", faulty, "measure", "--every", "0", "--count", "50", "--stop-on-failure"});
  EXPECT_EQ(stopped.exit_code, 1);
  const Summary s = ParseSummary(stopped.err);
  EXPECT_EQ(s.measurements, 1u) << stopped.err;
  EXPECT_EQ(s.With(kCrcMismatch), 1u) << stopped.err;
}

struct Rgb : PngPixels {
  const uint8_t *At(uint32_t x, uint32_t y) const { return &pixels[(size_t{y} * width + x) * 3]; }
};

bool ReadRgbPng(const std::string &path, Rgb *out) { return ReadPng(path, PNG_FORMAT_RGB, out); }

// The profile's colour: clearly blue, unlike the black ink, the grey grid
// and the white ground.
bool IsProfileInk(const uint8_t *p) { return p[2] > 150 && p[2] > p[0] + 60; }

TEST_F(BenchTest, ThePlotShowsTheProfileAcrossThePlotArea) {
  if (!PlotBuiltIn()) GTEST_SKIP() << "this qx318 has no plot support";
  const RunResult r = Tool({"--simulate", "measure", "--plot", "profile.png"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Rgb png;
  ASSERT_TRUE(ReadRgbPng(dir_ + "/profile.png", &png));
  EXPECT_EQ(png.width, kPlotWidth);
  EXPECT_EQ(png.height, kPlotHeight);
  // The simulated profile runs across the whole field of view: nearly every
  // column of the plot area holds the line, and the line is not flat.
  uint32_t columns_with_line = 0;
  uint32_t highest = png.height;
  uint32_t lowest = 0;
  for (uint32_t x = 0; x < png.width; ++x) {
    for (uint32_t y = 0; y < png.height; ++y) {
      if (!IsProfileInk(png.At(x, y))) continue;
      ++columns_with_line;
      highest = std::min(highest, y);
      lowest = std::max(lowest, y);
      break;
    }
  }
  EXPECT_GT(columns_with_line, png.width / 2);
  EXPECT_GT(lowest - highest, png.height / 4) << "the bump should rise well above the line";
  // Title, tick numbers and axes are ink too.
  size_t dark = 0;
  for (size_t i = 0; i + 2 < png.pixels.size(); i += 3) {
    if (png.pixels[i] < 60 && png.pixels[i + 1] < 60 && png.pixels[i + 2] < 60) ++dark;
  }
  EXPECT_GT(dark, 2000u);
}

TEST_F(BenchTest, AStreamKeepsOnePlotUpdatedAndLeavesNoTemporaryFile) {
  if (!PlotBuiltIn()) GTEST_SKIP() << "this qx318 has no plot support";
  const RunResult r = Tool({"--simulate", "measure", "--every", "10", "--count", "12", "--plot",
                            "live.png", "--output", "run.jsonl"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Rgb png;
  ASSERT_TRUE(ReadRgbPng(dir_ + "/live.png", &png));
  EXPECT_EQ(png.width, kPlotWidth);
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir_)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"live.png", "run.jsonl"}));
  EXPECT_EQ(Occurrences(ReadFile(dir_ + "/run.jsonl"), "\"sequence\":"), 12u);
}

// What the replayed run must reproduce: the same output and status, and the
// same failure lines except for the milliseconds waited.
std::string WithoutTimes(const std::string &text) {
  return std::regex_replace(text, std::regex(R"(\d+ ms)"), "N ms");
}

const std::vector<std::vector<std::string>> kRecordedSession = {
    {"hello"},        {"measure", "--json"}, {"param", "get", "0x0205"},
    {"angle", "get"}, {"image", "--json"},   {"measure", "--every", "0", "--count", "30", "--csv"},
    {"hello"},
};

TEST_F(BenchTest, ATraceRecordedWithFaultsReplaysToTheSameResults) {
  const std::string trace = dir_ + "/bench.trace";
  std::string bus = StartSim({"--rows", "6", "--row-length", "8", "--pairs", "8", "--fault",
                              "corrupt-crc:rate=0.1", "--fault", "truncate:rate=0.05", "--fault",
                              "stall:rate=0.05", "--seed", "99", "--stall-ms", "150"});
  std::vector<RunResult> recorded;
  for (auto arguments : kRecordedSession) {
    arguments.insert(arguments.begin(), {"--port", bus});
    recorded.push_back(Tool(arguments, trace));
  }
  (void)StopSim();
  ASSERT_TRUE(std::any_of(recorded.begin(), recorded.end(), [](const RunResult &r) {
    return r.exit_code != 0;
  })) << "the seed should make some command fail";

  bus = StartSim({"--replay", trace});
  for (size_t i = 0; i < kRecordedSession.size(); ++i) {
    auto arguments = kRecordedSession[i];
    SCOPED_TRACE(arguments.front());
    arguments.insert(arguments.begin(), {"--port", bus});
    const RunResult replayed = Tool(arguments);
    EXPECT_EQ(replayed.exit_code, recorded[i].exit_code) << replayed.err;
    // Measurement records carry the time they were taken, and a stream's
    // own timing (rate, cycle times) differs; the records' contents do not.
    const auto body = [](const std::string &out) {
      return WithoutTimes(std::regex_replace(out, std::regex(R"(\d{4}-\d\d-\d\dT[0-9:.]+Z)"), "T"));
    };
    if (arguments[2] == "measure") {
      EXPECT_EQ(body(replayed.out), body(recorded[i].out));
    } else {
      EXPECT_EQ(replayed.out, recorded[i].out);
    }
    if (arguments[2] == "measure" && arguments.size() > 4) {
      EXPECT_EQ(ParseSummary(replayed.err).by_code, ParseSummary(recorded[i].err).by_code);
    } else {
      EXPECT_EQ(WithoutTimes(replayed.err), WithoutTimes(recorded[i].err));
    }
  }
  const std::string report = StopSim(0);
  EXPECT_NE(report.find("replayed"), std::string::npos) << report;
  EXPECT_NE(report.find(" 0 requests did not match"), std::string::npos) << report;
}

TEST_F(BenchTest, AMismatchedRequestIsReportedWithBothByteStringsAndNotAnswered) {
  const std::string trace = dir_ + "/bench.trace";
  std::string bus = StartSim({});
  ASSERT_EQ(Tool({"--port", bus, "hello"}, trace).exit_code, 0);
  (void)StopSim();

  bus = StartSim({"--replay", trace});
  const RunResult r = Tool({"--port", bus, "angle", "get"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("no answer"), std::string::npos) << r.err;
  const std::string report = StopSim(1);
  // Hello to address 1 was recorded; the angle request was received.
  EXPECT_NE(report.find("received 01 80 80 8B"), std::string::npos) << report;
  EXPECT_NE(report.find("recorded 01 80 80 81"), std::string::npos) << report;
}

TEST_F(BenchTest, RecordedTimingHoldsTheAnswerAsLongAsTheDeviceDid) {
  const std::string trace = dir_ + "/bench.trace";
  std::string bus = StartSim({"--reply-delay", "400"});
  ASSERT_EQ(Tool({"--port", bus, "hello"}, trace).exit_code, 0);
  (void)StopSim();

  const std::string replay_trace = dir_ + "/replayed.trace";
  bus = StartSim({"--replay", trace, "--replay-timing"});
  ASSERT_EQ(Tool({"--port", bus, "hello"}, replay_trace).exit_code, 0);
  (void)StopSim();
  // The replayed exchange, as the library traced it: a delay cannot come
  // out shorter than the one waited for.
  const std::string lines = ReadFile(replay_trace);
  std::smatch tx;
  std::smatch rx;
  ASSERT_TRUE(std::regex_search(lines, tx, std::regex(R"(t=(\d+) \S+ dir=TX)")));
  ASSERT_TRUE(std::regex_search(lines, rx, std::regex(R"(t=(\d+) \S+ dir=RX)")));
  EXPECT_GE(std::stoull(rx[1]) - std::stoull(tx[1]), 350000u) << lines;
}

}  // namespace
}  // namespace qx318::testing
