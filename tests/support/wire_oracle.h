// The one independent model of the wire format, for every test, fuzz target,
// benchmark and test double. Frames are built and read here bit by bit from
// the frame layouts alone: this header includes nothing of the library and
// links nothing, so that a fault in the library's CRC table or group code
// cannot hide in the expected bytes as well.
//
// Request: start byte (address & 0x1F), N as 2 groups, command | 0x80, the N
// data bytes | 0x80, CRC as 3 groups; the CRC covers the command and the
// data bytes as supplied.
// Answer: a start byte (bit 7 clear, value not examined), L as 2 groups, L
// data bytes | 0x80, CRC as 3 groups; the CRC covers only the data bytes
// with bit 7 cleared.
// Image answer: a start byte, W1 (row count) as 2 groups outside the CRC,
// then W2, W3, W4 as 2 groups each and W1 x W2 pixels | 0x80, all inside
// the CRC with bit 7 cleared, and the CRC as 3 groups.
// Every number travels as 7-bit groups, least significant first; only 16
// bits of the 21 in the three CRC groups are compared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

namespace qx318::test {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kWireMarker = 0x80;
inline constexpr uint8_t kWireGroupMask = 0x7F;
inline constexpr uint8_t kWireAddressMask = 0x1F;
inline constexpr uint16_t kCrcReflectedPolynomial = 0xA001;
inline constexpr int kLengthGroups = 2;
inline constexpr int kCrcGroups = 3;
// Start byte, 2 length groups, command, 3 CRC groups.
inline constexpr size_t kRequestOverhead = 7;
// Start byte and W1 to W4.
inline constexpr size_t kImageHeaderSize = 9;
// A reader skips at most this many marker bytes while it hunts for the
// start byte: no real answer is preceded by more noise than the largest
// answer frame.
inline constexpr size_t kMaxSkippedNoise = 16383 + 8;

// The command byte of each request, before the marker.
inline constexpr uint8_t kHello = 1;
inline constexpr uint8_t kReadParameter = 2;
inline constexpr uint8_t kWriteParameter = 3;
inline constexpr uint8_t kParamsFlash = 4;
inline constexpr uint8_t kGetMeasure = 5;
inline constexpr uint8_t kGetImage = 6;
inline constexpr uint8_t kLockResult = 9;
inline constexpr uint8_t kRotateAxisXY = 10;
inline constexpr uint8_t kGetRotateAngle = 11;
inline constexpr uint8_t kAngleFlash = 12;

// ----------------------------------------------------------- CRC and groups

// CRC-16/ARC (reflected polynomial, initial value 0, no final XOR) computed
// one bit at a time; crc carries a CRC over earlier bytes.
inline uint16_t BitwiseCrc16(const Bytes &bytes, uint16_t crc = 0) {
  for (uint8_t byte : bytes) {
    crc = static_cast<uint16_t>(crc ^ byte);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ kCrcReflectedPolynomial)
                       : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

inline void AppendMarkedGroups(Bytes &out, uint32_t value, int groups) {
  for (int i = 0; i < groups; ++i) {
    out.push_back(static_cast<uint8_t>(kWireMarker | ((value >> (7 * i)) & kWireGroupMask)));
  }
}

// The count 7-bit groups of value, least significant first, without markers.
inline Bytes Groups(uint32_t value, int count) {
  Bytes groups;
  for (int i = 0; i < count; ++i) {
    groups.push_back(static_cast<uint8_t>((value >> (7 * i)) & kWireGroupMask));
  }
  return groups;
}

// The value of count groups, least significant first, in 32-bit arithmetic:
// bit 7 of every byte is ignored, groups past the fifth carry nothing and
// only the low 4 bits of a fifth group count.
inline uint32_t AssembleGroups(const uint8_t *groups, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count && i < 5; ++i) {
    value += static_cast<uint32_t>(groups[i] & kWireGroupMask) << (7 * i);
  }
  return value;
}

inline Bytes WithoutMarkers(Bytes bytes) {
  for (uint8_t &byte : bytes) byte &= kWireGroupMask;
  return bytes;
}

// ------------------------------------------------------------------ requests

// The request frame a command must put on the wire.
inline Bytes ExpectedRequest(int32_t address, uint8_t command, const Bytes &data = {}) {
  Bytes frame{static_cast<uint8_t>(static_cast<uint32_t>(address) & kWireAddressMask)};
  AppendMarkedGroups(frame, static_cast<uint32_t>(data.size()), kLengthGroups);
  frame.push_back(static_cast<uint8_t>(command | kWireMarker));
  Bytes covered{command};
  for (uint8_t byte : data) {
    frame.push_back(static_cast<uint8_t>(byte | kWireMarker));
    covered.push_back(byte);
  }
  AppendMarkedGroups(frame, BitwiseCrc16(covered), kCrcGroups);
  return frame;
}

struct Request {
  uint8_t address = 0;  // low 5 bits of the start byte
  uint8_t command = 0;  // bit 7 cleared
  Bytes data;           // bit 7 cleared
  // The CRC over the command and the data matches, taking the data bytes as
  // 7-bit values (every command supplies them so).
  bool crc_ok = false;
};

// Takes one complete request frame apart, as a device reads it; nullopt when
// it is not shaped like one (wrong size for its length field, a marker bit
// missing or misplaced).
inline std::optional<Request> DecodeRequest(const Bytes &frame) {
  if (frame.size() < kRequestOverhead || (frame[0] & kWireMarker) != 0) return std::nullopt;
  for (size_t i = 1; i < frame.size(); ++i) {
    if ((frame[i] & kWireMarker) == 0) return std::nullopt;
  }
  const size_t n = AssembleGroups(&frame[1], kLengthGroups);
  if (frame.size() != n + kRequestOverhead) return std::nullopt;
  Request request;
  request.address = static_cast<uint8_t>(frame[0] & kWireAddressMask);
  request.command = static_cast<uint8_t>(frame[3] & kWireGroupMask);
  Bytes covered{request.command};
  for (size_t i = 0; i < n; ++i) {
    request.data.push_back(static_cast<uint8_t>(frame[4 + i] & kWireGroupMask));
    covered.push_back(request.data.back());
  }
  const uint32_t received = AssembleGroups(&frame[4 + n], kCrcGroups);
  request.crc_ok = (received & 0xFFFFu) == BitwiseCrc16(covered);
  return request;
}

// ------------------------------------------------------------------- answers

// An answer frame as a device sends it.
inline Bytes AnswerFrame(const Bytes &data, uint8_t start_byte = 0x00) {
  Bytes frame{start_byte};
  AppendMarkedGroups(frame, static_cast<uint32_t>(data.size()), kLengthGroups);
  for (uint8_t byte : data) frame.push_back(static_cast<uint8_t>(byte | kWireMarker));
  AppendMarkedGroups(frame, BitwiseCrc16(WithoutMarkers(data)), kCrcGroups);
  return frame;
}

// Where a reader finds the start byte: the first byte with bit 7 clear, if
// the hunt reaches it.
inline std::optional<size_t> StartByteAt(const Bytes &stream) {
  for (size_t i = 0; i < stream.size() && i <= kMaxSkippedNoise; ++i) {
    if ((stream[i] & kWireMarker) == 0) return i;
  }
  return std::nullopt;
}

struct ParsedAnswer {
  uint8_t length_bytes[2] = {};  // as received, marker bits included
  Bytes data;                    // bit 7 cleared
  bool crc_ok = false;
};

// The answer frame a reader finds in stream, when it arrived whole (its CRC
// may still be wrong).
inline std::optional<ParsedAnswer> ParseAnswer(const Bytes &stream) {
  const auto start = StartByteAt(stream);
  if (!start || *start + 1 + kLengthGroups > stream.size()) return std::nullopt;
  ParsedAnswer answer;
  answer.length_bytes[0] = stream[*start + 1];
  answer.length_bytes[1] = stream[*start + 2];
  const size_t length = AssembleGroups(answer.length_bytes, kLengthGroups);
  const size_t data_at = *start + 1 + kLengthGroups;
  if (data_at + length + kCrcGroups > stream.size()) return std::nullopt;
  for (size_t i = 0; i < length; ++i) {
    answer.data.push_back(static_cast<uint8_t>(stream[data_at + i] & kWireGroupMask));
  }
  const uint32_t received = AssembleGroups(&stream[data_at + length], kCrcGroups);
  answer.crc_ok = (received & 0xFFFFu) == BitwiseCrc16(answer.data);
  return answer;
}

// --------------------------------------------------------- answer contents

// The group count of each hello field, value1 to value7, in data order.
inline constexpr std::array<int, 7> kHelloFieldGroups = {2, 1, 4, 2, 2, 2, 2};

// The 15 data bytes of a hello answer carrying value1 to value7.
inline Bytes HelloData(const std::array<uint32_t, 7> &values) {
  Bytes data;
  for (size_t field = 0; field < values.size(); ++field) {
    for (uint8_t group : Groups(values[field], kHelloFieldGroups[field])) data.push_back(group);
  }
  return data;
}

// value1 to value7 as a reader takes them from 15 hello data bytes.
inline std::array<uint32_t, 7> HelloValues(const Bytes &data) {
  std::array<uint32_t, 7> values{};
  size_t at = 0;
  for (size_t field = 0; field < values.size(); ++field) {
    const auto count = static_cast<size_t>(kHelloFieldGroups[field]);
    values[field] = AssembleGroups(&data.at(at), count);
    at += count;
  }
  return values;
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

// ------------------------------------------------------------------- images

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
    for (uint8_t group : Groups(word, 2)) covered.push_back(group);
    AppendMarkedGroups(wire, word, 2);
  }
  for (uint8_t pixel : fields.pixels) {
    covered.push_back(static_cast<uint8_t>(pixel & kWireGroupMask));
    wire.push_back(static_cast<uint8_t>(pixel | kWireMarker));
  }
  const auto crc = static_cast<uint16_t>(BitwiseCrc16(covered) ^ fields.crc_xor);
  AppendMarkedGroups(wire, crc, kCrcGroups);
  wire.back() = static_cast<uint8_t>(wire.back() | (fields.third_crc_group_extra & 0x7Cu));
  return wire;
}

