#include <limits>

#include "diagnostics/exported_call.h"
#include "protocol/command_codes.h"
#include "protocol/frame.h"
#include "protocol/groups.h"
#include "protocol/work_buffer.h"

using namespace qx318;

namespace {

// Lead value (1 group) and pair count (2 groups), then 2 values of 2 groups
// each per pair.
constexpr uint32_t kFirstValueByte = 3;
constexpr uint32_t kBytesPerPair = 4;
// Holds any answer a frame can declare, and also every value position a
// 14-bit pair count can name (up to data byte 65534): the decoder stays
// inside the buffer even if a length check before it were ever wrong.
constexpr uint32_t kRoomForAnyMeasureAnswer = 307200;
static_assert(kRoomForAnyMeasureAnswer >= kMaxFrameData);
static_assert(kRoomForAnyMeasureAnswer > kFirstValueByte + 2 * (2 * kMax14BitValue - 1) + 1);
constexpr uint32_t kNoCapacityLimit = std::numeric_limits<uint32_t>::max();

uint32_t ValueCount(uint16_t pair_count) { return 2u * pair_count; }

uint32_t AnswerLengthFor(uint16_t pair_count) {
  return kFirstValueByte + kBytesPerPair * uint32_t{pair_count};
}

// An answer whose length is not exactly what its pair count declares is a
// cut, padded or stale one: its values cannot be trusted, so nothing is
// decoded.
bool CheckMeasureLength(const uint8_t *data, uint32_t length, uint16_t *pair_count_out) {
  if (length < kFirstValueByte) {
    return Fail(QX318_FAIL_WRONG_LENGTH, "answer of %u data bytes, expected at least %u", length,
                kFirstValueByte);
  }
  const auto pair_count = static_cast<uint16_t>(DecodeGroups(data + 1, 2));
  const uint32_t expected = AnswerLengthFor(pair_count);
  if (length != expected) {
    return Fail(QX318_FAIL_WRONG_LENGTH, "answer of %u data bytes, expected %u for pair count %u",
                length, expected, uint32_t{pair_count});
  }
  *pair_count_out = pair_count;
  return true;
}

bool ExchangeMeasure(PortHandle port, int32_t address, MeasureHeader *header_out,
                     uint16_t *values_out, uint32_t value_capacity) {
  if (header_out == nullptr) return Fail(QX318_FAIL_NULL_ARGUMENT, "header_out is null");
  if (values_out == nullptr) return Fail(QX318_FAIL_NULL_ARGUMENT, "values_out is null");
  WorkBuffer answer(kRoomForAnyMeasureAnswer);
  if (!answer)
    return Fail(QX318_FAIL_NO_MEMORY, "measurement buffer of %u bytes", kRoomForAnyMeasureAnswer);
  uint32_t length = 0;
  if (!Exchange(port, address, CMD_GET_MEASURE, nullptr, 0, answer.data(), kRoomForAnyMeasureAnswer,
                &length)) {
    return false;
  }
  // The length is checked before the capacity: an answer that contradicts
  // its own pair count is a broken answer (WRONG_LENGTH) whatever that count
  // says, and only a complete, well-formed answer too large for the caller's
  // room is a CAPACITY failure. Nothing is written until both pass.
  const uint8_t *data = answer.data();
  uint16_t pair_count = 0;
  if (!CheckMeasureLength(data, length, &pair_count)) return false;
  if (ValueCount(pair_count) > value_capacity) {
    return Fail(QX318_FAIL_CAPACITY, "measurement of %u values, capacity %u",
                ValueCount(pair_count), value_capacity);
  }

  header_out->lead_byte = static_cast<uint8_t>(DecodeGroups(data, 1));
  header_out->pair_count = pair_count;
  for (uint32_t j = 0; j < ValueCount(pair_count); ++j) {
    values_out[j] = static_cast<uint16_t>(DecodeGroups(data + kFirstValueByte + 2 * j, 2));
  }
  return true;
}

int32_t GetMeasure(PortHandle port, int32_t address, MeasureHeader *header_out,
                   uint16_t *values_out, uint32_t value_capacity) {
  ExportedCall call(port);
  return call.Finish(ExchangeMeasure(port, address, header_out, values_out, value_capacity));
}

}  // namespace

extern "C" QX318_API int32_t QX318_CALL QX318_GetMeasure(PortHandle port, int32_t address,
                                                         MeasureHeader *header_out,
                                                         uint16_t *values_out) {
  return GetMeasure(port, address, header_out, values_out, kNoCapacityLimit);
}

extern "C" QX318_API int32_t QX318_CALL QX318_GetMeasureEx(PortHandle port, int32_t address,
                                                           MeasureHeader *header_out,
                                                           uint16_t *values_out,
                                                           uint32_t value_capacity) {
  return GetMeasure(port, address, header_out, values_out, value_capacity);
}

extern "C" QX318_API int32_t QX318_CALL QX318_LockResult(PortHandle port, int32_t address) {
  ExportedCall call(port);
  return call.Finish(SendRequest(port, address, CMD_LOCK_RESULT, nullptr, 0));
}
