// The measurement answer (lead value, pair count, 14-bit value pairs), the
// capacity rule of QX318_GetMeasureEx, and what a failure leaves behind.
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

std::vector<DecodingCase> DecodingCases() {
  const std::vector<uint16_t> pattern = ValuePattern(2 * 4095);
  std::vector<uint16_t> promised_more{100};
  promised_more.resize(6, 0);
  return {
      // Data 01 02 00 64 00 48 01 2C 02 7F 7F as a device sends it, CRC included.
      {"KnownAnswer",
       {0x00, 0x8B, 0x80, 0x81, 0x82, 0x80, 0xE4, 0x80, 0xC8, 0x81, 0xAC, 0x82, 0xFF, 0xFF, 0xD8,
        0xCA, 0x80},
       1,
       2,
       {100, 200, 300, 16383}},
      {"NoDataBytes", AnswerFrame({}), 0, 0, {}},
      {"OnlyTheLeadByte", AnswerFrame({0x05}), 5, 0, {}},
      // The pair count's high group lies beyond a 2-byte answer and reads 0.
      {"TwoBytes", AnswerFrame({0x05, 0x03}), 5, 3, std::vector<uint16_t>(6, 0)},
      {"PromisesMorePairsThanItCarries", AnswerFrame(MeasureData(1, 3, {100})), 1, 3,
       promised_more},
      {"LargestCompleteAnswer", AnswerFrame(MeasureData(0x7F, 4095, pattern)), 0x7F, 4095, pattern},
      {"LargestPairCountWithNoValues", AnswerFrame(MeasureData(2, 16383, {})), 2, 16383,
       std::vector<uint16_t>(kMaxValues, 0)},
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

INSTANTIATE_TEST_SUITE_P(Answers, MeasureDecodingTest,
                         ::testing::Combine(::testing::Values(&CallGetMeasure,
                                                              &CallGetMeasureExFullCapacity),
                                            ::testing::ValuesIn(DecodingCases())),
                         [](const auto &case_info) {
                           return std::string(std::get<0>(case_info.param) == &CallGetMeasure
                                                  ? "GetMeasure"
                                                  : "GetMeasureEx") +
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

// QX318_GetMeasureEx: an answer announcing more values than the capacity
// fails before anything is written, the header included.
struct CapacityCase {
  uint16_t pair_count;
  uint32_t pairs_carried;
  uint32_t capacity;
  int32_t expected;
};

void PrintTo(const CapacityCase &c, std::ostream *os) {
  *os << c.pair_count << " pairs, capacity " << c.capacity;
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

  ASSERT_EQ(QX318_GetMeasureEx(port(), 1, &header, values.data(), c.capacity), c.expected);
  EXPECT_TRUE(values.GuardsIntact());
  if (c.expected == 0) {
    EXPECT_TRUE(SameHeader(header, before));
    EXPECT_TRUE(values.Untouched());
    return;
  }
  EXPECT_EQ(header.pair_count, c.pair_count);
  std::vector<uint16_t> expected = carried;
  expected.resize(2u * c.pair_count, 0);
  expected.resize(c.capacity, kUnsetValue);
  EXPECT_EQ(values.contents(), expected);
}

INSTANTIATE_TEST_SUITE_P(Capacities, MeasureCapacityTest,
                         ::testing::Values(CapacityCase{2, 2, 4, 1}, CapacityCase{2, 2, 5, 1},
                                           CapacityCase{2, 2, 3, 0}, CapacityCase{2, 2, 0, 0},
                                           CapacityCase{0, 0, 0, 1}, CapacityCase{1, 1, 1, 0},
                                           CapacityCase{4095, 4095, 8190, 1},
                                           CapacityCase{4095, 4095, 8189, 0},
                                           CapacityCase{16383, 10, kMaxValues, 1},
                                           CapacityCase{16383, 10, kMaxValues - 1, 0}));

}  // namespace
}  // namespace qx318::test
