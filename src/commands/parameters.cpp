#include "commands/flash.h"
#include "diagnostics/exported_call.h"
#include "protocol/command_codes.h"
#include "protocol/frame.h"
#include "protocol/groups.h"

using namespace qx318;

namespace {

// A read answer that declares more data bytes than this fails before its
// data is read.
constexpr uint32_t kReadParameterLongestAnswer = 128;
// The parameter number and up to 11 value groups.
constexpr uint32_t kWriteDataSize = 12;
constexpr uint32_t kMaxWriteGroups = kWriteDataSize - 1;

uint8_t ParameterNumber(ParameterCode code) { return static_cast<uint8_t>(code & 0xFF); }
uint32_t GroupCount(ParameterCode code) { return static_cast<uint32_t>(code >> 8); }

bool ReadParameter(PortHandle port, int32_t address, ParameterCode code, uint16_t *value_out) {
  if (value_out == nullptr) return Fail(QX318_FAIL_NULL_ARGUMENT, "value_out is null");
  const uint8_t number = ParameterNumber(code);
  uint8_t answer[kReadParameterLongestAnswer] = {};
  uint32_t length = 0;
  if (!Exchange(port, address, CMD_READ_PARAMETER, &number, 1, answer, sizeof answer, &length)) {
    return false;
  }
  if (!ExpectLength(length, GroupCount(code))) return false;
  // Groups beyond the 16-bit value are read but carry nothing of it.
  *value_out = static_cast<uint16_t>(DecodeGroups(answer, length));
  return true;
}

}  // namespace

extern "C" QX318_API int32_t QX318_CALL QX318_ReadParameter(PortHandle port, int32_t address,
                                                            ParameterCode code,
                                                            uint16_t *value_out) {
  ExportedCall call(port);
  return call.Finish(ReadParameter(port, address, code, value_out));
}

extern "C" QX318_API int32_t QX318_CALL QX318_WriteParameter(PortHandle port, int32_t address,
                                                             ParameterCode code, uint16_t value) {
  // Group counts above 11 would overrun the 12-byte data area: they are sent
  // as 11 groups. Groups past the third are 0, since the value has 16 bits.
  uint32_t groups = GroupCount(code);
  if (groups > kMaxWriteGroups) groups = kMaxWriteGroups;
  uint8_t data[kWriteDataSize] = {};
  data[0] = ParameterNumber(code);
  for (uint32_t i = 0; i < groups; ++i) data[1 + i] = Group(value, i);
  ExportedCall call(port);
  return call.Finish(SendRequest(port, address, CMD_WRITE_PARAMETER, data, groups + 1));
}

extern "C" QX318_API int32_t QX318_CALL QX318_FlushParamsToFlash(PortHandle port, int32_t address) {
  ExportedCall call(port);
  return call.Finish(ConfirmFlash(port, address, CMD_PARAMS_FLASH, FLASH_SAVE));
}

extern "C" QX318_API int32_t QX318_CALL QX318_RestoreParamsFromFlash(PortHandle port,
                                                                     int32_t address) {
  ExportedCall call(port);
  return call.Finish(ConfirmFlash(port, address, CMD_PARAMS_FLASH, FLASH_RESTORE));
}
