#include "protocol/frame.h"

#include "port/port.h"
#include "protocol/crc.h"
#include "protocol/groups.h"
#include "protocol/work_buffer.h"

namespace qx318 {

bool HuntStartByte(PortHandle port, uint8_t *scratch) {
  // Each read may wait only for what is left of the hunt's time, so noise
  // that trickles in just before the bound cannot stretch the hunt past it.
  const uint64_t started = MonotonicMilliseconds();
  uint64_t left_ms = kStartByteHuntLimitMs;
  for (uint32_t skipped = 0;; ++skipped) {
    if (!ReadPortWithin(port, scratch, 1, left_ms)) return false;
    if ((*scratch & kMarker) == 0) return true;
    if (skipped == kMaxSkippedNoiseBytes) return false;
    const uint64_t spent = MonotonicMilliseconds() - started;
    if (spent >= kStartByteHuntLimitMs) return false;
    left_ms = kStartByteHuntLimitMs - spent;
  }
}

bool SendRequest(PortHandle port, int32_t address, int32_t command, const uint8_t *data,
                 uint32_t count) {
  if (count > kMaxFrameData || (data == nullptr && count != 0)) return false;
  WorkBuffer frame(count + kRequestOverhead);
  if (!frame || !EncodeRequestFrame(address, command, data, count, frame.data())) return false;
  return WritePort(port, frame.data(), count + kRequestOverhead);
}

bool ReceiveAnswer(PortHandle port, uint8_t *buffer, uint32_t capacity, uint32_t *length_out) {
  if (buffer == nullptr || length_out == nullptr || capacity < 2) return false;
  if (!HuntStartByte(port, buffer)) return false;

  if (!ReadPort(port, buffer, 2)) return false;
  const uint32_t length = DecodeGroups(buffer, 2);
  if (length > capacity) {
    // Refused, but read to its end through the buffer's own room, so that
    // the rest of it is not in the way of the next exchange.
    (void)DiscardFromPort(port, uint64_t{length} + kCrcGroups, buffer, capacity);
    return false;
  }

  if (!ReadPort(port, buffer, length)) return false;
  uint8_t crc_groups[kCrcGroups] = {};
  if (!ReadPort(port, crc_groups, kCrcGroups)) return false;

  StripMarkers(buffer, length);
  uint16_t crc = 0;
  (void)UpdateCrc16(&crc, buffer, length);
  if ((DecodeGroups(crc_groups, kCrcGroups) & kCrcMask) != crc) return false;

  *length_out = length;
  return true;
}

bool Exchange(PortHandle port, int32_t address, int32_t command, const uint8_t *data,
              uint32_t count, uint8_t *buffer, uint32_t capacity, uint32_t *length_out) {
  return SendRequest(port, address, command, data, count) &&
         ReceiveAnswer(port, buffer, capacity, length_out);
}

}  // namespace qx318
