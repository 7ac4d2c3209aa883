// Arbitrary device bytes as the answer to the image command. Input: a mode
// byte (bit 0: QX318_GetImageEx or QX318_GetImage), a 16-bit pixel capacity
// (least significant byte first), then the device's byte stream. The pixel
// buffer has exactly the capacity (QX318_GetImageEx) or exactly the image
// size the stream announces (QX318_GetImage), so the sanitizers catch any
// write past it; success must imply a matching CRC.
#include <cstring>
#include <memory>
#include <optional>

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "fuzz_target.h"

namespace qx318::fuzz {
namespace {

constexpr uint8_t kFillPixel = 0xEE;
// QX318_GetImage is only tried on images it is sensible to allocate for.
constexpr size_t kLargestPlainImage = size_t{1} << 20;

}  // namespace

bool RunInput(const uint8_t *input, size_t size) {
  if (size < 3) return false;
  const bool with_capacity = (input[0] & 1u) == 0;
  const Bytes stream(input + 3, input + size);
  const std::optional<test::ParsedImage> image = test::ParseImageAnswer(stream);
  const size_t pixel_count = image ? image->pixel_count : 0;

  size_t capacity = static_cast<size_t>(input[1] | input[2] << 8);
  if (!with_capacity) {
    if (pixel_count > kLargestPlainImage) return false;
    capacity = pixel_count;
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

  const bool fits = image && pixel_count <= capacity;
  const bool expected = fits && image->crc_ok;
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
  Require(header.row_count == image->words[0] && header.row_length == image->words[1] &&
              header.word3 == image->words[2] && header.word4 == image->words[3],
          "image header");
  for (size_t i = 0; i < capacity; ++i) {
    const uint8_t expected_pixel =
        i < pixel_count ? static_cast<uint8_t>(stream[image->pixels_at + i] & test::kWireGroupMask)
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
    test::ImageAnswerFields fields;
    fields.row_count = rows;
    fields.row_length = row_length;
    fields.word3 = static_cast<uint16_t>(gen.Below(16384));
    fields.word4 = static_cast<uint16_t>(gen.Below(16384));
    fields.pixels = gen.Noise(sent);
    wire = test::ImageAnswer(fields);
    if (sent < pixel_count) wire.resize(test::kImageHeaderSize + sent);
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
