// Calls that must fail before or right after the request: a null output
// makes no converter call at all, and an answered command whose request did
// not leave in full never waits for an answer.
#include <string>

#include "command_fixture.h"
#include "param_name.h"

namespace qx318::test {
namespace {

struct CommandCall {
  std::string name;
  int32_t (*call)(PortHandle);
};

void PrintTo(const CommandCall &c, std::ostream *os) { *os << c.name; }

HelloAnswer g_hello;
uint16_t g_value16;
int32_t g_value32;
MeasureHeader g_measure_header;
uint16_t g_values[8];
ImageHeader g_image_header;
uint8_t g_pixels[8];

const CommandCall kNullOutputs[] = {
    {"HelloNullAnswer", [](PortHandle p) { return QX318_HelloCmd(p, 1, nullptr); }},
    {"ReadParameterNullValue",
     [](PortHandle p) { return QX318_ReadParameter(p, 1, 0x0205, nullptr); }},
    {"GetMeasureNullHeader",
     [](PortHandle p) { return QX318_GetMeasure(p, 1, nullptr, g_values); }},
    {"GetMeasureNullValues",
     [](PortHandle p) { return QX318_GetMeasure(p, 1, &g_measure_header, nullptr); }},
    {"GetMeasureExNullHeader",
     [](PortHandle p) { return QX318_GetMeasureEx(p, 1, nullptr, g_values, 8); }},
    {"GetMeasureExNullValues",
     [](PortHandle p) { return QX318_GetMeasureEx(p, 1, &g_measure_header, nullptr, 8); }},
    {"GetImageNullHeader", [](PortHandle p) { return QX318_GetImage(p, 1, nullptr, g_pixels); }},
    {"GetImageNullPixels",
     [](PortHandle p) { return QX318_GetImage(p, 1, &g_image_header, nullptr); }},
    {"GetImageExNullHeader",
     [](PortHandle p) { return QX318_GetImageEx(p, 1, nullptr, g_pixels, 8); }},
    {"GetImageExNullPixels",
     [](PortHandle p) { return QX318_GetImageEx(p, 1, &g_image_header, nullptr, 8); }},
    {"RotateAxisXYNullValue", [](PortHandle p) { return QX318_RotateAxisXY(p, 1, nullptr); }},
    {"GetRotateAngleNullValue", [](PortHandle p) { return QX318_GetRotateAngle(p, 1, nullptr); }},
};

class NullOutputTest : public CommandTest, public ::testing::WithParamInterface<CommandCall> {};

TEST_P(NullOutputTest, FailsWithoutAnyConverterCall) {
  AnswerData({0x01, 0x02, 0x03, 0x04, 0x05});
  EXPECT_EQ(GetParam().call(port()), 0);
  EXPECT_TRUE(converter_.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryOutput, NullOutputTest, ::testing::ValuesIn(kNullOutputs),
                         test::ParamName());

const CommandCall kAnsweredCommands[] = {
    {"Hello", [](PortHandle p) { return QX318_HelloCmd(p, 1, &g_hello); }},
    {"ReadParameter", [](PortHandle p) { return QX318_ReadParameter(p, 1, 0x0005, &g_value16); }},
    {"FlushParams", [](PortHandle p) { return QX318_FlushParamsToFlash(p, 1); }},
    {"RestoreParams", [](PortHandle p) { return QX318_RestoreParamsFromFlash(p, 1); }},
    {"GetMeasure",
     [](PortHandle p) { return QX318_GetMeasure(p, 1, &g_measure_header, g_values); }},
    {"GetMeasureEx",
     [](PortHandle p) { return QX318_GetMeasureEx(p, 1, &g_measure_header, g_values, 8); }},
    {"GetImage", [](PortHandle p) { return QX318_GetImage(p, 1, &g_image_header, g_pixels); }},
    {"GetImageEx",
     [](PortHandle p) { return QX318_GetImageEx(p, 1, &g_image_header, g_pixels, 8); }},
    {"RotateAxisXY", [](PortHandle p) { return QX318_RotateAxisXY(p, 1, &g_value32); }},
    {"GetRotateAngle", [](PortHandle p) { return QX318_GetRotateAngle(p, 1, &g_value32); }},
    {"FlushAngle", [](PortHandle p) { return QX318_FlushAngleToFlash(p, 1); }},
    {"RestoreAngle", [](PortHandle p) { return QX318_RestoreAngleFromFlash(p, 1); }},
};

class UnsentRequestTest : public CommandTest,
                          public ::testing::WithParamInterface<std::tuple<CommandCall, bool>> {};

// An answer is already waiting; a command whose request did not leave in full
// must fail without reading it.
TEST_P(UnsentRequestTest, FailsWithoutReadingTheAnswer) {
  const auto &[command, short_write] = GetParam();
  if (short_write) {
    converter_.ShortCount(fake::Op::kWriteFile, 1);
  } else {
    converter_.FailCall(fake::Op::kWriteFile);
  }
  converter_.set_purge_clears_received(false);
  converter_.AddReceivedBytes(AnswerFrame({}));
  EXPECT_EQ(command.call(port()), 0);
  EXPECT_FALSE(AnyRead());
}

INSTANTIATE_TEST_SUITE_P(EveryAnsweredCommand, UnsentRequestTest,
                         ::testing::Combine(::testing::ValuesIn(kAnsweredCommands),
                                            ::testing::Bool()),
                         [](const auto &case_info) {
                           return std::get<0>(case_info.param).name +
                                  (std::get<1>(case_info.param) ? "ShortWrite" : "FailedWrite");
                         });

}  // namespace
}  // namespace qx318::test
