// The measurement answer (lead value, pair count, 14-bit value pairs), the
// rule that its length is exactly what its pair count declares, the capacity
// rule of QX318_GetMeasureEx, and what a failure leaves behind.
#include <cstring>
#include <string>

#include "command_fixture.h"

namespace qx318::test {
namespace {

constexpr uint16_t kUnsetValue = 0xBEEF;
constexpr uint32_t kMaxValues = 2u * 16383u;  // what a 14-bit pair count can name

std::vector<uint16_t> ValuePattern(uint32_t count) {
  std::vector<uint16_t> values(count);
  for (uint32_t j = 0; j < count; ++j) values[j] = static_cast<uint16_t>((j * 37u + 5u) & 0x3FFF);
  return values;
}

MeasureHeader SentinelHeader() {
  MeasureHeader header;
  std::memset(&header, 0xAB, sizeof header);
  return header;
}

bool SameHeader(const MeasureHeader &a, const MeasureHeader &b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Both exports decode alike when the capacity is no limit.
using MeasureCall = int32_t (*)(PortHandle, MeasureHeader *, uint16_t *);
int32_t CallGetMeasure(PortHandle p, MeasureHeader *h, uint16_t *v) {
  return QX318_GetMeasure(p, 5, h, v);
}
int32_t CallGetMeasureExFullCapacity(PortHandle p, MeasureHeader *h, uint16_t *v) {
  return QX318_GetMeasureEx(p, 5, h, v, kMaxValues);
}

struct DecodingCase {
  std::string name;
  Bytes wire;
  uint8_t lead;
  uint16_t pair_count;
  std::vector<uint16_t> values;  // the 2 x pair_count values expected
};

void PrintTo(const DecodingCase &c, std::ostream *os) { *os << c.name; }

// Answers exactly as long as their pair count declares.
std::vector<DecodingCase> DecodingCases() {
  const std::vector<uint16_t> pattern = ValuePattern(2 * 4095);
  return {
      // Data 01 02 00 64 00 48 01 2C 02 7F 7F as a device sends it, CRC included.
      {"KnownAnswer",
       {0x00, 0x8B, 0x80, 0x81, 0x82, 0x80, 0xE4, 0x80, 0xC8, 0x81, 0xAC, 0x82, 0xFF, 0xFF, 0xD8,
        0xCA, 0x80},
       1,
       2,
       {100, 200, 300, 16383}},
      {"NoPairs", AnswerFrame(MeasureData(5, 0, {})), 5, 0, {}},
      {"OnePair", AnswerFrame(MeasureData(0x40, 1, {16383, 1})), 0x40, 1, {16383, 1}},
      // 3 + 4 x 4095 = 16383 data bytes, the most a frame can declare.
      {"LargestAnswer", AnswerFrame(MeasureData(0x7F, 4095, pattern)), 0x7F, 4095, pattern},
  };
}

class MeasureDecodingTest
    : public CommandTest,
      public ::testing::WithParamInterface<std::tuple<MeasureCall, DecodingCase>> {};

TEST_P(MeasureDecodingTest, WritesHeaderAndExactlyTheAnnouncedValues) {
  const auto &[call, c] = GetParam();
  Answer(c.wire);
  MeasureHeader header = SentinelHeader();
  GuardedBuffer<uint16_t> values(kMaxValues, kUnsetValue);
  ASSERT_EQ(call(port(), &header, values.data()), 1);
  EXPECT_EQ(header.lead_byte, c.lead);
  EXPECT_EQ(header.unused1, 0xAB);
  EXPECT_EQ(header.pair_count, c.pair_count);
  const std::vector<uint16_t> all = values.contents();
  EXPECT_EQ(std::vector<uint16_t>(all.begin(),
                                  all.begin() + static_cast<std::ptrdiff_t>(c.values.size())),
            c.values);
  for (size_t j = c.values.size(); j < all.size(); ++j) {
    ASSERT_EQ(all[j], kUnsetValue) << "value " << j << " written beyond 2 x pair_count";
  }
  EXPECT_TRUE(values.GuardsIntact());
}

std::string CallName(MeasureCall call) {
  return call == &CallGetMeasure ? "GetMeasure" : "GetMeasureEx";
}

INSTANTIATE_TEST_SUITE_P(Answers, MeasureDecodingTest,
                         ::testing::Combine(::testing::Values(&CallGetMeasure,
                                                              &CallGetMeasureExFullCapacity),
                                            ::testing::ValuesIn(DecodingCases())),
                         [](const auto &case_info) {
                           return CallName(std::get<0>(case_info.param)) +
                                  std::get<1>(case_info.param).name;
                         });

// Answers whose data length is not 3 + 4 x pair_count: cut, stale or padded.
// None may pass as a measurement, whatever it carries.
struct WrongLengthCase {
  std::string name;
  Bytes data;  // before framing
};

void PrintTo(const WrongLengthCase &c, std::ostream *os) { *os << c.name; }

Bytes WithExtra(Bytes data, size_t count) {
  data.resize(data.size() + count, 0x2A);
  return data;
}

Bytes WithoutLast(Bytes data, size_t count) {
  data.resize(data.size() - count);
  return data;
}

std::vector<WrongLengthCase> WrongLengthCases() {
  const std::vector<uint16_t> largest = ValuePattern(2 * 4095);
  return {
      {"NoDataBytes", {}},
      {"OnlyTheLeadByte", {0x05}},
      {"TwoBytes", {0x05, 0x03}},
      {"NoPairsWithoutTheHighCountGroup", {0x05, 0x00}},
      {"PromisesMorePairsThanItCarries", MeasureData(1, 3, {100})},
      {"OneGroupShortOfTheLastValue", WithoutLast(MeasureData(1, 2, {1, 2, 3, 4}), 1)},
      {"OneByteAfterTheLastPair", WithExtra(MeasureData(1, 2, {1, 2, 3, 4}), 1)},
      {"ThreeBytesAfterTheLastPair", WithExtra(MeasureData(1, 2, {1, 2, 3, 4}), 3)},
      {"AWholePairMoreThanCounted", MeasureData(1, 1, {1, 2, 3, 4})},
      {"NoPairsFollowedByValues", MeasureData(1, 0, {1, 2})},
      {"LargestPairCountWithNoValues", MeasureData(2, 16383, {})},
      // The largest answer, read with a pair count that is not its own.
      {"LargestAnswerCountingNoPairs", MeasureData(0x7F, 0, largest)},
      {"LargestAnswerCountingOnePairLess", MeasureData(0x7F, 4094, largest)},
      {"LargestAnswerOneByteShort", WithoutLast(MeasureData(0x7F, 4095, largest), 1)},
  };
}

// The detail the failure carries, from the wire model's reading of the data.
std::string ExpectedDetail(const Bytes &data) {
  const std::string head = "answer of " + std::to_string(data.size()) + " data bytes, expected ";
  if (data.size() < 3) return head + "at least 3";
  const uint32_t pair_count = AssembleGroups(&data[1], 2);
  return head + std::to_string(3 + 4 * pair_count) + " for pair count " +
         std::to_string(pair_count);
}

class MeasureWrongLengthTest
    : public CommandTest,
      public ::testing::WithParamInterface<std::tuple<MeasureCall, WrongLengthCase>> {};

TEST_P(MeasureWrongLengthTest, FailsAndTouchesNeitherHeaderNorValues) {
  const auto &[call, c] = GetParam();
  AnswerData(c.data);
  MeasureHeader header = SentinelHeader();
  const MeasureHeader before = header;
  GuardedBuffer<uint16_t> values(kMaxValues, kUnsetValue);
  EXPECT_EQ(call(port(), &header, values.data()), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_WRONG_LENGTH);
  EXPECT_STREQ(QX318_GetLastFailureDetail(), ExpectedDetail(c.data).c_str());
  EXPECT_TRUE(SameHeader(header, before));
  EXPECT_TRUE(values.Untouched());
}

INSTANTIATE_TEST_SUITE_P(Answers, MeasureWrongLengthTest,
                         ::testing::Combine(::testing::Values(&CallGetMeasure,
                                                              &CallGetMeasureExFullCapacity),
                                            ::testing::ValuesIn(WrongLengthCases())),
                         [](const auto &case_info) {
                           return CallName(std::get<0>(case_info.param)) +
                                  std::get<1>(case_info.param).name;
                         });

class MeasureFailureTest : public CommandTest,
                           public ::testing::WithParamInterface<std::tuple<MeasureCall, int>> {};

TEST_P(MeasureFailureTest, TouchesNeitherHeaderNorValues) {
  const auto &[call, broken] = GetParam();
  Bytes wire = AnswerFrame(MeasureData(1, 2, {1, 2, 3, 4}));
  switch (broken) {
    case 0:  // no answer
      wire.clear();
      break;
    case 1:  // CRC corrupted
      wire[wire.size() - 2] ^= 0x01;
      break;
    case 2:  // last CRC byte never arrives
      wire.pop_back();
      break;
    default:  // the request never left
      converter_.FailCall(fake::Op::kWriteFile);
      break;
  }
  Answer(wire);
  MeasureHeader header = SentinelHeader();
  const MeasureHeader before = header;
  GuardedBuffer<uint16_t> values(8, kUnsetValue);
  EXPECT_EQ(call(port(), &header, values.data()), 0);
  EXPECT_TRUE(SameHeader(header, before));
  EXPECT_TRUE(values.Untouched());
}

INSTANTIATE_TEST_SUITE_P(Failures, MeasureFailureTest,
                         ::testing::Combine(::testing::Values(&CallGetMeasure,
                                                              &CallGetMeasureExFullCapacity),
                                            ::testing::Values(0, 1, 2, 3)));

// QX318_GetMeasureEx: a complete answer announcing more values than the
// capacity fails with CAPACITY before anything is written, the header
// included. An answer whose length contradicts its pair count fails with
// WRONG_LENGTH instead, whether or not that count would fit.
struct CapacityCase {
  uint16_t pair_count;
  uint32_t pairs_carried;
  uint32_t capacity;
  int32_t failure;  // QX318_FAIL_NONE when the call succeeds
};

void PrintTo(const CapacityCase &c, std::ostream *os) {
  *os << c.pair_count << " pairs (" << c.pairs_carried << " carried), capacity " << c.capacity;
}

class MeasureCapacityTest : public CommandTest,
                            public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(MeasureCapacityTest, FailsUntouchedAboveCapacityAndFitsAtIt) {
  const CapacityCase &c = GetParam();
  const std::vector<uint16_t> carried = ValuePattern(2 * c.pairs_carried);
  AnswerData(MeasureData(9, c.pair_count, carried));
  MeasureHeader header = SentinelHeader();
  const MeasureHeader before = header;
  GuardedBuffer<uint16_t> values(c.capacity, kUnsetValue);

  ASSERT_EQ(QX318_GetMeasureEx(port(), 1, &header, values.data(), c.capacity),
            c.failure == QX318_FAIL_NONE ? 1 : 0);
  EXPECT_EQ(QX318_GetLastFailure(), c.failure);
  EXPECT_TRUE(values.GuardsIntact());
  if (c.failure != QX318_FAIL_NONE) {
    EXPECT_TRUE(SameHeader(header, before));
    EXPECT_TRUE(values.Untouched());
    return;
  }
  EXPECT_EQ(header.pair_count, c.pair_count);
  std::vector<uint16_t> expected = carried;
  expected.resize(c.capacity, kUnsetValue);
  EXPECT_EQ(values.contents(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Capacities, MeasureCapacityTest,
    ::testing::Values(
        CapacityCase{2, 2, 4, QX318_FAIL_NONE}, CapacityCase{2, 2, 5, QX318_FAIL_NONE},
        CapacityCase{2, 2, 3, QX318_FAIL_CAPACITY}, CapacityCase{2, 2, 0, QX318_FAIL_CAPACITY},
        CapacityCase{0, 0, 0, QX318_FAIL_NONE}, CapacityCase{1, 1, 1, QX318_FAIL_CAPACITY},
        CapacityCase{4095, 4095, 8190, QX318_FAIL_NONE},
        CapacityCase{4095, 4095, 8189, QX318_FAIL_CAPACITY},
        // The length is judged first: a count the answer does not
        // carry is WRONG_LENGTH, above the capacity or not.
        CapacityCase{16383, 10, kMaxValues, QX318_FAIL_WRONG_LENGTH},
        CapacityCase{16383, 10, kMaxValues - 1, QX318_FAIL_WRONG_LENGTH},
        CapacityCase{3, 2, 4, QX318_FAIL_WRONG_LENGTH},
        CapacityCase{3, 2, 6, QX318_FAIL_WRONG_LENGTH},
        CapacityCase{1, 2, 4, QX318_FAIL_WRONG_LENGTH},
        CapacityCase{1, 2, 1, QX318_FAIL_WRONG_LENGTH}));

}  // namespace
}  // namespace qx318::test
