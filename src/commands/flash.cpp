#include "commands/flash.h"

#include "protocol/frame.h"
#include "protocol/work_buffer.h"

namespace qx318 {

int32_t ConfirmFlash(PortHandle port, int32_t address, int32_t command, uint8_t action) {
  // Room for the longest answer a frame can declare, so that any answer is
  // read whole and checked, and only its first byte decides.
  WorkBuffer confirmation(kMaxFrameData);
  if (!confirmation) return 0;
  uint8_t *buffer = confirmation.data();
  buffer[0] = action;
  uint32_t length = 0;
  if (!Exchange(port, address, command, buffer, 1, buffer,
                static_cast<uint32_t>(confirmation.size()), &length)) {
    return 0;
  }
  // With no data bytes, position 0 holds the first length byte, whose low 7
  // bits are 0 and so never equal an action byte.
  return buffer[0] == action ? 1 : 0;
}

}  // namespace qx318
