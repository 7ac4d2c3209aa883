// The hello command on the test double: its request, the decoding of its
// 15-byte answer, and a caller's record left alone on every failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "QX318_RS485.h"
#include "fake_converter.h"

namespace qx318 {
namespace {

using Bytes = std::vector<uint8_t>;
using fake::FakeConverter;
using fake::Op;

// Least significant group first: the value count groups starting at at.
uint32_t Groups(const Bytes &data, size_t at, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value |= static_cast<uint32_t>(data[at + i] & 0x7F) << (7 * i);
  return value;
}

HelloAnswer Sentinel() {
  HelloAnswer record;
  std::memset(&record, 0xA5, sizeof record);
  return record;
}

bool SameBytes(const HelloAnswer &a, const HelloAnswer &b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class Hello : public ::testing::Test {
 protected:
  int32_t Run(int32_t address = 1) {
    return QX318_HelloCmd(converter_.handle(), address, &record_);
  }

  FakeConverter converter_;
  HelloAnswer record_ = Sentinel();
};

TEST_F(Hello, SendsCommandOneWithoutData) {
  converter_.QueueAnswer(fake::AnswerFrame(Bytes(15, 0)));
  ASSERT_EQ(Run(1), 1);
  ASSERT_EQ(converter_.Writes().size(), 1u);
  EXPECT_EQ(converter_.Writes()[0], (Bytes{0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}));
}

struct Decoding {
  const char *name;
  Bytes data;
};

class HelloDecoding : public Hello, public ::testing::WithParamInterface<Decoding> {};

TEST_P(HelloDecoding, EachFieldFromItsOwnGroups) {
  const Bytes &data = GetParam().data;
  converter_.QueueAnswer(fake::AnswerFrame(data));
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(record_.value1, Groups(data, 0, 2));
  EXPECT_EQ(record_.value2, Groups(data, 2, 1));
  EXPECT_EQ(record_.value3, Groups(data, 3, 4));
  EXPECT_EQ(record_.value4, Groups(data, 7, 2));
  EXPECT_EQ(record_.value5, Groups(data, 9, 2));
  EXPECT_EQ(record_.value6, Groups(data, 11, 2));
  EXPECT_EQ(record_.value7, Groups(data, 13, 2));
  EXPECT_EQ(record_.unused3, 0xA5) << "byte 3 belongs to the caller";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HelloDecoding,
    ::testing::Values(Decoding{"Distinct", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
                      Decoding{"AllZero", Bytes(15, 0)}, Decoding{"AllMaximal", Bytes(15, 0x7F)},
                      Decoding{"HighGroupsOnly",
                               {0, 0x7F, 0x40, 0, 0, 0, 0x7F, 0, 0x7F, 0, 0x7F, 0, 0x7F, 0, 0x7F}},
                      Decoding{"LowGroupsOnly",
                               {0x7F, 0, 0x01, 0x7F, 0, 0, 0, 0x7F, 0, 0x7F, 0, 0x7F, 0, 0x7F, 0}}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Hello, MaximaOfEveryField) {
  converter_.QueueAnswer(fake::AnswerFrame(Bytes(15, 0x7F)));
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(record_.value1, 16383);
  EXPECT_EQ(record_.value2, 0x7F);
  EXPECT_EQ(record_.value3, 0x0FFFFFFFu);
  EXPECT_EQ(record_.value4, 16383);
  EXPECT_EQ(record_.value7, 16383);
}

TEST_F(Hello, Value2IsDataByte2) {
  Bytes data(15, 0);
  data[2] = 0x2A;
  converter_.QueueAnswer(fake::AnswerFrame(data));
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(record_.value2, 0x2A);
  EXPECT_EQ(record_.value1, 0);
  EXPECT_EQ(record_.value3, 0u);
}

// Every failure leaves the caller's record as it was.
struct Failure {
  const char *name;
  void (*arrange)(FakeConverter &);
};

class HelloFailure : public Hello, public ::testing::WithParamInterface<Failure> {};

TEST_P(HelloFailure, ReturnsZeroAndLeavesTheRecord) {
  GetParam().arrange(converter_);
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(SameBytes(record_, Sentinel()));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HelloFailure,
    ::testing::Values(
        Failure{"FourteenDataBytes",
                [](FakeConverter &c) { c.QueueAnswer(fake::AnswerFrame(Bytes(14, 0x11))); }},
        Failure{"SixteenDataBytes",
                [](FakeConverter &c) { c.QueueAnswer(fake::AnswerFrame(Bytes(16, 0x11))); }},
        Failure{"NoDataBytes", [](FakeConverter &c) { c.QueueAnswer(fake::AnswerFrame({})); }},
        Failure{"AsLargeAsTheBuffer",
                [](FakeConverter &c) { c.QueueAnswer(fake::AnswerFrame(Bytes(128, 0x11))); }},
        Failure{"LargerThanTheBuffer",
                [](FakeConverter &c) { c.QueueAnswer(fake::AnswerFrame(Bytes(129, 0x11))); }},
        Failure{"NoAnswer", [](FakeConverter &) {}},
        Failure{"BadCrc",
                [](FakeConverter &c) {
                  Bytes wire = fake::AnswerFrame(Bytes(15, 0x11));
                  wire.back() ^= 0x01;
                  c.QueueAnswer(wire);
                }},
        Failure{"AnswerCutShort",
                [](FakeConverter &c) {
                  Bytes wire = fake::AnswerFrame(Bytes(15, 0x11));
                  wire.resize(wire.size() - 1);
                  c.QueueAnswer(wire);
                }},
        Failure{"ShortWrite",
                [](FakeConverter &c) {
                  c.ShortCount(Op::kWriteFile, 6);
                  c.QueueAnswer(fake::AnswerFrame(Bytes(15, 0x11)));
                }}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Hello, ShortWriteReadsNoAnswer) {
  converter_.ShortCount(Op::kWriteFile, 6);
  converter_.QueueAnswer(fake::AnswerFrame(Bytes(15, 0x11)));
  EXPECT_EQ(Run(), 0);
  for (const fake::Call &call : converter_.calls()) EXPECT_NE(call.op, Op::kReadFile);
}

TEST_F(Hello, NullRecordMakesNoConverterCall) {
  converter_.QueueAnswer(fake::AnswerFrame(Bytes(15, 0x11)));
  EXPECT_EQ(QX318_HelloCmd(converter_.handle(), 1, nullptr), 0);
  EXPECT_TRUE(converter_.calls().empty());
}

}  // namespace
}  // namespace qx318
