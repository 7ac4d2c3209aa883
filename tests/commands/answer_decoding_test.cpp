// How the answered commands turn answer data into the caller's values, and
// which answer lengths each of them accepts.
#include <array>
#include <cstring>
#include <functional>
#include <string>

#include "command_fixture.h"
#include "param_name.h"

namespace qx318::test {
namespace {

// ReadParameter: groups assembled least significant first in 32 bits; the
// caller gets the low 16 bits.
struct ReadParameterCase {
  std::string name;
  ParameterCode code;
  Bytes data;
  uint16_t expected;
};

void PrintTo(const ReadParameterCase &c, std::ostream *os) { *os << c.name; }

class ReadParameterDecodingTest : public CommandTest,
                                  public ::testing::WithParamInterface<ReadParameterCase> {};

TEST_P(ReadParameterDecodingTest, StoresTheAssembledValue) {
  AnswerData(GetParam().data);
  uint16_t value = 0xBEEF;
  ASSERT_EQ(QX318_ReadParameter(port(), 3, GetParam().code, &value), 1);
  EXPECT_EQ(value, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ReadParameterDecodingTest,
    ::testing::Values(
        ReadParameterCase{"TwoGroups300", 0x0205, {0x2C, 0x02}, 300},
        ReadParameterCase{"TwoGroupsMax", 0x0205, {0x7F, 0x7F}, 16383},
        ReadParameterCase{"OneGroup", 0x0105, {0x7F}, 127},
        ReadParameterCase{"ThreeGroupsDropBitsAbove15", 0x0305, {0x7F, 0x7F, 0x7F}, 0xFFFF},
        ReadParameterCase{"ThreeGroupsBit15", 0x0305, {0x00, 0x00, 0x02}, 0x8000},
        ReadParameterCase{"ZeroGroupsIsZero", 0x0005, {}, 0},
        ReadParameterCase{
            "FiveGroupsKeepLow16Bits", 0x0505, {0x01, 0x00, 0x04, 0x7F, 0x0F}, 0x0001},
        ReadParameterCase{
            "SixthGroupCarriesNothing", 0x0605, {0x05, 0x01, 0x00, 0x00, 0x00, 0x7F}, 0x0085}),
    test::ParamName());

// The rotation value: five groups in 32 bits, stored as two's complement.
struct RotationCase {
  std::string name;
  Bytes data;
  uint32_t expected;
};

void PrintTo(const RotationCase &c, std::ostream *os) { *os << c.name; }

using RotationCall = int32_t(QX318_CALL *)(PortHandle, int32_t, int32_t *);

class RotationDecodingTest
    : public CommandTest,
      public ::testing::WithParamInterface<std::tuple<RotationCall, RotationCase>> {};

TEST_P(RotationDecodingTest, StoresThe32AssembledBits) {
  const auto &[call, c] = GetParam();
  AnswerData(c.data);
  int32_t value = 0x5A5A5A5A;
  ASSERT_EQ(call(port(), 1, &value), 1);
  EXPECT_EQ(static_cast<uint32_t>(value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RotationDecodingTest,
    ::testing::Combine(
        ::testing::Values(&QX318_RotateAxisXY, &QX318_GetRotateAngle),
        ::testing::Values(
            RotationCase{"Value12345678", {0x78, 0x2C, 0x51, 0x11, 0x01}, 0x12345678u},
            RotationCase{"AllOnesFifthGroup0F", {0x7F, 0x7F, 0x7F, 0x7F, 0x0F}, 0xFFFFFFFFu},
            RotationCase{"TopBitsOfFifthGroupFallOff", {0x7F, 0x7F, 0x7F, 0x7F, 0x7F}, 0xFFFFFFFFu},
            RotationCase{"Bit31", {0x00, 0x00, 0x00, 0x00, 0x08}, 0x80000000u},
            RotationCase{"Bit32IsDropped", {0x00, 0x00, 0x00, 0x00, 0x10}, 0u},
            RotationCase{"EachGroupAtItsShift",
                         {0x01, 0x02, 0x03, 0x04, 0x05},
                         0x01u | 0x02u << 7 | 0x03u << 14 | 0x04u << 21 | 0x05u << 28})),
    [](const auto &case_info) {
      return std::string(std::get<0>(case_info.param) == &QX318_RotateAxisXY ? "Rotate" : "Angle") +
             std::get<1>(case_info.param).name;
    });

// Hello: seven fields, each from its own groups (2, 1, 4, 2, 2, 2, 2 in data
// order); offset 3 of the record is never written.
struct HelloCase {
  std::string name;
  Bytes data;
  std::array<uint32_t, 7> expected;  // value1 to value7
};

void PrintTo(const HelloCase &c, std::ostream *os) { *os << c.name; }

class HelloDecodingTest : public CommandTest, public ::testing::WithParamInterface<HelloCase> {};

TEST_P(HelloDecodingTest, EachFieldFromItsOwnGroups) {
  AnswerData(GetParam().data);
  HelloAnswer answer;
  std::memset(&answer, 0xA5, sizeof answer);
  ASSERT_EQ(QX318_HelloCmd(port(), 1, &answer), 1);
  const std::array<uint32_t, 7> &expected = GetParam().expected;
  EXPECT_EQ(answer.value1, expected[0]);
  EXPECT_EQ(answer.value2, expected[1]);
  EXPECT_EQ(answer.unused3, 0xA5) << "byte 3 belongs to the caller";
  EXPECT_EQ(answer.value3, expected[2]);
  EXPECT_EQ(answer.value4, expected[3]);
  EXPECT_EQ(answer.value5, expected[4]);
  EXPECT_EQ(answer.value6, expected[5]);
  EXPECT_EQ(answer.value7, expected[6]);
}

Bytes OnlyByte2(uint8_t value) {
  Bytes data(15, 0);
  data[2] = value;
  return data;
}

INSTANTIATE_TEST_SUITE_P(
    Values, HelloDecodingTest,
    ::testing::Values(HelloCase{"DistinctFieldValues",
                                {0x7F, 0x7F,              // value1: 16383
                                 0x2A,                    // value2
                                 0x7F, 0x7F, 0x7F, 0x7F,  // value3: 0x0FFFFFFF
                                 0x01, 0x01,              // value4: 129
                                 0x00, 0x40,              // value5: 0x2000
                                 0x55, 0x00,              // value6: 0x55
                                 0x00, 0x01},             // value7: 128
                                {16383, 0x2A, 0x0FFFFFFF, 129, 0x2000, 0x55, 128}},
                      HelloCase{"EveryByteDistinct",
                                {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                {1 | 2 << 7, 3, 4 | 5 << 7 | 6 << 14 | 7 << 21, 8 | 9 << 7,
                                 10 | 11 << 7, 12 | 13 << 7, 14 | 15 << 7}},
                      HelloCase{"AllZero", Bytes(15, 0), {0, 0, 0, 0, 0, 0, 0}},
                      HelloCase{"MaximaOfEveryField",
                                Bytes(15, 0x7F),
                                {16383, 0x7F, 0x0FFFFFFF, 16383, 16383, 16383, 16383}},
                      HelloCase{"HighGroupsOnly",
                                {0, 0x7F, 0x40, 0, 0, 0, 0x7F, 0, 0x7F, 0, 0x7F, 0, 0x7F, 0, 0x7F},
                                {0x7F << 7, 0x40, 0x7F << 21, 0x7F << 7, 0x7F << 7, 0x7F << 7,
                                 0x7F << 7}},
                      HelloCase{"LowGroupsOnly",
                                {0x7F, 0, 0x01, 0x7F, 0, 0, 0, 0x7F, 0, 0x7F, 0, 0x7F, 0, 0x7F, 0},
                                {0x7F, 0x01, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F}},
                      HelloCase{"Value2IsDataByte2", OnlyByte2(0x2A), {0, 0x2A, 0, 0, 0, 0, 0}}),
    test::ParamName());

// Length checks: each answered command accepts exactly one answer length (and
// an answer that declares more than its buffer fails without being stored).
struct LengthCase {
  std::string name;
  // Runs the command; returns its result and whether the output changed.
  std::function<std::pair<int32_t, bool>(PortHandle)> call;
  size_t answer_length;
  int32_t expected;
};

void PrintTo(const LengthCase &c, std::ostream *os) { *os << c.name; }

std::pair<int32_t, bool> Hello(PortHandle port) {
  HelloAnswer before;
  std::memset(&before, 0xA5, sizeof before);
  HelloAnswer after = before;
  const int32_t result = QX318_HelloCmd(port, 1, &after);
  return {result, std::memcmp(&before, &after, sizeof before) != 0};
}

std::function<std::pair<int32_t, bool>(PortHandle)> ReadParameter(ParameterCode code) {
  return [code](PortHandle port) {
    uint16_t value = 0xBEEF;
    const int32_t result = QX318_ReadParameter(port, 1, code, &value);
    return std::pair{result, value != 0xBEEF};
  };
}

std::function<std::pair<int32_t, bool>(PortHandle)> Rotation(RotationCall call) {
  return [call](PortHandle port) {
    int32_t value = 0x5A5A5A5A;
    const int32_t result = call(port, 1, &value);
    return std::pair{result, value != 0x5A5A5A5A};
  };
}

std::vector<LengthCase> LengthCases() {
  std::vector<LengthCase> cases = {
      {"Hello0", Hello, 0, 0},
      {"Hello14", Hello, 14, 0},
      {"Hello15", Hello, 15, 1},
      {"Hello16", Hello, 16, 0},
      {"Hello128AsLargeAsItsBuffer", Hello, 128, 0},
      {"Hello129MoreThanItsBuffer", Hello, 129, 0},
      {"Read0x0205With1", ReadParameter(0x0205), 1, 0},
      {"Read0x0205With2", ReadParameter(0x0205), 2, 1},
      {"Read0x0205With3", ReadParameter(0x0205), 3, 0},
      {"Read0x0305With2", ReadParameter(0x0305), 2, 0},
      {"Read0x0305With3", ReadParameter(0x0305), 3, 1},
      {"Read0x0305With4", ReadParameter(0x0305), 4, 0},
      {"Read0x0005With0", ReadParameter(0x0005), 0, 1},
      {"Read0x0005With1", ReadParameter(0x0005), 1, 0},
      {"Read0x8005With128FillsItsBuffer", ReadParameter(0x8005), 128, 1},
      {"Read0xC805With200MoreThanItsBuffer", ReadParameter(0xC805), 200, 0},
  };
  for (auto [name, call] :
       {std::pair{"Rotate", &QX318_RotateAxisXY}, std::pair{"Angle", &QX318_GetRotateAngle}}) {
    for (auto [length, expected] :
         {std::pair<size_t, int32_t>{0, 0}, {4, 0}, {5, 1}, {6, 0}, {1024, 0}, {1025, 0}}) {
      cases.push_back(
          {std::string(name) + std::to_string(length), Rotation(call), length, expected});
    }
  }
  return cases;
}

class LengthCheckTest : public CommandTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(LengthCheckTest, AcceptsOnlyItsLengthAndStoresNothingOtherwise) {
  // Data bytes of 0x11 change every output they are decoded into.
  AnswerData(Bytes(GetParam().answer_length, 0x11));
  const auto [result, output_changed] = GetParam().call(port());
  EXPECT_EQ(result, GetParam().expected);
  EXPECT_EQ(output_changed, GetParam().expected == 1);
}

INSTANTIATE_TEST_SUITE_P(AnsweredCommands, LengthCheckTest, ::testing::ValuesIn(LengthCases()),
                         test::ParamName());

// A broken answer fails every answered command and stores nothing; so does
// a good answer to a request that did not leave whole.
struct BrokenAnswer {
  std::string name;
  std::function<Bytes(const Bytes &good)> corrupt;
  void (*arrange)(fake::FakeConverter &) = nullptr;
};

void PrintTo(const BrokenAnswer &c, std::ostream *os) { *os << c.name; }

std::vector<BrokenAnswer> BrokenAnswers() {
  return {
      {"NoAnswer", [](const Bytes &) { return Bytes{}; }},
      {"OnlyMarkerBytes", [](const Bytes &) { return Bytes(40, 0x80); }},
      {"LastCrcByteMissing", [](const Bytes &wire) { return CutShort(wire); }},
      {"LastDataByteMissing",
       [](Bytes wire) {
         wire.erase(wire.end() - 4);
         return wire;
       }},
      {"DataByteChanged",
       [](Bytes wire) {
         wire[3] ^= 0x01;
         return wire;
       }},
      {"CrcChanged", [](const Bytes &wire) { return WithCrcGroupFlipped(wire, 0); }},
      {"ThirdCrcGroupChanged", [](const Bytes &wire) { return WithCrcGroupFlipped(wire, 2); }},
      {"RequestCutShort", [](const Bytes &wire) { return wire; },
       [](fake::FakeConverter &c) { c.ShortCount(fake::Op::kWriteFile, 6); }},
  };
}

class BrokenAnswerTest
    : public CommandTest,
      public ::testing::WithParamInterface<std::tuple<LengthCase, BrokenAnswer>> {};

TEST_P(BrokenAnswerTest, FailsAndStoresNothing) {
  const auto &[command, broken] = GetParam();
  if (broken.arrange != nullptr) broken.arrange(converter_);
  Answer(broken.corrupt(AnswerFrame(Bytes(command.answer_length, 0x11))));
  const auto [result, output_changed] = command.call(port());
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(output_changed);
}

INSTANTIATE_TEST_SUITE_P(
    AnsweredCommands, BrokenAnswerTest,
    ::testing::Combine(::testing::Values(LengthCase{"Hello", Hello, 15, 1},
                                         LengthCase{"Read0x0305", ReadParameter(0x0305), 3, 1},
                                         LengthCase{"Rotate", Rotation(&QX318_RotateAxisXY), 5, 1},
                                         LengthCase{"Angle", Rotation(&QX318_GetRotateAngle), 5,
                                                    1}),
                       ::testing::ValuesIn(BrokenAnswers())),
    [](const auto &case_info) {
      return std::get<0>(case_info.param).name + std::get<1>(case_info.param).name;
    });

// The answer frame's edges, seen through a command.
TEST_F(CommandTest, NoiseBeforeTheStartByteIsSkippedAndTheStartByteValueIgnored) {
  Answer(Concat({{0xFF, 0x80, 0xC3}, AnswerFrame({0x78, 0x2C, 0x51, 0x11, 0x01}, 0x5A)}));
  int32_t value = 0;
  ASSERT_EQ(QX318_GetRotateAngle(port(), 1, &value), 1);
  EXPECT_EQ(value, 0x12345678);
}

TEST_F(CommandTest, CrcBitsAbove15InTheThirdGroupAreNotCompared) {
  Bytes wire = AnswerFrame({0x2C, 0x02});
  wire.back() = static_cast<uint8_t>(wire.back() | 0x7C);
  Answer(wire);
  uint16_t value = 0;
  ASSERT_EQ(QX318_ReadParameter(port(), 1, 0x0205, &value), 1);
  EXPECT_EQ(value, 300);
}

}  // namespace
}  // namespace qx318::test
