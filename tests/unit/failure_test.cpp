// Why a call returned 0: every reason provoked through the test double, the
// code and (for some) the figures in the detail, per thread, and the frame
// trace of a good and a failing exchange. Expected bytes come from the wire
// model, never from the library.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "param_name.h"
#include "wire_oracle.h"

namespace qx318 {
namespace {

using fake::FakeConverter;
using fake::Op;
using test::Bytes;

// An answer frame as a device sends it; crc_xor corrupts the CRC.
Bytes Answer(const Bytes &data, uint16_t crc_xor = 0) {
  Bytes wire{0x00};
  test::AppendMarkedGroups(wire, static_cast<uint32_t>(data.size()), 2);
  Bytes masked;
  for (uint8_t byte : data) {
    wire.push_back(static_cast<uint8_t>(byte | 0x80u));
    masked.push_back(static_cast<uint8_t>(byte & 0x7Fu));
  }
  test::AppendMarkedGroups(wire, static_cast<uint16_t>(test::BitwiseCrc16(masked) ^ crc_xor), 3);
  return wire;
}

Bytes Filled(size_t count, uint8_t value) { return Bytes(count, value); }

struct Case {
  const char *name;
  std::function<void(FakeConverter &)> script;
  std::function<int32_t(PortHandle)> call;
  int32_t code;
  const char *detail_part;  // "" when only the code is checked
};

int32_t Hello(PortHandle port) {
  HelloAnswer answer{};
  return QX318_HelloCmd(port, 1, &answer);
}

const Case kCases[] = {
    {"null output pointer", [](FakeConverter &) {},
     [](PortHandle port) { return QX318_HelloCmd(port, 1, nullptr); }, QX318_FAIL_NULL_ARGUMENT,
     "answer_out"},
    {"null port_out at open", [](FakeConverter &) {},
     [](PortHandle) { return QX318_OpenPort("QX318 Converter", 115200, nullptr); },
     QX318_FAIL_NULL_ARGUMENT, "port_out"},
    {"converter not found", [](FakeConverter &c) { c.FailOpen(); },
     [](PortHandle) {
       PortHandle port = nullptr;
       return QX318_OpenPort("QX318 Converter", 115200, &port);
     },
     QX318_FAIL_NOT_FOUND, "QX318 Converter"},
    {"line settings unreadable", [](FakeConverter &c) { c.FailCall(Op::kGetCommState); },
     [](PortHandle) {
       PortHandle port = nullptr;
       return QX318_OpenPort("QX318 Converter", 115200, &port);
     },
     QX318_FAIL_LINE_SETTINGS, ""},
    {"line settings refused", [](FakeConverter &c) { c.FailCall(Op::kSetCommState); },
     [](PortHandle) {
       PortHandle port = nullptr;
       return QX318_OpenPort("QX318 Converter", 9600, &port);
     },
     QX318_FAIL_LINE_SETTINGS, "9600"},
    {"time-outs refused", [](FakeConverter &c) { c.FailCall(Op::kSetCommTimeouts); },
     [](PortHandle) {
       PortHandle port = nullptr;
       return QX318_OpenPort("QX318 Converter", 115200, &port);
     },
     QX318_FAIL_TIMEOUTS, ""},
    {"queues refused", [](FakeConverter &c) { c.FailCall(Op::kSetupComm); },
     [](PortHandle) {
       PortHandle port = nullptr;
       return QX318_OpenPort("QX318 Converter", 115200, &port);
     },
     QX318_FAIL_QUEUES, "1024"},
    {"purge refused", [](FakeConverter &c) { c.FailCall(Op::kPurgeComm); },
     [](PortHandle) {
       PortHandle port = nullptr;
       return QX318_OpenPort("QX318 Converter", 115200, &port);
     },
     QX318_FAIL_PURGE, ""},
    {"event mask refused", [](FakeConverter &c) { c.FailCall(Op::kSetCommMask); },
     [](PortHandle) {
       PortHandle port = nullptr;
       return QX318_OpenPort("QX318 Converter", 115200, &port);
     },
     QX318_FAIL_EVENT_MASK, ""},
    {"close of no handle", [](FakeConverter &) {},
     [](PortHandle) { return QX318_ClosePort(QX318_INVALID_PORT); }, QX318_FAIL_INVALID_HANDLE, ""},
    {"request written short", [](FakeConverter &c) { c.ShortCount(Op::kWriteFile, 3); },
     [](PortHandle port) { return QX318_LockResult(port, 1); }, QX318_FAIL_WRITE_SHORT,
     "3 of 7 bytes"},
    {"silence", [](FakeConverter &) {}, Hello, QX318_FAIL_NO_ANSWER, "no answer within"},
    {"cut short in the data",
     [](FakeConverter &c) {
       Bytes wire = Answer(Filled(15, 1));
       wire.resize(3 + 9);
       c.QueueAnswer(wire);
     },
     Hello, QX318_FAIL_ANSWER_CUT_SHORT, "9 of 15 data bytes"},
    {"cut short in the length",
     [](FakeConverter &c) {
       c.QueueAnswer({0x00, 0x8F});
     },
     Hello, QX318_FAIL_ANSWER_CUT_SHORT, "1 of 2 length bytes"},
    {"cut short in the CRC",
     [](FakeConverter &c) {
       Bytes wire = Answer(Filled(15, 1));
       wire.pop_back();
       c.QueueAnswer(wire);
     },
     Hello, QX318_FAIL_ANSWER_CUT_SHORT, "2 of 3 CRC bytes"},
    {"only marker bytes", [](FakeConverter &c) { c.QueueAnswer(Filled(20, 0x81)); }, Hello,
     QX318_FAIL_NO_START_BYTE, "20 marker bytes skipped"},
    {"declared length larger than the buffer",
     [](FakeConverter &c) {
       c.QueueAnswer({0x00, 0x80 | 0x01, 0x80 | 0x01});
     },
     Hello, QX318_FAIL_ANSWER_TOO_LONG, "declares 129 data bytes, the buffer holds 128"},
    {"wrong length", [](FakeConverter &c) { c.QueueAnswer(Answer(Filled(14, 1))); }, Hello,
     QX318_FAIL_WRONG_LENGTH, "14 data bytes, expected 15"},
    {"CRC mismatch", [](FakeConverter &c) { c.QueueAnswer(Answer(Filled(15, 1), 0x0101)); }, Hello,
     QX318_FAIL_CRC_MISMATCH, "computed 0x"},
    {"flash not confirmed", [](FakeConverter &c) { c.QueueAnswer(Answer({0x54})); },
     [](PortHandle port) { return QX318_FlushParamsToFlash(port, 1); },
     QX318_FAIL_FLASH_NOT_CONFIRMED, "byte 0x54, expected 0x55"},
    {"measurement above the capacity",
     [](FakeConverter &c) {
       c.QueueAnswer(Answer(test::MeasureData(1, 3, {1, 2, 3, 4, 5, 6})));
     },
     [](PortHandle port) {
       MeasureHeader header{};
       uint16_t values[4] = {};
       return QX318_GetMeasureEx(port, 1, &header, values, 4);
     },
     QX318_FAIL_CAPACITY, "6 values, capacity 4"},
    {"measurement shorter than its pair count declares",
     [](FakeConverter &c) {
       c.QueueAnswer(Answer(test::MeasureData(1, 3, {1, 2, 3, 4, 5})));
     },
     [](PortHandle port) {
       MeasureHeader header{};
       uint16_t values[6] = {};
       return QX318_GetMeasureEx(port, 1, &header, values, 6);
     },
     QX318_FAIL_WRONG_LENGTH, "13 data bytes, expected 15 for pair count 3"},
    {"measurement without its whole pair count",
     [](FakeConverter &c) {
       c.QueueAnswer(Answer({1, 3}));
     },
     [](PortHandle port) {
       MeasureHeader header{};
       uint16_t values[6] = {};
       return QX318_GetMeasure(port, 1, &header, values);
     },
     QX318_FAIL_WRONG_LENGTH, "2 data bytes, expected at least 3"},
    {"image above the capacity",
     [](FakeConverter &c) {
       test::ImageAnswerFields fields;
       fields.row_count = 2;
       fields.row_length = 3;
       fields.pixels = test::PixelPattern(2, 3);
       c.QueueAnswer(test::ImageAnswer(fields));
     },
     [](PortHandle port) {
       ImageHeader header{};
       uint8_t pixels[5] = {};
       return QX318_GetImageEx(port, 1, &header, pixels, 5);
     },
     QX318_FAIL_CAPACITY, "2 x 3 = 6 bytes does not fit"},
    {"image cut short in a row",
     [](FakeConverter &c) {
       test::ImageAnswerFields fields;
       fields.row_count = 2;
       fields.row_length = 3;
       fields.pixels = test::PixelPattern(2, 3);
       Bytes wire = test::ImageAnswer(fields);
       wire.resize(wire.size() - 3 - 2);
       c.QueueAnswer(wire);
     },
     [](PortHandle port) {
       ImageHeader header{};
       uint8_t pixels[6] = {};
       return QX318_GetImage(port, 1, &header, pixels);
     },
     QX318_FAIL_ANSWER_CUT_SHORT, "1 of 3 pixel bytes of row 1"},
    {"rotation value of the wrong length",
     [](FakeConverter &c) {
       c.QueueAnswer(Answer({1, 2, 3, 4}));
     },
     [](PortHandle port) {
       int32_t value = 0;
       return QX318_GetRotateAngle(port, 1, &value);
     },
     QX318_FAIL_WRONG_LENGTH, "4 data bytes, expected 5"},
};

class FailureReasons : public ::testing::TestWithParam<Case> {};

TEST_P(FailureReasons, EachFailureNamesItsReason) {
  const Case &c = GetParam();
  FakeConverter converter;
  c.script(converter);
  EXPECT_EQ(c.call(converter.handle()), 0);
  EXPECT_EQ(QX318_GetLastFailure(), c.code) << QX318_GetLastFailureDetail();
  EXPECT_NE(std::string(QX318_FailureText(c.code)), QX318_FailureText(-12345));
  EXPECT_NE(std::string(QX318_GetLastFailureDetail()).find(c.detail_part), std::string::npos)
      << QX318_GetLastFailureDetail();
}

INSTANTIATE_TEST_SUITE_P(Table, FailureReasons, ::testing::ValuesIn(kCases), test::ParamName());

TEST(FailureReasons, SuccessClearsTheReasonAndTheCallersErrorIsNotTouched) {
  FakeConverter converter;
  EXPECT_EQ(Hello(converter.handle()), 0);
  ASSERT_EQ(QX318_GetLastFailure(), QX318_FAIL_NO_ANSWER);
  errno = 0;
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_NO_ANSWER);  // reading it changes nothing
  converter.QueueAnswer(Answer(Filled(15, 1)));
  EXPECT_EQ(Hello(converter.handle()), 1);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_NONE);
  EXPECT_STREQ(QX318_GetLastFailureDetail(), "");
}

