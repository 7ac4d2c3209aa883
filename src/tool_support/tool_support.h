// For the project's own tools only (qx318 and qx318-sim); not installed and
// not part of the library's interface. Everything else the tools do goes
// through the exported functions of QX318_RS485.h.
//
// What they need beyond those: the image fetch with its pixel buffer sized
// from the image header and progress per row (the host tool), the codec the
// simulator speaks the wire with (CRC, 7-bit groups, the request encoder,
// the command codes and the wire constants), and the serial line set up as
// the library's converter sets it (the simulator's --device). The codec
// headers are reached by relative path, so that no tool needs an include
// path into the library's internals.
#pragma once

#include <cstdint>
#include <functional>

#include "../protocol/command_codes.h"
#include "../protocol/crc.h"
#include "../protocol/frame.h"
#include "../protocol/groups.h"
#include "QX318_RS485.h"

namespace qx318::tools {

// Called once the image header has arrived, with its row count and row
// length: room for row_count x row_length bytes, or null to refuse the image
// (the fetch then fails before it reads a row). Whatever it throws counts as
// a refusal.
using PixelBufferFor = std::function<uint8_t *(uint32_t row_count, uint32_t row_length)>;

// Called after each row has arrived, before the checksum is known.
using RowProgress = std::function<void(uint32_t rows_done, uint32_t row_count)>;

// The image exchange of QX318_GetImageEx, with the pixels in the buffer
// buffer_for gives and, when on_row is set, progress per row. 1 on success,
// with *header_out filled; 0 on failure, with *header_out all zero. After a
// failure the buffer may hold part of an image.
int32_t FetchImage(PortHandle port, int32_t address, ImageHeader *header_out,
                   const PixelBufferFor &buffer_for, const RowProgress &on_row);

// The serial line as the converter sets it: raw 8N1, no flow control, no
// echo, the rate left as it was. False when fd is no terminal.
bool MakeLineRaw(int fd);

// Sets fd to baud, any rate the library accepts: a rate termios names, any
// other through termios2 where the kernel has it. Checked by reading the
// rate back; false, the line as it was, when the line does not take it.
bool SetLineRate(int fd, uint32_t baud);

}  // namespace qx318::tools
