// The request encoder, apart from the frame I/O in frame.cpp: it needs only
// the CRC and the group code, so the simulator encodes with it too.
#include "protocol/crc.h"
#include "protocol/frame.h"
#include "protocol/groups.h"

namespace qx318 {
namespace {

constexpr uint32_t kLengthGroups = 2;

uint16_t RequestCrc(uint8_t command, const uint8_t *data, uint32_t count) {
  uint16_t crc = 0;
  (void)UpdateCrc16(&crc, &command, 1);
  if (data != nullptr) (void)UpdateCrc16(&crc, data, count);
  return crc;
}

}  // namespace

bool EncodeRequestFrame(int32_t address, int32_t command, const uint8_t *data, uint32_t count,
                        uint8_t *out) {
  if (out == nullptr || count > kMaxFrameData || (data == nullptr && count != 0)) return false;
  const auto command_byte = static_cast<uint8_t>(command);
  out[0] = static_cast<uint8_t>(static_cast<uint32_t>(address) & kAddressMask);
  EncodeMarkedGroups(count, kLengthGroups, out + 1);
  out[3] = static_cast<uint8_t>(command_byte | kMarker);
  for (uint32_t i = 0; i < count; ++i) out[4 + i] = static_cast<uint8_t>(data[i] | kMarker);
  EncodeMarkedGroups(RequestCrc(command_byte, data, count), kCrcGroups, out + 4 + count);
  return true;
}

}  // namespace qx318
