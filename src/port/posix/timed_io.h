// Reads and writes on a non-blocking descriptor with the converter's
// time-out model, using poll and a monotonic clock.
#pragma once

#include <array>
#include <cstdint>

#include "port/converter.h"

namespace qx318::posix {

struct TransferResult {
  uint32_t count = 0;   // bytes moved, whatever happened
  bool failed = false;  // the descriptor reported an error or hang-up
};

// Bytes taken from the descriptor ahead of the reads that asked for them, so
// that an answer read field by field costs one wait and one read for each
// burst that arrives instead of one or two system calls per field. To the
// reads these bytes are as good as the kernel's input queue: they count as
// arriving when a read takes them, and a purge discards both.
struct ReceiveBuffer {
  static constexpr uint32_t kCapacity = 4096;

  std::array<uint8_t, kCapacity> bytes{};
  uint32_t begin = 0;  // first byte not yet handed out
  uint32_t end = 0;    // one past the last byte read
  // The kernel's queue was empty when last looked at (a read came back
  // short, the queue was purged, a request just went out): the next read
  // waits for bytes before it asks for them. A hint only; either order is
  // correct, this one saves the read that would find nothing.
  bool kernel_queue_empty = true;

  uint32_t size() const { return end - begin; }
  void Clear() { begin = end = 0; }
};

// Reads up to count bytes. Ends when count bytes arrived; when the total
// time-out (constant + multiplier x count, unless both are 0) has passed;
// or when interval ms passed after a byte without another one (unless
// interval is 0). An interval of 0xFFFFFFFF with both totals 0 returns at
// once with what is already there. The interval is never waited past: each
// wait is the shortest of what is left of the two.
TransferResult ReadWithTimeouts(int fd, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts);

// The same read, served first from buffer; each read from the descriptor
// fills the caller's bytes and, in the same call, takes whatever else is
// waiting into buffer. The time-outs are those of the count bytes asked for,
// exactly as above.
TransferResult ReadWithTimeouts(int fd, ReceiveBuffer &buffer, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts);

// Writes count bytes; the total write time-out applies unless both of its
// parts are 0, in which case it waits until everything is queued.
TransferResult WriteWithTimeouts(int fd, const uint8_t *bytes, uint32_t count,
                                 const CommTimeouts &timeouts);

}  // namespace qx318::posix
