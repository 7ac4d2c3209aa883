// Reads and writes on a non-blocking descriptor with the converter's
// time-out model, using poll and a monotonic clock.
#pragma once

#include <cstdint>

#include "port/converter.h"

namespace qx318::posix {

struct TransferResult {
  uint32_t count = 0;   // bytes moved, whatever happened
  bool failed = false;  // the descriptor reported an error or hang-up
};

// Reads up to count bytes. Ends when count bytes arrived; when the total
// time-out (constant + multiplier x count, unless both are 0) has passed;
// or when interval ms passed after a byte without another one (unless
// interval is 0). An interval of 0xFFFFFFFF with both totals 0 returns at
// once with what is already there. The interval is never waited past: each
// wait is the shortest of what is left of the two.
TransferResult ReadWithTimeouts(int fd, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts);

// Writes count bytes; the total write time-out applies unless both of its
// parts are 0, in which case it waits until everything is queued.
TransferResult WriteWithTimeouts(int fd, const uint8_t *bytes, uint32_t count,
                                 const CommTimeouts &timeouts);

}  // namespace qx318::posix