TEST(FailureReasons, EveryCodeHasItsOwnSentence) {
  std::vector<std::string> seen;
  const std::string unknown = QX318_FailureText(QX318_FAIL_HOST_UNREACHABLE + 1);
  for (int32_t code = QX318_FAIL_NONE; code <= QX318_FAIL_HOST_UNREACHABLE; ++code) {
    const std::string text = QX318_FailureText(code);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, unknown) << code;
    for (const std::string &other : seen) EXPECT_NE(text, other) << code;
    seen.push_back(text);
  }
}

TEST(FailureReasons, EachThreadReadsItsOwnReason) {
  FakeConverter converter;
  int32_t first = -1;
  int32_t second = -1;
  // The null pointer fails before any traffic; the other thread finds a
  // closed handle. Each reads back only its own reason.
  std::thread a([&] {
    (void)QX318_HelloCmd(converter.handle(), 1, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first = QX318_GetLastFailure();
  });
  std::thread b([&] {
    (void)QX318_ClosePort(QX318_INVALID_PORT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    second = QX318_GetLastFailure();
  });
  a.join();
  b.join();
  EXPECT_EQ(first, QX318_FAIL_NULL_ARGUMENT);
  EXPECT_EQ(second, QX318_FAIL_INVALID_HANDLE);
}

#if !defined(_WIN32)
std::string Hex(const Bytes &bytes) {
  std::string out;
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    out += digits;
  }
  return out;
}

std::vector<std::string> Lines(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "qx318_trace_" + std::to_string(::getpid()) + ".log";
    std::remove(path_.c_str());
    ::setenv("QX318_TRACE", path_.c_str(), 1);
    ASSERT_EQ(QX318_OpenPort("QX318 Converter", 115200, &port_), 1);
    ::unsetenv("QX318_TRACE");
  }
  void TearDown() override {
    (void)QX318_ClosePort(port_);
    std::remove(path_.c_str());
  }
  FakeConverter converter_;
  PortHandle port_ = nullptr;
  std::string path_;
};

