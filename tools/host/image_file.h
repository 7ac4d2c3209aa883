// Writing a fetched image to disk: PNG through libpng, or PGM, in 8-bit
// grey with the device's 7-bit pixels stretched to the full range.
#pragma once

#include <cstdint>
#include <string>

namespace qx318::host {

enum class ImageFormat { kPng, kPgm, kUnknown };

// By the file name's extension (case-insensitive).
ImageFormat FormatOf(const std::string &path);

// 0 -> 0, 127 -> 255, evenly in between (rounded).
constexpr uint8_t GreyOf7BitPixel(uint8_t pixel) {
  return static_cast<uint8_t>(((pixel & 0x7Fu) * 255u + 63u) / 127u);
}

// Writes rows x row_length 7-bit pixels. False, with a message, on failure.
bool WriteImageFile(const std::string &path, ImageFormat format, const uint8_t *pixels,
                    uint32_t rows, uint32_t row_length, std::string *error);

}  // namespace qx318::host
