// Every number travels as 7-bit groups, least significant group first; on
// the wire each group but a frame's start byte carries the marker bit 7.
#pragma once

#include <cstdint>

namespace qx318 {

inline constexpr uint8_t kMarker = 0x80;
inline constexpr uint8_t kGroupMask = 0x7F;
inline constexpr unsigned kBitsPerGroup = 7;
// The largest value two groups carry.
inline constexpr uint32_t kMax14BitValue = 16383;
// Groups at shifts of 32 bits or more carry nothing of a 32-bit value.
inline constexpr unsigned kGroupsIn32Bits = 5;

constexpr uint8_t Group(uint32_t value, unsigned index) {
  return index < kGroupsIn32Bits
             ? static_cast<uint8_t>((value >> (kBitsPerGroup * index)) & kGroupMask)
             : uint8_t{0};
}

// The sum of (bytes[i] & 0x7F) << 7i in 32-bit arithmetic: bit 7 of every
// byte is ignored, and only the low 4 bits of a fifth group count.
constexpr uint32_t DecodeGroups(const uint8_t *bytes, uint32_t count) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < count && i < kGroupsIn32Bits; ++i) {
    value += static_cast<uint32_t>(bytes[i] & kGroupMask) << (kBitsPerGroup * i);
  }
  return value;
}

// Writes count groups of value to out, each with the marker bit set.
constexpr void EncodeMarkedGroups(uint32_t value, unsigned count, uint8_t *out) {
  for (unsigned i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(Group(value, i) | kMarker);
}

// Clears the marker bit of count bytes in place.
constexpr void StripMarkers(uint8_t *bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) bytes[i] &= kGroupMask;
}

}  // namespace qx318
