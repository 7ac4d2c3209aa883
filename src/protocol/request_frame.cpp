// The request encoder, apart from the frame I/O in frame.cpp: it needs only
// the CRC and the group code, so the simulator encodes with it too.
#include "protocol/crc.h"
#include "protocol/frame.h"
#include "protocol/groups.h"

namespace qx318 {
namespace {

constexpr uint32_t kLengthGroups = 2;

// False when the CRC cannot be computed (no CRC table): a frame with a
// made-up CRC must never reach the bus.
bool RequestCrc(uint8_t command, const uint8_t *data, uint32_t count, uint16_t *crc) {
  *crc = 0;
  if (!UpdateCrc16(crc, &command, 1)) return false;
  return data == nullptr || UpdateCrc16(crc, data, count);
}

}  // namespace

bool EncodeRequestFrame(int32_t address, int32_t command, const uint8_t *data, uint32_t count,
                        uint8_t *out) {
  if (out == nullptr || count > kMaxFrameData || (data == nullptr && count != 0)) return false;
  const auto command_byte = static_cast<uint8_t>(command);
  uint16_t crc = 0;
  if (!RequestCrc(command_byte, data, count, &crc)) return false;
  out[0] = static_cast<uint8_t>(static_cast<uint32_t>(address) & kAddressMask);
  EncodeMarkedGroups(count, kLengthGroups, out + 1);
  out[3] = static_cast<uint8_t>(command_byte | kMarker);
  for (uint32_t i = 0; i < count; ++i) out[4 + i] = static_cast<uint8_t>(data[i] | kMarker);
  EncodeMarkedGroups(crc, kCrcGroups, out + 4 + count);
  return true;
}

}  // namespace qx318
