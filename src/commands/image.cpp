// The image answer has a format of its own: a start byte, the row count W1
// (outside the CRC), the row length W2 and the device's words W3 and W4, the
// W1 x W2 pixel bytes row after row, and the CRC over W2, W3, W4 and the
// pixels, each byte with bit 7 cleared.
#include "commands/image.h"

#include "diagnostics/exported_call.h"
#include "diagnostics/trace.h"
#include "protocol/command_codes.h"
#include "protocol/crc.h"
#include "protocol/frame.h"
#include "protocol/groups.h"
#include "protocol/work_buffer.h"

namespace qx318 {
namespace {

// Receives the start byte and the four header words (9 bytes). The rows go
// straight to the caller's buffer, so no image is refused for its size here:
// only pixel_capacity limits it.
constexpr uint32_t kImageHeaderAreaSize = 1024;
static_assert(kImageHeaderAreaSize >= 1 + 4 * 2);
constexpr uint64_t kNoPixelLimit = UINT64_MAX;

struct ImageWords {
  uint16_t row_count = 0;   // W1
  uint16_t row_length = 0;  // W2
  uint16_t word3 = 0;       // W3
  uint16_t word4 = 0;       // W4
};

// Reads one 2-group header word that the CRC covers, bit 7 cleared in place.
bool ReadCoveredWord(PortHandle port, uint8_t *area, uint16_t *crc, uint16_t *word,
                     const char *field) {
  if (!ReadAnswerField(port, area, 2, field)) return false;
  StripMarkers(area, 2);
  (void)UpdateCrc16(crc, area, 2);
  *word = static_cast<uint16_t>(DecodeGroups(area, 2));
  return true;
}

bool ReadImageWords(PortHandle port, uint8_t *area, uint16_t *crc, ImageWords *words) {
  if (!HuntStartByte(port, area)) return false;
  if (!ReadAnswerField(port, area + 1, 2, "row count")) return false;
  words->row_count = static_cast<uint16_t>(DecodeGroups(area + 1, 2));
  return ReadCoveredWord(port, area + 3, crc, &words->row_length, "row length") &&
         ReadCoveredWord(port, area + 5, crc, &words->word3, "W3") &&
         ReadCoveredWord(port, area + 7, crc, &words->word4, "W4");
}

// Each row is stripped and run through the CRC as soon as it has landed,
// while the next one is arriving, so that the check costs nothing after the
// last row. Stripping early changes nothing a caller can rely on: the pixels
// of a failed image are only "what arrived".
bool ReadRows(PortHandle port, const ImageWords &words, uint8_t *pixels, uint16_t *crc,
              const ImageProgress *progress) {
  for (uint32_t row = 0; row < words.row_count; ++row) {
    uint8_t *row_pixels = pixels + static_cast<size_t>(row) * words.row_length;
    if (!ReadAnswerField(port, row_pixels, words.row_length, "pixel", static_cast<int64_t>(row))) {
      return false;
    }
    (void)StripMarkersAndUpdateCrc16(crc, row_pixels, words.row_length);
    if (progress != nullptr && progress->on_row != nullptr) {
      progress->on_row(progress->context, row + 1, words.row_count);
    }
  }
  return true;
}

bool ReceivedCrcMatches(PortHandle port, uint16_t crc, size_t pixel_count) {
  uint8_t received[kCrcGroups] = {};
  if (!ReadAnswerField(port, received, kCrcGroups, "CRC")) return false;
  const uint32_t received_crc = DecodeGroups(received, kCrcGroups) & kCrcMask;
  TraceAnswerCrc(received_crc == crc);
  if (received_crc == crc) return true;
  return Fail(QX318_FAIL_CRC_MISMATCH,
              "image CRC received 0x%04X, computed 0x%04X over %llu pixel bytes", received_crc, crc,
              static_cast<unsigned long long>(pixel_count));
}

// The exported functions' destination: the caller's buffer, refused when
// the image does not fit in its capacity.
struct FixedPixels {
  uint8_t *pixels;
  uint64_t capacity;

