// The image exchange, shared by the exported image functions and by the
// project's tools (through src/tool_support), which size the pixel buffer
// from the header and show progress while rows arrive.
#pragma once

#include <cstdint>

#include "QX318_RS485.h"

namespace qx318 {

// Called after each row has arrived, before the checksum is known.
struct ImageProgress {
  void (*on_row)(void *context, uint32_t rows_done, uint32_t row_count);
  void *context;
};

// Where the pixels go, asked once the header has told the image's size:
// room for row_count x row_length bytes, or null to refuse the image (the
// exchange then fails before reading a row).
struct PixelDestination {
  uint8_t *(*buffer_for)(void *context, uint32_t row_count, uint32_t row_length);
  void *context;
};

// The whole image exchange: clears *header_out, sends the request, reads the
// image answer row by row into the buffer the destination gives and checks
// its CRC. When the destination refuses the image, no pixel is written: the
// rest of the answer is read and thrown away before the call fails. progress
// may be null.
int32_t ReadImage(PortHandle port, int32_t address, ImageHeader *header_out,
                  const PixelDestination &destination, const ImageProgress *progress);

}  // namespace qx318
