// An independent model of the wire format for tests and benchmarks: frames are
// built here bit by bit, without the library's CRC table or group helpers, so
// that a fault in those cannot hide in the expected bytes as well.
#pragma once

#include <cstdint>
#include <vector>

namespace qx318::test {

using Bytes = std::vector<uint8_t>;

// CRC-16/ARC computed one bit at a time.
inline uint16_t BitwiseCrc16(const Bytes &bytes, uint16_t crc = 0) {
  for (uint8_t byte : bytes) {
    crc = static_cast<uint16_t>(crc ^ byte);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                       : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

inline void AppendMarkedGroups(Bytes &out, uint32_t value, int groups) {
  for (int i = 0; i < groups; ++i) {
    out.push_back(static_cast<uint8_t>(0x80u | ((value >> (7 * i)) & 0x7Fu)));
  }
}

// The count 7-bit groups of value, least significant first, without markers.
inline Bytes Groups(uint32_t value, int count) {
  Bytes groups;
  for (int i = 0; i < count; ++i)
    groups.push_back(static_cast<uint8_t>((value >> (7 * i)) & 0x7Fu));
  return groups;
}

// The data bytes of a measurement answer: the lead value, the pair count and
// the values it carries, 2 groups each (fewer or more than the count says,
// as a test needs).
inline Bytes MeasureData(uint8_t lead, uint16_t pair_count, const std::vector<uint16_t> &values) {
  Bytes data{lead};
  for (uint8_t group : Groups(pair_count, 2)) data.push_back(group);
  for (uint16_t value : values) {
    for (uint8_t group : Groups(value, 2)) data.push_back(group);
  }
  return data;
}

// The request frame a command must put on the wire.
inline Bytes ExpectedRequest(int32_t address, uint8_t command, const Bytes &data = {}) {
  Bytes frame{static_cast<uint8_t>(static_cast<uint32_t>(address) & 0x1Fu)};
  AppendMarkedGroups(frame, static_cast<uint32_t>(data.size()), 2);
  frame.push_back(static_cast<uint8_t>(command | 0x80u));
  Bytes covered{command};
  for (uint8_t byte : data) {
    frame.push_back(static_cast<uint8_t>(byte | 0x80u));
    covered.push_back(byte);
  }
  AppendMarkedGroups(frame, BitwiseCrc16(covered), 3);
  return frame;
}

// An image answer as a device sends it. Every pixel goes on the wire with bit
// 7 set and counts in the CRC with bit 7 clear, so a pixel given as 0xFF must
// arrive as 0x7F. The CRC covers W2, W3, W4 and the pixels, never W1.
struct ImageAnswerFields {
  uint16_t row_count = 0;   // W1
  uint16_t row_length = 0;  // W2
  uint16_t word3 = 0;       // W3
  uint16_t word4 = 0;       // W4
  Bytes pixels;             // row_count x row_length bytes
  uint8_t start_byte = 0x00;
  uint16_t crc_xor = 0;               // non-zero: a corrupted CRC
  uint8_t third_crc_group_extra = 0;  // bits 2-6 of the third group, not compared
};

inline Bytes ImageAnswer(const ImageAnswerFields &fields) {
  Bytes wire{fields.start_byte};
  AppendMarkedGroups(wire, fields.row_count, 2);
  Bytes covered;
  for (uint16_t word : {fields.row_length, fields.word3, fields.word4}) {
    covered.push_back(static_cast<uint8_t>(word & 0x7Fu));
    covered.push_back(static_cast<uint8_t>((word >> 7) & 0x7Fu));
    AppendMarkedGroups(wire, word, 2);
  }
  for (uint8_t pixel : fields.pixels) {
    covered.push_back(static_cast<uint8_t>(pixel & 0x7Fu));
    wire.push_back(static_cast<uint8_t>(pixel | 0x80u));
  }
  const auto crc = static_cast<uint16_t>(BitwiseCrc16(covered) ^ fields.crc_xor);
  AppendMarkedGroups(wire, crc, 3);
  wire.back() = static_cast<uint8_t>(wire.back() | (fields.third_crc_group_extra & 0x7Cu));
  return wire;
}

// Pixel values that differ from row to row and column to column.
inline Bytes PixelPattern(uint32_t rows, uint32_t row_length) {
  Bytes pixels;
  pixels.reserve(static_cast<size_t>(rows) * row_length);
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t c = 0; c < row_length; ++c) {
      pixels.push_back(static_cast<uint8_t>((r * 31u + c * 7u + 3u) & 0x7Fu));
    }
  }
  return pixels;
}

}  // namespace qx318::test
