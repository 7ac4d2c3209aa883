// The request every command puts on the wire, byte for byte, for a range of
// addresses and parameter codes. The device does not answer here: answered
// commands then fail, which does not matter for what was sent.
#include <functional>
#include <string>

#include "command_fixture.h"
#include "param_name.h"

namespace qx318::test {
namespace {

struct RequestCase {
  std::string name;
  std::function<void(PortHandle)> call;
  Bytes expected;
};

void PrintTo(const RequestCase &c, std::ostream *os) { *os << c.name; }

Bytes WriteData(uint8_t number, std::initializer_list<uint8_t> groups) {
  Bytes data{number};
  for (uint8_t group : groups) data.push_back(group);
  return data;
}

std::vector<RequestCase> RequestCases() {
  return {
      {"HelloAddress1",
       [](PortHandle p) {
         HelloAnswer a{};
         QX318_HelloCmd(p, 1, &a);
       },
       {0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}},
      {"HelloAddress33IsAddress1",
       [](PortHandle p) {
         HelloAnswer a{};
         QX318_HelloCmd(p, 33, &a);
       },
       {0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}},
      {"HelloAddressMinus1Is31",
       [](PortHandle p) {
         HelloAnswer a{};
         QX318_HelloCmd(p, -1, &a);
       },
       ExpectedRequest(31, 1)},
      {"ReadParameter0x0205Address3",
       [](PortHandle p) {
         uint16_t v = 0;
         QX318_ReadParameter(p, 3, 0x0205, &v);
       },
       {0x03, 0x81, 0x80, 0x82, 0x85, 0xC1, 0xC7, 0x81}},
      {"ReadParameterSendsOnlyTheNumber",
       [](PortHandle p) {
         uint16_t v = 0;
         QX318_ReadParameter(p, 17, 0x0B2A, &v);
       },
       ExpectedRequest(17, 2, {0x2A})},
      // A parameter number with bit 7 set: the marker replaces it on the wire,
      // the CRC covers the byte as given.
      {"ReadParameterNumberWithBit7",
       [](PortHandle p) {
         uint16_t v = 0;
         QX318_ReadParameter(p, 4, 0x02C5, &v);
       },
       ExpectedRequest(4, 2, {0xC5})},
      {"WriteParameter300Code0x0205Address1",
       [](PortHandle p) { QX318_WriteParameter(p, 1, 0x0205, 300); },
       {0x01, 0x83, 0x80, 0x83, 0x85, 0xAC, 0x82, 0x8D, 0x89, 0x81}},
      {"WriteParameterGroupCount0SendsOnlyTheNumber",
       [](PortHandle p) { QX318_WriteParameter(p, 2, 0x0007, 0x1234); },
       ExpectedRequest(2, 3, {0x07})},
      {"WriteParameterOneGroupKeepsLow7Bits",
       [](PortHandle p) { QX318_WriteParameter(p, 2, 0x0105, 0x0FFF); },
       ExpectedRequest(2, 3, WriteData(0x05, {0x7F}))},
      {"WriteParameterThreeGroupsCarry16Bits",
       [](PortHandle p) { QX318_WriteParameter(p, 9, 0x0305, 0xFFFF); },
       ExpectedRequest(9, 3, WriteData(0x05, {0x7F, 0x7F, 0x03}))},
      {"WriteParameterElevenGroupsFillTheDataArea",
       [](PortHandle p) { QX318_WriteParameter(p, 9, 0x0B05, 0xFFFF); },
       ExpectedRequest(9, 3, WriteData(0x05, {0x7F, 0x7F, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}))},
      {"WriteParameterTwelveGroupsAreSentAsEleven",
       [](PortHandle p) { QX318_WriteParameter(p, 9, 0x0C05, 0xFFFF); },
       ExpectedRequest(9, 3, WriteData(0x05, {0x7F, 0x7F, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}))},
      {"WriteParameter255GroupsAreSentAsEleven",
       [](PortHandle p) { QX318_WriteParameter(p, 9, 0xFF05, 0x8001); },
       ExpectedRequest(9, 3, WriteData(0x05, {0x01, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}))},
      {"FlushParamsAddress0",
       [](PortHandle p) { QX318_FlushParamsToFlash(p, 0); },
       {0x00, 0x81, 0x80, 0x84, 0xD5, 0xC2, 0xFF, 0x83}},
      {"RestoreParamsAddress0", [](PortHandle p) { QX318_RestoreParamsFromFlash(p, 0); },
       ExpectedRequest(0, 4, {0x33})},
      {"GetMeasureAddress2",
       [](PortHandle p) {
         MeasureHeader h{};
         uint16_t values[4] = {};
         QX318_GetMeasure(p, 2, &h, values);
       },
       ExpectedRequest(2, 5)},
      {"GetMeasureExAddress2",
       [](PortHandle p) {
         MeasureHeader h{};
         uint16_t values[4] = {};
         QX318_GetMeasureEx(p, 2, &h, values, 4);
       },
       ExpectedRequest(2, 5)},
      {"LockResultAddress7", [](PortHandle p) { QX318_LockResult(p, 7); }, ExpectedRequest(7, 9)},
      {"GetImageAddress30",
       [](PortHandle p) {
         ImageHeader h{};
         uint8_t pixels[4] = {};
         QX318_GetImage(p, 30, &h, pixels);
       },
       ExpectedRequest(30, 6)},
      {"GetImageExAddress30",
       [](PortHandle p) {
         ImageHeader h{};
         uint8_t pixels[4] = {};
         QX318_GetImageEx(p, 30, &h, pixels, 4);
       },
       ExpectedRequest(30, 6)},
      {"RotateAxisXYAddress1",
       [](PortHandle p) {
         int32_t v = 0;
         QX318_RotateAxisXY(p, 1, &v);
       },
       {0x01, 0x80, 0x80, 0x8A, 0x80, 0x8F, 0x80}},
      {"GetRotateAngleAddress1",
       [](PortHandle p) {
         int32_t v = 0;
         QX318_GetRotateAngle(p, 1, &v);
       },
       {0x01, 0x80, 0x80, 0x8B, 0xC1, 0x8E, 0x83}},
      {"FlushAngleAddress1",
       [](PortHandle p) { QX318_FlushAngleToFlash(p, 1); },
       {0x01, 0x81, 0x80, 0x8C, 0xD5, 0xC5, 0xFF, 0x80}},
      {"RestoreAngleAddress63IsAddress31", [](PortHandle p) { QX318_RestoreAngleFromFlash(p, 63); },
       ExpectedRequest(31, 12, {0x33})},
  };
}

class RequestFrameTest : public CommandTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestFrameTest, SendsExactlyOneFrameOfTheseBytes) {
  GetParam().call(port());
  ASSERT_EQ(Writes().size(), 1u);
  EXPECT_EQ(Writes()[0], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, RequestFrameTest, ::testing::ValuesIn(RequestCases()),
                         test::ParamName());

}  // namespace
}  // namespace qx318::test
