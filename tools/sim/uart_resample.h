// What a receiver set to one line rate makes of bytes sent at another: the
// bench's commonest mistake, a host and a device at different rates, acted
// out byte for byte.
//
// The model, chosen because it is simple, deterministic and behaves like the
// real thing (rates far apart give nothing or a few garbage bytes, never the
// frame that was sent; rates a few per cent apart still read correctly):
//
// - The sender's bytes go out back to back as 8N1: a start bit 0, eight data
//   bits least significant first, a stop bit 1. The line is idle (1) before
//   the first byte and after the last.
// - The receiver waits for the line to be 0, checks the start bit in its
//   middle (a 1 there was a glitch: it looks again from that point), then
//   samples each data bit and the stop bit in the middle of its time at its
//   own rate.
// - A byte whose stop bit reads 0 (a framing error) is dropped, and the
//   receiver waits for the line to go back to 1 before it looks for the next
//   start bit, as a UART that ignores framing errors does after a break.
#pragma once

#include <cstdint>
#include <vector>

namespace qx318::sim {

// The bytes a receiver at heard_rate reads from sent, sent at sent_rate
// (both in bits per second, neither 0). Equal rates give sent back.
std::vector<uint8_t> HeardAtRate(const std::vector<uint8_t> &sent, uint32_t sent_rate,
                                 uint32_t heard_rate);

}  // namespace qx318::sim