struct ParsedImage {
  uint16_t words[4] = {};  // W1 (row count), W2 (row length), W3, W4
  size_t pixels_at = 0;    // where the first pixel lies in the stream
  size_t pixel_count = 0;  // W1 x W2
  // The pixels and the CRC arrived, and the CRC matches.
  bool crc_ok = false;
};

// The image answer a reader finds in stream, when its header arrived whole.
inline std::optional<ParsedImage> ParseImageAnswer(const Bytes &stream) {
  const auto start = StartByteAt(stream);
  if (!start || *start + kImageHeaderSize > stream.size()) return std::nullopt;
  ParsedImage image;
  for (size_t w = 0; w < 4; ++w) {
    image.words[w] = static_cast<uint16_t>(AssembleGroups(&stream[*start + 1 + 2 * w], 2));
  }
  image.pixels_at = *start + kImageHeaderSize;
  image.pixel_count = static_cast<size_t>(image.words[0]) * image.words[1];
  const size_t crc_at = image.pixels_at + image.pixel_count;
  if (crc_at + kCrcGroups > stream.size()) return image;
  // W2, W3 and W4 lie just before the pixels.
  const Bytes covered(stream.begin() + static_cast<std::ptrdiff_t>(image.pixels_at - 6),
                      stream.begin() + static_cast<std::ptrdiff_t>(crc_at));
  image.crc_ok = (AssembleGroups(&stream[crc_at], kCrcGroups) & 0xFFFFu) ==
                 BitwiseCrc16(WithoutMarkers(covered));
  return image;
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

// An image answer of rows x row_length PixelPattern pixels, with W3 word3
// and W4 word4.
inline ImageAnswerFields PatternImage(uint16_t rows, uint16_t row_length, uint16_t word3,
                                      uint16_t word4) {
  ImageAnswerFields fields;
  fields.row_count = rows;
  fields.row_length = row_length;
  fields.word3 = word3;
  fields.word4 = word4;
  fields.pixels = PixelPattern(rows, row_length);
  return fields;
}

// ------------------------------------------------------------ broken frames

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The frame without its last missing bytes, as when the line goes quiet.
inline Bytes CutShort(Bytes frame, size_t missing = 1) {
  frame.resize(frame.size() > missing ? frame.size() - missing : 0);
  return frame;
}

// The frame with bit 0 of one of its three CRC groups (0: the first) flipped:
// a checksum mismatch and nothing else.
inline Bytes WithCrcGroupFlipped(Bytes frame, size_t group = 0) {
  frame.at(frame.size() - kCrcGroups + group) ^= 0x01;
  return frame;
}

}  // namespace qx318::test
