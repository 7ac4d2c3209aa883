// Whole exchanges through the POSIX converter against a device on a
// pseudo-terminal: bytes unchanged in both directions, the read time-outs,
// the start-byte hunt's bound, and recovery after a failed exchange.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QX318_RS485.h"
#include "param_name.h"
#include "port_on_pty.h"
#include "pty_device.h"
#include "wire_oracle.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kHelloDataBytes = 15;

// value1 to value7 of a hello record, in data order.
std::array<uint32_t, 7> Values(const HelloAnswer &v) {
  return {v.value1, v.value2, v.value3, v.value4, v.value5, v.value6, v.value7};
}

// The 15 data bytes that carry these hello values.
Bytes HelloData(const HelloAnswer &v) { return test::HelloData(Values(v)); }

HelloAnswer SampleHello(uint16_t seed) {
  HelloAnswer hello{};
  hello.value1 = static_cast<uint16_t>(0x1234 + seed);
  hello.value2 = static_cast<uint8_t>((0x2A + seed) & 0x7F);
  hello.value3 = 0x0ABCDEF0u + seed;
  hello.value4 = static_cast<uint16_t>(0x3FFF - seed);
  hello.value5 = static_cast<uint16_t>(0x0101 + seed);
  hello.value6 = static_cast<uint16_t>(0x2000 + seed);
  hello.value7 = static_cast<uint16_t>(0x0007 + seed);
  return hello;
}

void ExpectSameValues(const HelloAnswer &expected, const HelloAnswer &actual) {
  EXPECT_EQ(Values(expected), Values(actual));
}

// A record the library must leave alone on failure.
HelloAnswer Untouched() {
  HelloAnswer record;
  std::memset(&record, 0xA5, sizeof record);
  return record;
}

bool IsUntouched(const HelloAnswer &record) {
  const HelloAnswer sentinel = Untouched();
  return std::memcmp(&record, &sentinel, sizeof record) == 0;
}

class PtyExchange : public PortOnPty<> {
 protected:
  // A device that answers every hello with the given data bytes.
  void ServeHello(const Bytes &data, uint8_t start_byte = 0x00) {
    device_.Serve([data, start_byte](const Bytes &request) {
      const auto decoded = DecodeRequest(request);
      if (!decoded || !decoded->crc_ok || decoded->command != kHello) return Bytes{};
      return AnswerFrame(data, start_byte);
    });
  }
};

TEST_F(PtyExchange, HelloCompletesAndDecodesEveryValue) {
  const HelloAnswer expected = SampleHello(0);
  ServeHello(HelloData(expected));

  HelloAnswer answer = Untouched();
  ASSERT_EQ(QX318_HelloCmd(port_, 7, &answer), 1);
  ExpectSameValues(expected, answer);
  EXPECT_EQ(answer.unused3, 0xA5) << "byte 3 of the record belongs to the caller";
  ASSERT_EQ(device_.requests().size(), 1u);
  EXPECT_EQ(device_.requests()[0], ExpectedRequest(7, kHello));
}

TEST_F(PtyExchange, ManyExchangesInARowOnOnePort) {
  device_.Serve([served = uint16_t{0}](const Bytes &) mutable {
    return AnswerFrame(HelloData(SampleHello(served++)));
  });
  for (uint16_t i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    HelloAnswer answer{};
    ASSERT_EQ(QX318_HelloCmd(port_, i, &answer), 1);
    ExpectSameValues(SampleHello(i), answer);
  }
}

// Control characters a cooked terminal would act on: each is used as the
// answer's start byte, as the request's address (start byte) and, with bit 7
// set, as answer data bytes, and must cross unchanged both ways.
struct SpecialByte {
  const char *name;
  uint8_t value;
};

void PrintTo(const SpecialByte &special, std::ostream *out) { *out << special.name; }

class RawLine : public PtyExchange, public ::testing::WithParamInterface<SpecialByte> {};

TEST_P(RawLine, ControlBytesCrossUnchanged) {
  const uint8_t special = GetParam().value;
  const auto address = static_cast<int32_t>(special & 0x1F);
  Bytes data(kHelloDataBytes, special);  // each byte goes out as special | 0x80
  data[2] = 0x0A;
  data[5] = 0x0D;
  ServeHello(data, special);

  HelloAnswer answer{};
  ASSERT_EQ(QX318_HelloCmd(port_, address, &answer), 1);
  HelloAnswer expected{};
  expected.value1 = static_cast<uint16_t>(special | special << 7);
  EXPECT_EQ(answer.value1, expected.value1);
  EXPECT_EQ(answer.value2, 0x0A);
  EXPECT_EQ(answer.value7, expected.value1);
  ASSERT_EQ(device_.requests().size(), 1u);
  EXPECT_EQ(device_.requests()[0], ExpectedRequest(static_cast<uint8_t>(address), kHello));
}

