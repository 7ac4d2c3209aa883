// What a correct reader makes of a device's byte stream, worked out from the
// frame layouts alone, for the fuzz targets to hold the library against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

namespace qx318::fuzz {

using Bytes = std::vector<uint8_t>;

// The start-byte hunt gives up after skipping this many marker bytes.
inline constexpr size_t kMaxSkippedNoise = 16383 + 8;

// A broken invariant: report it and stop, so that libFuzzer keeps the input.
[[noreturn]] inline void Violation(const char *what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

inline void Require(bool holds, const char *what) {
  if (!holds) Violation(what);
}

inline uint16_t BitwiseCrc16(const uint8_t *bytes, size_t count) {
  uint16_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc = static_cast<uint16_t>(crc ^ bytes[i]);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                       : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

inline uint32_t Assemble(const uint8_t *groups, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count && i < 5; ++i) {
    value += static_cast<uint32_t>(groups[i] & 0x7Fu) << (7 * i);
  }
  return value;
}

// Where the answer starts: the index of the first byte with bit 7 clear, if
// the hunt reaches it.
inline std::optional<size_t> StartByte(const Bytes &stream) {
  for (size_t i = 0; i < stream.size() && i <= kMaxSkippedNoise; ++i) {
    if ((stream[i] & 0x80u) == 0) return i;
  }
  return std::nullopt;
}

// An ordinary answer frame found at the start of the stream.
struct Answer {
  uint8_t length_bytes[2] = {};
  Bytes data;  // bit 7 cleared
  bool crc_ok = false;
};

// The frame when it arrived whole (its CRC may still be wrong).
inline std::optional<Answer> ParseAnswer(const Bytes &stream) {
  const auto start = StartByte(stream);
  if (!start || *start + 3 > stream.size()) return std::nullopt;
  Answer answer;
  answer.length_bytes[0] = stream[*start + 1];
  answer.length_bytes[1] = stream[*start + 2];
  const size_t length = Assemble(answer.length_bytes, 2);
  const size_t data_at = *start + 3;
  if (data_at + length + 3 > stream.size()) return std::nullopt;
  for (size_t i = 0; i < length; ++i) answer.data.push_back(stream[data_at + i] & 0x7Fu);
  const uint32_t received = Assemble(&stream[data_at + length], 3);
  answer.crc_ok = (received & 0xFFFFu) == BitwiseCrc16(answer.data.data(), answer.data.size());
  return answer;
}

// Appends more to out (a loop: GCC 12 warns falsely about vector::insert
// when it inlines it at -O3).
inline void Append(Bytes &out, const Bytes &more) {
  for (uint8_t byte : more) out.push_back(byte);
}

// Appends value as count groups, each with the marker bit.
inline void AppendGroups(Bytes &out, uint32_t value, int count) {
  for (int i = 0; i < count; ++i)
    out.push_back(static_cast<uint8_t>(0x80u | ((value >> (7 * i)) & 0x7Fu)));
}

inline Bytes AnswerFrame(const Bytes &data) {
  Bytes frame{0x00};
  AppendGroups(frame, static_cast<uint32_t>(data.size()), 2);
  Bytes masked;
  for (uint8_t byte : data) {
    frame.push_back(static_cast<uint8_t>(byte | 0x80u));
    masked.push_back(static_cast<uint8_t>(byte & 0x7Fu));
  }
  AppendGroups(frame, BitwiseCrc16(masked.data(), masked.size()), 3);
  return frame;
}

// An image answer: start byte, W1, then W2, W3, W4 and the pixels under the
// CRC, every byte but the start byte with bit 7 set.
inline Bytes ImageAnswer(uint16_t rows, uint16_t row_length, uint16_t word3, uint16_t word4,
                         const Bytes &pixels) {
  Bytes wire{0x00};
  AppendGroups(wire, rows, 2);
  Bytes covered;
  for (uint16_t word : {row_length, word3, word4}) {
    AppendGroups(wire, word, 2);
    covered.push_back(static_cast<uint8_t>(word & 0x7Fu));
    covered.push_back(static_cast<uint8_t>((word >> 7) & 0x7Fu));
  }
  for (uint8_t pixel : pixels) {
    wire.push_back(static_cast<uint8_t>(pixel | 0x80u));
    covered.push_back(static_cast<uint8_t>(pixel & 0x7Fu));
  }
  AppendGroups(wire, BitwiseCrc16(covered.data(), covered.size()), 3);
  return wire;
}

// The replay driver's source of inputs: mostly well-formed answers, some
// damaged in one of a few ways, and some plain noise.
class InputGenerator {
 public:
  explicit InputGenerator(uint32_t seed) : rng_(seed) {}

  uint32_t Next() { return static_cast<uint32_t>(rng_()); }
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : Next() % bound; }
  uint8_t Byte() { return static_cast<uint8_t>(Next()); }

  Bytes Noise(size_t count) {
    Bytes bytes(count);
    for (uint8_t &byte : bytes) byte = Byte();
    return bytes;
  }

  // Leaves wire as it is 3 times in 8; otherwise flips a bit, cuts it short,
  // puts marker noise in front, appends stray bytes, or sets the CRC's spare
  // bits.
  void MaybeDamage(Bytes &wire) {
    if (wire.empty()) return;
    switch (Below(8)) {
      case 0:
        wire[Below(static_cast<uint32_t>(wire.size()))] ^= static_cast<uint8_t>(1u << Below(8));
        break;
      case 1:
        wire.resize(Below(static_cast<uint32_t>(wire.size())));
        break;
      case 2: {
        Bytes noisy;
        for (uint32_t i = Below(6); i > 0; --i)
          noisy.push_back(static_cast<uint8_t>(Byte() | 0x80u));
        for (uint8_t byte : wire) noisy.push_back(byte);
        wire.swap(noisy);
        break;
      }
      case 3:
        for (uint32_t i = 1 + Below(4); i > 0; --i) wire.push_back(Byte());
        break;
      case 4:
        // Bits of the last byte (a third CRC group) beyond the 16 compared.
        wire.back() = static_cast<uint8_t>(wire.back() | (Byte() & 0x7Cu));
        break;
      default:
        break;
    }
  }

 private:
  std::mt19937 rng_;
};

}  // namespace qx318::fuzz