TEST_F(Trace, GoodExchangeShowsRequestAndAnswerBytes) {
  const Bytes answer = Answer(Filled(15, 2));
  converter_.QueueAnswer(answer);
  ASSERT_EQ(Hello(port_), 1);
  const auto lines = Lines(path_);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" port=QX318%20Converter dir=OPEN baud=115200"), std::string::npos);
  EXPECT_NE(
      lines[1].find(" dir=TX bytes=" + Hex(test::ExpectedRequest(1, 1)) + " addr=1 cmd=1 len=0"),
      std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(" dir=RX bytes=" + Hex(answer) + " skipped=0 len=15 crc=good"),
            std::string::npos)
      << lines[2];
  EXPECT_EQ(lines[2].rfind("t=", 0), 0u);
}

TEST_F(Trace, CrcFailureShowsTheBytesAndTheReason) {
  const Bytes answer = Answer(Filled(15, 2), 0x0001);
  converter_.QueueAnswer(answer);
  ASSERT_EQ(Hello(port_), 0);
  const auto lines = Lines(path_);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[2].find(" dir=RX bytes=" + Hex(answer) + " skipped=0 len=15 crc=bad"),
            std::string::npos)
      << lines[2];
  EXPECT_NE(lines[3].find(" dir=FAIL code=17 detail=\"CRC received 0x"), std::string::npos)
      << lines[3];
}

