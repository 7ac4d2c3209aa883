#include "commands/flash.h"

#include "diagnostics/failure.h"
#include "protocol/frame.h"
#include "protocol/work_buffer.h"

namespace qx318 {

bool ConfirmFlash(PortHandle port, int32_t address, int32_t command, uint8_t action) {
  // Room for the longest answer a frame can declare, so that any answer is
  // read whole and checked, and only its first byte decides.
  WorkBuffer confirmation(kMaxFrameData);
  if (!confirmation) {
    return Fail(QX318_FAIL_NO_MEMORY, "confirmation buffer of %u bytes", kMaxFrameData);
  }
  uint8_t *buffer = confirmation.data();
  buffer[0] = action;
  uint32_t length = 0;
  if (!Exchange(port, address, command, buffer, 1, buffer,
                static_cast<uint32_t>(confirmation.size()), &length)) {
    return false;
  }
  // With no data bytes, position 0 holds the first length byte, whose low 7
  // bits are 0 and so never equal an action byte.
  if (buffer[0] == action) return true;
  if (length == 0) {
    return Fail(QX318_FAIL_FLASH_NOT_CONFIRMED, "answer without data bytes, expected 0x%02X",
                action);
  }
  return Fail(QX318_FAIL_FLASH_NOT_CONFIRMED, "confirmation byte 0x%02X, expected 0x%02X",
              buffer[0], action);
}

}  // namespace qx318
