// The tools' image fetch: the library's image exchange with a buffer the
// tool allocates once the header has told the image's size.
#include "commands/image.h"
#include "tool_support.h"

namespace qx318::tools {
namespace {

struct Callbacks {
  const PixelBufferFor &buffer_for;
  const RowProgress &on_row;

  // No exception may pass through the library's frames.
  static uint8_t *BufferFor(void *context, uint32_t row_count, uint32_t row_length) noexcept {
    try {
      return static_cast<Callbacks *>(context)->buffer_for(row_count, row_length);
    } catch (...) {
      return nullptr;
    }
  }

  static void OnRow(void *context, uint32_t rows_done, uint32_t row_count) noexcept {
    try {
      static_cast<Callbacks *>(context)->on_row(rows_done, row_count);
    } catch (...) {  // a progress display that fails does not end the transfer
    }
  }
};

}  // namespace

int32_t FetchImage(PortHandle port, int32_t address, ImageHeader *header_out,
                   const PixelBufferFor &buffer_for, const RowProgress &on_row) {
  if (!buffer_for) return 0;
  Callbacks callbacks{buffer_for, on_row};
  const PixelDestination destination{&Callbacks::BufferFor, &callbacks};
  const ImageProgress progress{&Callbacks::OnRow, &callbacks};
  return ReadImage(port, address, header_out, destination, on_row ? &progress : nullptr);
}

}  // namespace qx318::tools