INSTANTIATE_TEST_SUITE_P(Pty, RawLine,
                         ::testing::Values(SpecialByte{"CarriageReturn", 0x0D},
                                           SpecialByte{"LineFeed", 0x0A}, SpecialByte{"Xon", 0x11},
                                           SpecialByte{"Xoff", 0x13},
                                           SpecialByte{"Interrupt", 0x03},
                                           SpecialByte{"EndOfFile", 0x04},
                                           SpecialByte{"Suspend", 0x1A}, SpecialByte{"Quit", 0x1C},
                                           SpecialByte{"Delete", 0x7F}),
                         test::ParamName());

TEST_F(PtyExchange, NoiseBeforeTheStartByteIsSkipped) {
  const HelloAnswer expected = SampleHello(3);
  device_.Serve([expected](const Bytes &) {
    return Concat({Bytes(300, 0xFF), AnswerFrame(HelloData(expected), 0x55)});
  });
  HelloAnswer answer{};
  ASSERT_EQ(QX318_HelloCmd(port_, 1, &answer), 1);
  ExpectSameValues(expected, answer);
}

// The first-byte wait is 1000 + 100 x 1 ms.
TEST_F(PtyExchange, SilentDeviceFailsAfterTheTotalTimeOut) {
  device_.Serve([](const Bytes &) { return Bytes{}; });
  HelloAnswer answer = Untouched();
  const auto start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(port_, 1, &answer), 0);
  const auto elapsed = Clock::now() - start;
  EXPECT_TRUE(IsUntouched(answer));
  EXPECT_TRUE(device_.WaitForRequests(1, milliseconds(1000))) << "the request went out";
  EXPECT_GE(elapsed, milliseconds(1000)) << "it gave up before the time-out";
  EXPECT_LT(elapsed, milliseconds(6000));
}

// The hello answer (21 bytes: start, 2 length, 15 data, 3 CRC) sent in two
// parts with a pause between them. Each field is one read: a pause inside a
// read is cut short by the 100 ms interval, while a pause between two reads
// only meets the next read's wait for its first byte (1100 ms).
struct Gap {
  const char *name;
  size_t split;  // bytes sent before the pause
  milliseconds pause;
  bool succeeds;
};

void PrintTo(const Gap &gap, std::ostream *out) { *out << gap.name; }

class GapInAnswer : public PtyExchange, public ::testing::WithParamInterface<Gap> {};

TEST_P(GapInAnswer, IntervalTimeOutAppliesWithinOneRead) {
  const Gap gap = GetParam();
  const HelloAnswer expected = SampleHello(5);
  const Bytes frame = AnswerFrame(HelloData(expected));
  ASSERT_EQ(frame.size(), 21u);
  const auto split = static_cast<std::ptrdiff_t>(gap.split);
  device_.ServeScripted([frame, split, gap](const Bytes &) {
    return std::vector<Chunk>{{Bytes(frame.begin(), frame.begin() + split), milliseconds(0)},
                              {Bytes(frame.begin() + split, frame.end()), gap.pause}};
  });

  HelloAnswer answer = Untouched();
  const auto start = Clock::now();
  const int32_t result = QX318_HelloCmd(port_, 2, &answer);
  const auto elapsed = Clock::now() - start;
  if (gap.succeeds) {
    ASSERT_EQ(result, 1);
    ExpectSameValues(expected, answer);
  } else {
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(IsUntouched(answer));
    // Far above the 100 ms interval, below every read's total time-out.
    EXPECT_LT(elapsed, milliseconds(1000)) << "only a total time-out ended the call";
  }
}

INSTANTIATE_TEST_SUITE_P(Pty, GapInAnswer,
                         ::testing::Values(Gap{"InsideTheLength", 2, milliseconds(1500), false},
                                           Gap{"InsideTheData", 8, milliseconds(1500), false},
                                           Gap{"InsideTheCrc", 19, milliseconds(1500), false},
                                           Gap{"AfterTheStartByte", 1, milliseconds(500), true},
                                           Gap{"BeforeTheData", 3, milliseconds(500), true},
                                           Gap{"BeforeTheCrc", 18, milliseconds(500), true}),
                         test::ParamName());

// A device that babbles marker bytes for ever must not hold the caller: the
// hunt gives up after its byte or time bound. The stream stops by itself
// after 15 s, so a missing bound shows as a slow failure, not a hang.
TEST_F(PtyExchange, StartByteHuntGivesUpOnEndlessNoise) {
  device_.ServeScripted([](const Bytes &) {
    std::vector<Chunk> noise;
    for (int i = 0; i < 1500; ++i) noise.push_back({Bytes(4096, 0xFF), milliseconds(i ? 10 : 0)});
    return noise;
  });
  HelloAnswer answer = Untouched();
  const auto start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(port_, 1, &answer), 0);
  EXPECT_LT(Clock::now() - start, milliseconds(6000));
  EXPECT_TRUE(IsUntouched(answer));
}

// After an exchange fails, what its device sends late must not be taken for
// the answer to the next request.
struct FirstFailure {
  const char *name;
  std::vector<Chunk> (*reply)(const Bytes &late_answer);
};

