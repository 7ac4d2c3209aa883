// CRC-16/ARC (reflected polynomial 0xA001, initial value 0, no final XOR):
// the checksum of every frame.
#pragma once

#include <array>
#include <cstdint>

namespace qx318 {

inline constexpr uint16_t kCrcPolynomialReflected = 0xA001;
inline constexpr int kCrcTableSize = 256;
// The CRC's 16 bits among the 21 that its 3 groups carry; a reader ignores
// the other 5.
inline constexpr uint32_t kCrcMask = 0xFFFF;

// Entry i of the lookup table: the CRC register after shifting in byte i.
constexpr uint16_t CrcTableEntry(uint8_t index) {
  uint16_t r = 0;
  uint16_t c = index;
  for (int bit = 0; bit < 8; ++bit) {
    r = ((r ^ c) & 1) ? static_cast<uint16_t>((r >> 1) ^ kCrcPolynomialReflected)
                      : static_cast<uint16_t>(r >> 1);
    c = static_cast<uint16_t>(c >> 1);
  }
  return r;
}

constexpr void FillCrcTable(uint16_t *table) {
  for (int i = 0; i < kCrcTableSize; ++i) table[i] = CrcTableEntry(static_cast<uint8_t>(i));
}

// Runs the CRC in *crc over count bytes. False, leaving *crc alone, when a
// pointer is null or there is no table.
bool UpdateCrc16(uint16_t *crc, const uint8_t *bytes, uint32_t count);

// The CRC of count bytes, starting from 0.
uint16_t Crc16(const uint8_t *bytes, uint32_t count);

}  // namespace qx318