// What the RX line says of the answer, for each way an answer can end: the
// bytes the library read and its summary of them, up to the end of the line.
struct TracedAnswer {
  const char *name;
  std::function<Bytes()> wire;  // queued as the answer; every byte of it is read
  std::function<int32_t(PortHandle)> call;
  const char *summary;
};

test::ImageAnswerFields SmallImage() {
  test::ImageAnswerFields fields;
  fields.row_count = 2;
  fields.row_length = 3;
  fields.pixels = test::PixelPattern(2, 3);
  return fields;
}

int32_t Image(PortHandle port) {
  ImageHeader header{};
  uint8_t pixels[6] = {};
  return QX318_GetImageEx(port, 1, &header, pixels, sizeof pixels);
}

Bytes Joined(Bytes head, const Bytes &tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

Bytes Cut(Bytes wire, size_t drop) {
  wire.resize(wire.size() - drop);
  return wire;
}

const TracedAnswer kTracedAnswers[] = {
    {"silence", [] { return Bytes{}; }, Hello, "bytes=- skipped=0 start=none"},
    {"noise before the answer",
     [] {
       return Joined({0x81, 0xC2}, Answer(Filled(15, 2)));
     },
     Hello, "skipped=2 len=15 crc=good"},
    {"only noise", [] { return Filled(20, 0x81); }, Hello, "skipped=20 start=none"},
    {"cut short in the length",
     [] {
       return Bytes{0x00, 0x8F};
     },
     Hello, "skipped=0 crc=incomplete"},
    {"cut short in the data", [] { return Cut(Answer(Filled(15, 1)), 9); }, Hello,
     "skipped=0 len=15 crc=incomplete"},
    {"cut short in the CRC", [] { return Cut(Answer(Filled(15, 1)), 1); }, Hello,
     "skipped=0 len=15 crc=incomplete"},
    {"too long, read to its end", [] { return Answer(Filled(129, 1)); }, Hello,
     "skipped=0 len=129 crc=good"},
    {"too long, with a bad CRC", [] { return Answer(Filled(129, 1), 0x0100); }, Hello,
     "skipped=0 len=129 crc=bad"},
    {"too long, cut short",
     [] {
       return Bytes{0x00, 0x81, 0x81};
     },
     Hello, "skipped=0 len=129 crc=incomplete"},
    {"image", [] { return test::ImageAnswer(SmallImage()); }, Image,
     "skipped=0 rows=2 row_length=3 crc=good"},
    {"image with a bad CRC",
     [] {
       test::ImageAnswerFields fields = SmallImage();
       fields.crc_xor = 0x0001;
       return test::ImageAnswer(fields);
     },
     Image, "skipped=0 rows=2 row_length=3 crc=bad"},
    {"image after noise", [] { return Joined({0xFF}, test::ImageAnswer(SmallImage())); }, Image,
     "skipped=1 rows=2 row_length=3 crc=good"},
    {"image cut short in its header", [] { return Cut(test::ImageAnswer(SmallImage()), 10); },
     Image, "skipped=0 crc=incomplete"},
    {"image cut short in a row", [] { return Cut(test::ImageAnswer(SmallImage()), 5); }, Image,
     "skipped=0 rows=2 row_length=3 crc=incomplete"},
    {"image above the capacity, read to its end",
     [] {
       test::ImageAnswerFields fields = SmallImage();
       fields.row_count = 3;
       fields.pixels = test::PixelPattern(3, 3);
       return test::ImageAnswer(fields);
     },
     Image, "skipped=0 rows=3 row_length=3 crc=good"},
    {"image above the capacity with a bad CRC",
     [] {
       test::ImageAnswerFields fields = SmallImage();
       fields.row_count = 3;
       fields.pixels = test::PixelPattern(3, 3);
       fields.crc_xor = 0x4000;
       return test::ImageAnswer(fields);
     },
     Image, "skipped=0 rows=3 row_length=3 crc=bad"},
    {"a request without an answer", [] { return Bytes{}; },
     [](PortHandle port) { return QX318_LockResult(port, 1); }, "bytes=- skipped=0 start=none"},
};

class TracedAnswers : public ::testing::TestWithParam<TracedAnswer> {};

TEST_P(TracedAnswers, TheAnswerLineSummarisesWhatWasRead) {
  const TracedAnswer &c = GetParam();
  const std::string path =
      ::testing::TempDir() + "qx318_traced_answer_" + std::to_string(::getpid()) + ".log";
  std::remove(path.c_str());
  FakeConverter converter;
  ::setenv("QX318_TRACE", path.c_str(), 1);
  PortHandle port = nullptr;
  ASSERT_EQ(QX318_OpenPort("QX318 Converter", 115200, &port), 1);
  ::unsetenv("QX318_TRACE");
  const Bytes wire = c.wire();
  if (!wire.empty()) converter.QueueAnswer(wire);
  (void)c.call(port);
  (void)QX318_ClosePort(port);
  const auto lines = Lines(path);
  std::remove(path.c_str());
  ASSERT_GE(lines.size(), 4u);
  const std::string summary = c.summary;
  const std::string expected =
      " dir=RX " +
      (summary.rfind("bytes=", 0) == 0 ? summary : "bytes=" + Hex(wire) + " " + summary);
  const size_t at = lines[2].find(" dir=RX ");
  ASSERT_NE(at, std::string::npos) << lines[2];
  EXPECT_EQ(lines[2].substr(at), expected);
  EXPECT_NE(lines.back().find(" dir=CLOSE"), std::string::npos) << lines.back();
}

INSTANTIATE_TEST_SUITE_P(Table, TracedAnswers, ::testing::ValuesIn(kTracedAnswers),
                         test::ParamName());

// An open traces its failure once the converter has been asked; one refused
// for its arguments, and a call refused before its request, leave no
// exchange behind.
TEST_F(Trace, FailedOpenAndRefusedCallsWriteOnlyTheirFailure) {
  ::setenv("QX318_TRACE", path_.c_str(), 1);
  PortHandle other = nullptr;
  EXPECT_EQ(QX318_OpenPort("QX318 Converter", 115200, nullptr), 0);
  EXPECT_EQ(QX318_OpenPort(nullptr, 115200, &other), 0);
  converter_.FailCall(Op::kCreateFile, 2);  // the fixture's open was the first
  EXPECT_EQ(QX318_OpenPort("Other Converter", 115200, &other), 0);
  ::unsetenv("QX318_TRACE");
  EXPECT_EQ(QX318_HelloCmd(port_, 1, nullptr), 0);
  EXPECT_EQ(QX318_ClosePort(QX318_INVALID_PORT), 0);
  const auto lines = Lines(path_);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" dir=OPEN baud=115200"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" port=Other%20Converter dir=FAIL code=2 detail=\"no converter"),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(" port=QX318%20Converter dir=FAIL code=1 detail=\"answer_out is null\""),
            std::string::npos)
      << lines[2];
}

#endif  // the trace tests use the POSIX environment calls

}  // namespace
}  // namespace qx318
