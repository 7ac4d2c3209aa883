// Every exported command, callable through one signature, for tests that
// put each of them through the same situation (a refused handle, a device
// that stops, several threads). Each call brings its own outputs, with room
// for anything the device may announce.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "QX318_RS485.h"

namespace qx318::test {

struct CommandCall {
  std::string name;
  uint8_t code;       // the command code of its request
  bool reads_answer;  // false: the request is all there is
  std::function<int32_t(PortHandle port, int32_t address)> call;
};

inline void PrintTo(const CommandCall &command, std::ostream *out) { *out << command.name; }

inline std::vector<CommandCall> EveryCommand() {
  constexpr uint32_t kLargestImage = 16383;  // one row of the longest row length
  return {
      {"Hello", 1, true,
       [](PortHandle p, int32_t a) {
         HelloAnswer answer{};
         return QX318_HelloCmd(p, a, &answer);
       }},
      {"ReadParameter", 2, true,
       [](PortHandle p, int32_t a) {
         uint16_t value = 0;
         return QX318_ReadParameter(p, a, 0x0205, &value);
       }},
      {"WriteParameter", 3, false,
       [](PortHandle p, int32_t a) { return QX318_WriteParameter(p, a, 0x0205, 300); }},
      {"FlushParamsToFlash", 4, true,
       [](PortHandle p, int32_t a) { return QX318_FlushParamsToFlash(p, a); }},
      {"RestoreParamsFromFlash", 4, true,
       [](PortHandle p, int32_t a) { return QX318_RestoreParamsFromFlash(p, a); }},
      {"GetMeasure", 5, true,
       [](PortHandle p, int32_t a) {
         MeasureHeader header{};
         std::vector<uint16_t> values(2u * 16383u);
         return QX318_GetMeasure(p, a, &header, values.data());
       }},
      {"GetMeasureEx", 5, true,
       [](PortHandle p, int32_t a) {
         MeasureHeader header{};
         std::vector<uint16_t> values(2u * 16383u);
         return QX318_GetMeasureEx(p, a, &header, values.data(),
                                   static_cast<uint32_t>(values.size()));
       }},
      {"LockResult", 9, false, [](PortHandle p, int32_t a) { return QX318_LockResult(p, a); }},
      {"GetImage", 6, true,
       [](PortHandle p, int32_t a) {
         ImageHeader header{};
         std::vector<uint8_t> pixels(kLargestImage);
         return QX318_GetImage(p, a, &header, pixels.data());
       }},
      {"GetImageEx", 6, true,
       [](PortHandle p, int32_t a) {
         ImageHeader header{};
         std::vector<uint8_t> pixels(kLargestImage);
         return QX318_GetImageEx(p, a, &header, pixels.data(), kLargestImage);
       }},
      {"RotateAxisXY", 10, true,
       [](PortHandle p, int32_t a) {
         int32_t value = 0;
         return QX318_RotateAxisXY(p, a, &value);
       }},
      {"GetRotateAngle", 11, true,
       [](PortHandle p, int32_t a) {
         int32_t value = 0;
         return QX318_GetRotateAngle(p, a, &value);
       }},
      {"FlushAngleToFlash", 12, true,
       [](PortHandle p, int32_t a) { return QX318_FlushAngleToFlash(p, a); }},
      {"RestoreAngleFromFlash", 12, true,
       [](PortHandle p, int32_t a) { return QX318_RestoreAngleFromFlash(p, a); }},
  };
}

}  // namespace qx318::test
