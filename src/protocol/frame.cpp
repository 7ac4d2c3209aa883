#include "protocol/frame.h"

#include <algorithm>

#include "diagnostics/failure.h"
#include "diagnostics/trace.h"
#include "port/port.h"
#include "protocol/crc.h"
#include "protocol/groups.h"
#include "protocol/work_buffer.h"

namespace qx318 {

namespace {

// The rest of a refused answer on its way to nowhere: the CRC runs on over
// its data bytes and its CRC groups are kept, so that the trace can say
// whether the answer was whole. Pieces may end anywhere, a CRC group's
// middle included.
struct RestCheck {
  uint64_t data_left;
  uint16_t crc;
  uint8_t groups[kCrcGroups];
  uint32_t groups_in;

  static void OnPiece(void *context, uint8_t *bytes, uint32_t count) {
    auto &check = *static_cast<RestCheck *>(context);
    const auto data = static_cast<uint32_t>(std::min<uint64_t>(check.data_left, count));
    (void)StripMarkersAndUpdateCrc16(&check.crc, bytes, data);
    check.data_left -= data;
    for (uint32_t i = data; i < count && check.groups_in < kCrcGroups; ++i) {
      check.groups[check.groups_in++] = bytes[i];
    }
  }

  bool Matches() const { return (DecodeGroups(groups, kCrcGroups) & kCrcMask) == crc; }
};

}  // namespace

bool ReadAnswerField(PortHandle port, uint8_t *bytes, uint32_t count, const char *field,
                     int64_t row) {
  const ReadResult read = ReadPort(port, bytes, count);
  if (read.complete) return true;
  // The start byte has come, so silence here cuts the answer short; a
  // converter's own reason (a hang-up) stays.
  if (read.converter_code != QX318_FAIL_NONE) return false;
  const auto waited = static_cast<unsigned long long>(read.waited_ms);
  if (row >= 0) {
    return Fail(QX318_FAIL_ANSWER_CUT_SHORT,
                "answer cut short: %u of %u %s bytes of row %lld after %llu ms", read.received,
                read.wanted, field, static_cast<long long>(row), waited);
  }
  return Fail(QX318_FAIL_ANSWER_CUT_SHORT, "answer cut short: %u of %u %s bytes after %llu ms",
              read.received, read.wanted, field, waited);
}

bool HuntStartByte(PortHandle port, uint8_t *scratch) {
  // Each read may wait only for what is left of the hunt's time, so noise
  // that trickles in just before the bound cannot stretch the hunt past it.
  const uint64_t started = MonotonicMilliseconds();
  uint64_t left_ms = kStartByteHuntLimitMs;
  for (uint32_t skipped = 0;; ++skipped) {
    const ReadResult read = ReadPortWithin(port, scratch, 1, left_ms);
    if (!read.complete) {
      TraceAnswerStart(skipped, false);
      if (read.converter_code != QX318_FAIL_NONE) return false;
      const auto waited = static_cast<unsigned long long>(MonotonicMilliseconds() - started);
      if (skipped == 0) return Fail(QX318_FAIL_NO_ANSWER, "no answer within %llu ms", waited);
      return Fail(QX318_FAIL_NO_START_BYTE,
                  "no start byte: %u marker bytes skipped, then silence, after %llu ms", skipped,
                  waited);
    }
    if ((*scratch & kMarker) == 0) {
      TraceAnswerStart(skipped, true);
      return true;
    }
    const uint64_t spent = MonotonicMilliseconds() - started;
    if (skipped == kMaxSkippedNoiseBytes || spent >= kStartByteHuntLimitMs) {
      TraceAnswerStart(skipped + 1, false);
      return Fail(QX318_FAIL_NO_START_BYTE, "no start byte: %u marker bytes skipped in %llu ms",
                  skipped + 1, static_cast<unsigned long long>(spent));
    }
    left_ms = kStartByteHuntLimitMs - spent;
  }
}

void DiscardAnswerRest(PortHandle port, uint64_t data_count, uint16_t crc, uint8_t *scratch,
                       uint32_t scratch_size) {
  const uint64_t count = data_count + kCrcGroups;
  if (!AnyPortTraced()) {
    (void)DiscardFromPort(port, count, scratch, scratch_size);
    return;
  }
  RestCheck check{data_count, crc, {}, 0};
  const PieceObserver observer{&RestCheck::OnPiece, &check};
  if (DiscardFromPort(port, count, scratch, scratch_size, &observer).complete) {
    TraceAnswerCrc(check.Matches());
  }
}

bool SendRequest(PortHandle port, int32_t address, int32_t command, const uint8_t *data,
                 uint32_t count) {
  if (data == nullptr && count != 0) return Fail(QX318_FAIL_NULL_ARGUMENT, "request data is null");
  if (count > kMaxFrameData) {
    return Fail(QX318_FAIL_WRITE_SHORT, "request of %u data bytes cannot be framed (at most %u)",
                count, kMaxFrameData);
  }
  WorkBuffer frame(count + kRequestOverhead);
  if (!frame) {
    return Fail(QX318_FAIL_NO_MEMORY, "request frame of %u bytes", count + kRequestOverhead);
  }
  if (!EncodeRequestFrame(address, command, data, count, frame.data())) {
    // The count and data were checked above: only the CRC table can be
    // missing, a block the library allocates when it is loaded.
    return Fail(QX318_FAIL_NO_MEMORY, "no CRC table (made at load, released at unload)");
  }
  TraceRequestFields(static_cast<uint32_t>(address) & kAddressMask,
                     static_cast<uint32_t>(command) & kGroupMask, count);
  return WritePort(port, frame.data(), count + kRequestOverhead);
}

bool ReceiveAnswer(PortHandle port, uint8_t *buffer, uint32_t capacity, uint32_t *length_out) {
  if (buffer == nullptr || length_out == nullptr || capacity < 2) {
    return Fail(QX318_FAIL_NULL_ARGUMENT, "no answer buffer");
  }
  if (!HuntStartByte(port, buffer)) return false;

  if (!ReadAnswerField(port, buffer, 2, "length")) return false;
  const uint32_t length = DecodeGroups(buffer, 2);
  TraceAnswerLength(length);
  if (length > capacity) {
    // Refused, but read to its end through the buffer's own room, so that
    // the rest of it is not in the way of the next exchange.
    DiscardAnswerRest(port, length, 0, buffer, capacity);
    return Fail(QX318_FAIL_ANSWER_TOO_LONG, "answer declares %u data bytes, the buffer holds %u",
                length, capacity);
  }

  if (!ReadAnswerField(port, buffer, length, "data")) return false;
  uint8_t crc_groups[kCrcGroups] = {};
  if (!ReadAnswerField(port, crc_groups, kCrcGroups, "CRC")) return false;

  uint16_t crc = 0;
  (void)StripMarkersAndUpdateCrc16(&crc, buffer, length);
  const uint32_t received = DecodeGroups(crc_groups, kCrcGroups) & kCrcMask;
  TraceAnswerCrc(received == crc);
  if (received != crc) {
    return Fail(QX318_FAIL_CRC_MISMATCH, "CRC received 0x%04X, computed 0x%04X over %u data bytes",
                received, crc, length);
  }

  *length_out = length;
  return true;
}

bool ExpectLength(uint32_t length, uint32_t expected) {
  if (length == expected) return true;
  return Fail(QX318_FAIL_WRONG_LENGTH, "answer of %u data bytes, expected %u", length, expected);
}

bool Exchange(PortHandle port, int32_t address, int32_t command, const uint8_t *data,
              uint32_t count, uint8_t *buffer, uint32_t capacity, uint32_t *length_out) {
  return SendRequest(port, address, command, data, count) &&
         ReceiveAnswer(port, buffer, capacity, length_out);
}

}  // namespace qx318
