#include "commands/flash.h"
#include "diagnostics/exported_call.h"
#include "protocol/command_codes.h"
#include "protocol/frame.h"
#include "protocol/groups.h"

using namespace qx318;

namespace {

constexpr uint32_t kValueAnswerLength = 5;
// An answer that declares more data bytes than this fails before its data is
// read; a shorter one of the wrong length is read whole and then refused.
constexpr uint32_t kValueLongestAnswer = 1024;

bool ExchangeValue(PortHandle port, int32_t address, int32_t command, int32_t *value_out) {
  if (value_out == nullptr) return Fail(QX318_FAIL_NULL_ARGUMENT, "value_out is null");
  uint8_t answer[kValueLongestAnswer] = {};
  uint32_t length = 0;
  if (!Exchange(port, address, command, nullptr, 0, answer, sizeof answer, &length)) return false;
  if (!ExpectLength(length, kValueAnswerLength)) return false;
  // Five groups assembled in 32 bits: the top 3 bits of the fifth fall off.
  *value_out = static_cast<int32_t>(DecodeGroups(answer, kValueAnswerLength));
  return true;
}

int32_t ReadValue(PortHandle port, int32_t address, int32_t command, int32_t *value_out) {
  ExportedCall call(port);
  return call.Finish(ExchangeValue(port, address, command, value_out));
}

}  // namespace

extern "C" QX318_API int32_t QX318_CALL QX318_RotateAxisXY(PortHandle port, int32_t address,
                                                           int32_t *value_out) {
  return ReadValue(port, address, CMD_ROTATE_AXIS_XY, value_out);
}

extern "C" QX318_API int32_t QX318_CALL QX318_GetRotateAngle(PortHandle port, int32_t address,
                                                             int32_t *value_out) {
  return ReadValue(port, address, CMD_GET_ROTATE_ANGLE, value_out);
}

extern "C" QX318_API int32_t QX318_CALL QX318_FlushAngleToFlash(PortHandle port, int32_t address) {
  ExportedCall call(port);
  return call.Finish(ConfirmFlash(port, address, CMD_ANGLE_FLASH, FLASH_SAVE));
}

extern "C" QX318_API int32_t QX318_CALL QX318_RestoreAngleFromFlash(PortHandle port,
                                                                    int32_t address) {
  ExportedCall call(port);
  return call.Finish(ConfirmFlash(port, address, CMD_ANGLE_FLASH, FLASH_RESTORE));
}
