// The image exchange, shared by the exported image functions and by hosts
// inside this project that show progress while rows arrive.
#pragma once

#include <cstdint>

#include "QX318_RS485.h"

namespace qx318 {

// Called after each row has arrived, before the checksum is known.
struct ImageProgress {
  void (*on_row)(void *context, uint32_t rows_done, uint32_t row_count);
  void *context;
};

inline constexpr uint64_t kNoPixelLimit = UINT64_MAX;

// The whole image exchange: clears *header_out, sends the request, reads the
// image answer row by row into pixels_out and checks its CRC. Fails without
// writing a pixel when the image is larger than pixel_capacity bytes, after
// reading the rest of the answer and throwing it away. progress may be null.
int32_t ReadImage(PortHandle port, int32_t address, ImageHeader *header_out, uint8_t *pixels_out,
                  uint64_t pixel_capacity, const ImageProgress *progress);

}  // namespace qx318