std::vector<Chunk> LateWholeAnswer(const Bytes &answer) { return {{answer, milliseconds(1500)}}; }
std::vector<Chunk> AnswerCutShort(const Bytes &answer) {
  return {{Bytes(answer.begin(), answer.begin() + 10), milliseconds(0)},
          {Bytes(answer.begin() + 10, answer.end()), milliseconds(700)}};
}
std::vector<Chunk> CorruptedCrc(const Bytes &answer) {
  return {{WithCrcGroupFlipped(answer, 2), milliseconds(0)}};
}
std::vector<Chunk> TwoAnswers(const Bytes &answer) {
  // The first is too short for a hello; the second, sent at once after it,
  // would pass if the next exchange took it.
  Bytes both = AnswerFrame(Bytes(14, 0x01));
  both.insert(both.end(), answer.begin(), answer.end());
  return {{both, milliseconds(0)}};
}

void PrintTo(const FirstFailure &failure, std::ostream *out) { *out << failure.name; }

class Recovery : public PtyExchange, public ::testing::WithParamInterface<FirstFailure> {};

TEST_P(Recovery, NextExchangeGetsItsOwnAnswer) {
  const HelloAnswer stale = SampleHello(100);
  const HelloAnswer fresh = SampleHello(200);
  const auto first_reply = GetParam().reply;
  device_.ServeScripted([=, served = 0](const Bytes &) mutable {
    if (served++ == 0) return first_reply(AnswerFrame(HelloData(stale)));
    return std::vector<Chunk>{{AnswerFrame(HelloData(fresh)), milliseconds(0)}};
  });

  HelloAnswer answer = Untouched();
  EXPECT_EQ(QX318_HelloCmd(port_, 4, &answer), 0);
  EXPECT_TRUE(IsUntouched(answer));
  // Everything the failed exchange's device sent is in the port by now.
  ASSERT_TRUE(device_.WaitForReplies(1, milliseconds(5000)));

  ASSERT_EQ(QX318_HelloCmd(port_, 4, &answer), 1);
  ExpectSameValues(fresh, answer);
}

INSTANTIATE_TEST_SUITE_P(Pty, Recovery,
                         ::testing::Values(FirstFailure{"LateWholeAnswer", LateWholeAnswer},
                                           FirstFailure{"AnswerCutShort", AnswerCutShort},
                                           FirstFailure{"CorruptedCrc", CorruptedCrc},
                                           FirstFailure{"WrongLengthThenAnother", TwoAnswers}),
                         test::ParamName());

}  // namespace
}  // namespace qx318::test

// Why an exchange over a real terminal failed, as the caller reads it back.
namespace qx318::test {
namespace {

TEST_F(PtyExchange, SilenceIsReportedAsNoAnswer) {
  device_.Serve([](const Bytes &) { return Bytes{}; });
  HelloAnswer answer{};
  EXPECT_EQ(QX318_HelloCmd(port_, 1, &answer), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_NO_ANSWER);
  EXPECT_NE(std::string(QX318_GetLastFailureDetail()).find("no answer within 1"), std::string::npos)
      << QX318_GetLastFailureDetail();
}

TEST_F(PtyExchange, CutShortAnswerNamesTheFieldAndTheCounts) {
  device_.Serve([](const Bytes &) {
    Bytes wire = AnswerFrame(HelloData(SampleHello(1)));
    wire.resize(3 + 9);
    return wire;
  });
  HelloAnswer answer{};
  EXPECT_EQ(QX318_HelloCmd(port_, 1, &answer), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_ANSWER_CUT_SHORT);
  EXPECT_NE(std::string(QX318_GetLastFailureDetail()).find("9 of 15 data bytes"), std::string::npos)
      << QX318_GetLastFailureDetail();
}

TEST_F(PtyExchange, SecondOpenOfTheSamePortIsBusy) {
  PortHandle second = nullptr;
  EXPECT_EQ(QX318_OpenPort(device_.slave_path().c_str(), 115200, &second), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_PORT_BUSY) << QX318_GetLastFailureDetail();
}

TEST(PtyFailure, MissingDeviceIsNotFound) {
  PortHandle port = nullptr;
  EXPECT_EQ(QX318_OpenPort("/dev/qx318-no-such-tty", 115200, &port), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_NOT_FOUND) << QX318_GetLastFailureDetail();
}

TEST(PtyFailure, PortWhoseOtherSideIsGoneHasHungUp) {
  auto device = std::make_unique<PtyDevice>();
  PortHandle port = nullptr;
  ASSERT_EQ(QX318_OpenPort(device->slave_path().c_str(), 115200, &port), 1);
  device.reset();  // closes the master: the line hangs up
  HelloAnswer answer{};
  const auto start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(port, 1, &answer), 0);
  EXPECT_LT(Clock::now() - start, milliseconds(6000));
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_HUNG_UP) << QX318_GetLastFailureDetail();
  EXPECT_EQ(QX318_ClosePort(port), 1);
}

}  // namespace
}  // namespace qx318::test