  static uint8_t *BufferFor(void *context, uint32_t row_count, uint32_t row_length) {
    const auto *fixed = static_cast<const FixedPixels *>(context);
    return uint64_t{row_count} * row_length <= fixed->capacity ? fixed->pixels : nullptr;
  }
};

int32_t ReadImageInto(PortHandle port, int32_t address, ImageHeader *header_out,
                      uint8_t *pixels_out, uint64_t pixel_capacity) {
  if (pixels_out == nullptr) {
    ExportedCall call(port);
    return call.Finish(Fail(QX318_FAIL_NULL_ARGUMENT, "pixels_out is null"));
  }
  FixedPixels fixed{pixels_out, pixel_capacity};
  return ReadImage(port, address, header_out, PixelDestination{&FixedPixels::BufferFor, &fixed},
                   nullptr);
}

bool ExchangeImage(PortHandle port, int32_t address, ImageHeader *header_out,
                   const PixelDestination &destination, const ImageProgress *progress) {
  if (header_out == nullptr) return Fail(QX318_FAIL_NULL_ARGUMENT, "header_out is null");
  if (destination.buffer_for == nullptr) {
    return Fail(QX318_FAIL_NULL_ARGUMENT, "no pixel destination");
  }
  *header_out = ImageHeader{};
  WorkBuffer area(kImageHeaderAreaSize);
  if (!area) return Fail(QX318_FAIL_NO_MEMORY, "image work area of %u bytes", kImageHeaderAreaSize);
  if (!SendRequest(port, address, CMD_GET_IMAGE, nullptr, 0)) return false;

  uint16_t crc = 0;
  ImageWords words;
  if (!ReadImageWords(port, area.data(), &crc, &words)) return false;
  TraceImageSize(words.row_count, words.row_length);
  const size_t pixel_count = static_cast<size_t>(words.row_count) * words.row_length;
  uint8_t *pixels = destination.buffer_for(destination.context, words.row_count, words.row_length);
  if (pixels == nullptr) {
    // Refused before a single pixel lands in the caller's buffer. The device
    // sends the image all the same: it is read to its end, CRC included,
    // through the work area and dropped, so that the next exchange does not
    // meet it.
    DiscardAnswerRest(port, pixel_count, crc, area.data(), static_cast<uint32_t>(area.size()));
    return Fail(QX318_FAIL_CAPACITY, "image of %u x %u = %llu bytes does not fit the buffer",
                words.row_count, words.row_length, static_cast<unsigned long long>(pixel_count));
  }
  if (!ReadRows(port, words, pixels, &crc, progress)) return false;
  if (!ReceivedCrcMatches(port, crc, pixel_count)) return false;

  header_out->word4 = words.word4;
  header_out->word3 = words.word3;
  header_out->row_length = words.row_length;
  header_out->row_count = words.row_count;
  return true;
}

}  // namespace

int32_t ReadImage(PortHandle port, int32_t address, ImageHeader *header_out,
                  const PixelDestination &destination, const ImageProgress *progress) {
  ExportedCall call(port);
  return call.Finish(ExchangeImage(port, address, header_out, destination, progress));
}

}  // namespace qx318

using namespace qx318;

extern "C" QX318_API int32_t QX318_CALL QX318_GetImage(PortHandle port, int32_t address,
                                                       ImageHeader *header_out,
                                                       uint8_t *pixels_out) {
  return ReadImageInto(port, address, header_out, pixels_out, kNoPixelLimit);
}

extern "C" QX318_API int32_t QX318_CALL QX318_GetImageEx(PortHandle port, int32_t address,
                                                         ImageHeader *header_out,
                                                         uint8_t *pixels_out,
                                                         uint32_t pixel_capacity) {
  return ReadImageInto(port, address, header_out, pixels_out, pixel_capacity);
}
