#include "host/image_file.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/output_file.h"

namespace qx318::host {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool EndsWith(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<uint8_t> GreyRow(const uint8_t *pixels, uint32_t row_length) {
  std::vector<uint8_t> row(row_length);
  for (uint32_t c = 0; c < row_length; ++c) row[c] = GreyOf7BitPixel(pixels[c]);
  return row;
}

// libpng reports errors by longjmp; everything that must be released is
// owned outside the setjmp scope, and nothing with a destructor lives
// between setjmp and the calls that may jump.
bool WritePngRows(std::FILE *file, const uint8_t *pixels, uint32_t rows, uint32_t row_length,
                  std::vector<uint8_t> &row_buffer) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, row_length, rows, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t r = 0; r < rows; ++r) {
    const uint8_t *source = pixels + static_cast<size_t>(r) * row_length;
    for (uint32_t c = 0; c < row_length; ++c) row_buffer[c] = GreyOf7BitPixel(source[c]);
    png_write_row(png, row_buffer.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool WritePgm(std::FILE *file, const uint8_t *pixels, uint32_t rows, uint32_t row_length) {
  if (std::fprintf(file, "P5\n%u %u\n255\n", row_length, rows) < 0) return false;
  for (uint32_t r = 0; r < rows; ++r) {
    const std::vector<uint8_t> row =
        GreyRow(pixels + static_cast<size_t>(r) * row_length, row_length);
    if (std::fwrite(row.data(), 1, row.size(), file) != row.size()) return false;
  }
  return true;
}

}  // namespace

ImageFormat FormatOf(const std::string &path) {
  const std::string lower = Lower(path);
  if (EndsWith(lower, ".png")) return ImageFormat::kPng;
  if (EndsWith(lower, ".pgm")) return ImageFormat::kPgm;
  return ImageFormat::kUnknown;
}

bool WriteImageFile(const std::string &path, ImageFormat format, const uint8_t *pixels,
                    uint32_t rows, uint32_t row_length, std::string *error) {
  if (rows == 0 || row_length == 0) {
    *error = "the image is empty, no file written";
    return false;
  }
  tools::ReplacingFile file(path);
  if (!file.ok()) {
    *error = file.error();
    return false;
  }
  std::vector<uint8_t> row_buffer(row_length);
  const bool written = format == ImageFormat::kPng
                           ? WritePngRows(file.get(), pixels, rows, row_length, row_buffer)
                           : WritePgm(file.get(), pixels, rows, row_length);
  if (!written) {
    *error = "cannot write " + path + ": writing the image failed";
    return false;
  }
  if (!file.Commit()) {
    *error = file.error();
    return false;
  }
  return true;
}

}  // namespace qx318::host
