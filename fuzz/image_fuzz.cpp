// Arbitrary device bytes as the answer to the image command. Input: a mode
// byte (bit 0: QX318_GetImageEx or QX318_GetImage), a 16-bit pixel capacity
// (least significant byte first), then the device's byte stream. The pixel
// buffer has exactly the capacity (QX318_GetImageEx) or exactly the image
// size the stream announces (QX318_GetImage), so the sanitizers catch any
// write past it; success must imply a matching CRC.
#include <cstring>
#include <memory>

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "fuzz_target.h"
#include "reference_answers.h"

namespace qx318::fuzz {
namespace {

constexpr uint8_t kFillPixel = 0xEE;
// QX318_GetImage is only tried on images it is sensible to allocate for.
constexpr size_t kLargestPlainImage = size_t{1} << 20;
constexpr size_t kHeaderSize = 9;  // start byte and four 2-group words

struct ImageReference {
  bool header_complete = false;
  uint16_t words[4] = {};  // W1 (row count), W2 (row length), W3, W4
  size_t pixels_at = 0;
  size_t pixel_count = 0;
};

ImageReference ReadHeader(const Bytes &stream) {
  ImageReference image;
  const auto start = StartByte(stream);
  if (!start || *start + kHeaderSize > stream.size()) return image;
  image.header_complete = true;
  for (size_t w = 0; w < 4; ++w) {
    image.words[w] = static_cast<uint16_t>(Assemble(&stream[*start + 1 + 2 * w], 2));
  }
  image.pixels_at = *start + kHeaderSize;
  image.pixel_count = static_cast<size_t>(image.words[0]) * image.words[1];
  return image;
}

// Whether the pixels and the CRC arrived, and the CRC matches.
bool CrcMatches(const Bytes &stream, const ImageReference &image) {
  const size_t crc_at = image.pixels_at + image.pixel_count;
  if (crc_at + 3 > stream.size()) return false;
  Bytes covered;
  for (size_t i = image.pixels_at - 6; i < crc_at; ++i) {
    covered.push_back(static_cast<uint8_t>(stream[i] & 0x7Fu));
  }
  return (Assemble(&stream[crc_at], 3) & 0xFFFFu) == BitwiseCrc16(covered.data(), covered.size());
}

}  // namespace

bool RunInput(const uint8_t *input, size_t size) {
  if (size < 3) return false;
  const bool with_capacity = (input[0] & 1u) == 0;
  const Bytes stream(input + 3, input + size);
  const ImageReference image = ReadHeader(stream);

  size_t capacity = static_cast<size_t>(input[1] | input[2] << 8);
  if (!with_capacity) {
    if (image.pixel_count > kLargestPlainImage) return false;
    capacity = image.pixel_count;
  }
  const auto pixels = std::make_unique<uint8_t[]>(capacity);
  std::memset(pixels.get(), kFillPixel, capacity);

  fake::FakeConverter converter;
  converter.QueueAnswer(stream);
  ImageHeader header{0x1111, 0x2222, 0x3333, 0x4444};
  const int32_t result = with_capacity
                             ? QX318_GetImageEx(converter.handle(), 1, &header, pixels.get(),
                                                static_cast<uint32_t>(capacity))
                             : QX318_GetImage(converter.handle(), 1, &header, pixels.get());

  const bool fits = image.header_complete && image.pixel_count <= capacity;
  const bool expected = fits && CrcMatches(stream, image);
  Require(result == (expected ? 1 : 0), "image verdict");
  if (!expected) {
    Require(
        header.word4 == 0 && header.word3 == 0 && header.row_length == 0 && header.row_count == 0,
        "failed image left a header");
    if (!fits) {
      for (size_t i = 0; i < capacity; ++i) {
        Require(pixels[i] == kFillPixel, "image wrote pixels it had no room for");
      }
    }
    return false;
  }
  Require(header.row_count == image.words[0] && header.row_length == image.words[1] &&
              header.word3 == image.words[2] && header.word4 == image.words[3],
          "image header");
  for (size_t i = 0; i < capacity; ++i) {
    const uint8_t expected_pixel = i < image.pixel_count
                                       ? static_cast<uint8_t>(stream[image.pixels_at + i] & 0x7Fu)
                                       : kFillPixel;
    Require(pixels[i] == expected_pixel, "image pixel");
  }
  return true;
}

Bytes GenerateInput(InputGenerator &gen) {
  const auto rows = static_cast<uint16_t>(gen.Below(8) == 0 ? gen.Below(16384) : gen.Below(24));
  const auto row_length =
      static_cast<uint16_t>(gen.Below(8) == 0 ? gen.Below(16384) : gen.Below(40));
  const size_t pixel_count = static_cast<size_t>(rows) * row_length;
  Bytes wire;
  if (gen.Below(10) == 0) {
    wire = gen.Noise(gen.Below(60));
  } else {
    // An image too large to send is announced, then cut short.
    const size_t sent = std::min<size_t>(pixel_count, 4096);
    wire = ImageAnswer(rows, row_length, static_cast<uint16_t>(gen.Below(16384)),
                       static_cast<uint16_t>(gen.Below(16384)), gen.Noise(sent));
    if (sent < pixel_count) wire.resize(kHeaderSize + sent);
  }
  gen.MaybeDamage(wire);

  uint32_t capacity = static_cast<uint32_t>(std::min<size_t>(pixel_count, 0xFFFF));
  switch (gen.Below(4)) {
    case 0:
      capacity = gen.Below(0x10000);
      break;
    case 1:
      capacity = capacity > 0 ? capacity - 1 : 0;
      break;
    case 2:
      capacity = std::min<uint32_t>(capacity + gen.Below(8), 0xFFFF);
      break;
    default:
      break;
  }
  Bytes input{static_cast<uint8_t>(gen.Below(2)), static_cast<uint8_t>(capacity & 0xFF),
              static_cast<uint8_t>(capacity >> 8)};
  Append(input, wire);
  return input;
}

}  // namespace qx318::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  (void)qx318::fuzz::RunInput(data, size);
  return 0;
}
