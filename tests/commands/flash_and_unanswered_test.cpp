// The flash confirmation shared by the parameter and angle commands, and the
// two commands the device never answers.
#include <string>

#include "command_fixture.h"
#include "param_name.h"

namespace qx318::test {
namespace {

struct FlashFunction {
  std::string name;
  int32_t(QX318_CALL *call)(PortHandle, int32_t);
  uint8_t action;
  uint8_t other_action;
};

void PrintTo(const FlashFunction &f, std::ostream *os) { *os << f.name; }

struct EchoCase {
  std::string name;
  // The device's answer, given the action byte of the request and the other
  // action byte.
  Bytes (*answer)(uint8_t action, uint8_t other);
  bool confirms;
};

void PrintTo(const EchoCase &c, std::ostream *os) { *os << c.name; }

constexpr uint32_t kLongestAnswer = 16383;  // what 2 length groups can declare

const EchoCase kEchoCases[] = {
    {"EchoOfTheAction", [](uint8_t a, uint8_t) { return AnswerFrame({a}); }, true},
    {"EchoThenMoreBytes",
     [](uint8_t a, uint8_t) {
       return AnswerFrame({a, 0x00});
     },
     true},
    {"TheOtherAction", [](uint8_t, uint8_t o) { return AnswerFrame({o}); }, false},
    {"TheOtherActionFirst",
     [](uint8_t a, uint8_t o) {
       return AnswerFrame({o, a});
     },
     false},
    {"ActionWithOneBitChanged",
     [](uint8_t a, uint8_t) { return AnswerFrame({static_cast<uint8_t>(a ^ 0x01)}); }, false},
    {"ZeroByte", [](uint8_t, uint8_t) { return AnswerFrame({0x00}); }, false},
    // Position 0 then holds the first length byte, never an action byte.
    {"NoDataBytes", [](uint8_t, uint8_t) { return AnswerFrame({}); }, false},
    // The longest answer a frame can declare is read whole and checked; only
    // its first byte decides (under the sanitizers this also proves that it
    // is not written past the confirmation buffer).
    {"LongestAnswerStartingWithTheEcho",
     [](uint8_t a, uint8_t) {
       Bytes data(kLongestAnswer, 0x00);
       data[0] = a;
       return AnswerFrame(data);
     },
     true},
    {"LongestAnswerWithoutTheEcho",
     [](uint8_t a, uint8_t) {
       Bytes data(kLongestAnswer, a);
       data[0] = 0x00;
       return AnswerFrame(data);
     },
     false},
    {"EchoWithBadCrc",
     [](uint8_t a, uint8_t) {
       Bytes wire = AnswerFrame({a});
       wire[wire.size() - 3] ^= 0x01;
       return wire;
     },
     false},
    {"EchoCutShort",
     [](uint8_t a, uint8_t) {
       Bytes wire = AnswerFrame({a});
       wire.pop_back();
       return wire;
     },
     false},
    {"NoAnswer", [](uint8_t, uint8_t) { return Bytes{}; }, false},
};

class FlashEchoTest : public CommandTest,
                      public ::testing::WithParamInterface<std::tuple<FlashFunction, EchoCase>> {};

TEST_P(FlashEchoTest, OnlyAnEchoOfTheActionAsFirstDataByteConfirms) {
  const auto &[function, echo] = GetParam();
  Answer(echo.answer(function.action, function.other_action));
  EXPECT_EQ(function.call(port(), 1), echo.confirms ? 1 : 0);
  EXPECT_EQ(converter_.ReceivedBytesLeft(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFlashFunction, FlashEchoTest,
    ::testing::Combine(
        ::testing::Values(FlashFunction{"FlushParams", &QX318_FlushParamsToFlash, 0x55, 0x33},
                          FlashFunction{"RestoreParams", &QX318_RestoreParamsFromFlash, 0x33, 0x55},
                          FlashFunction{"FlushAngle", &QX318_FlushAngleToFlash, 0x55, 0x33},
                          FlashFunction{"RestoreAngle", &QX318_RestoreAngleFromFlash, 0x33, 0x55}),
        ::testing::ValuesIn(kEchoCases)),
    [](const auto &case_info) {
      return std::get<0>(case_info.param).name + std::get<1>(case_info.param).name;
    });

// WriteParameter and LockResult: one write, no read; 1 only when the whole
// frame left the converter.
struct UnansweredCommand {
  std::string name;
  int32_t (*call)(PortHandle);
  size_t frame_size;
};

void PrintTo(const UnansweredCommand &c, std::ostream *os) { *os << c.name; }

const UnansweredCommand kUnanswered[] = {
    {"WriteParameter", [](PortHandle p) { return QX318_WriteParameter(p, 1, 0x0205, 300); }, 10},
    {"WriteParameterClamped", [](PortHandle p) { return QX318_WriteParameter(p, 1, 0xFF05, 300); },
     19},
    {"LockResult", [](PortHandle p) { return QX318_LockResult(p, 1); }, 7},
};

class UnansweredCommandTest : public CommandTest,
                              public ::testing::WithParamInterface<UnansweredCommand> {};

TEST_P(UnansweredCommandTest, SucceedsOnAWholeWriteWithoutReading) {
  // Even a device that does answer is not listened to.
  AnswerData({0x55});
  EXPECT_EQ(GetParam().call(port()), 1);
  ASSERT_EQ(Writes().size(), 1u);
  EXPECT_EQ(Writes()[0].size(), GetParam().frame_size);
  EXPECT_FALSE(AnyRead());
}

TEST_P(UnansweredCommandTest, FailsWhenOneByteIsNotWritten) {
  converter_.ShortCount(fake::Op::kWriteFile, static_cast<uint32_t>(GetParam().frame_size - 1));
  EXPECT_EQ(GetParam().call(port()), 0);
  EXPECT_FALSE(AnyRead());
}

TEST_P(UnansweredCommandTest, FailsWhenTheWriteFails) {
  converter_.FailCall(fake::Op::kWriteFile);
  EXPECT_EQ(GetParam().call(port()), 0);
  EXPECT_FALSE(AnyRead());
}

INSTANTIATE_TEST_SUITE_P(Commands, UnansweredCommandTest, ::testing::ValuesIn(kUnanswered),
                         test::ParamName());

}  // namespace
}  // namespace qx318::test
