// The converter's time-out model on POSIX, for every transport: the total
// and per-byte deadlines, the gap between bytes, the waits in poll against a
// monotonic clock, and the read-ahead buffer a read fills together with the
// caller's memory. A transport supplies the bytes (ReadSource) and its own
// inputs (ReadExtras); the rules of when a read ends live here alone.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>

#include "port/converter.h"

namespace qx318::posix {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

struct TransferResult {
  uint32_t count = 0;   // bytes moved, whatever happened
  bool failed = false;  // the descriptor reported an error or hang-up
};

// Bytes received ahead of the reads that ask for them, in the order they
// came: [begin, end) of a block of Capacity bytes that its owner holds
// inline. A terminal fills it in the same readv that fills the caller's
// memory; a network port with what its decoder passes on. To the reads these
// bytes are as good as the kernel's input queue: they count as arriving when
// a read takes them, and a purge discards both.
template <uint32_t Capacity>
class BasicReceiveBuffer {
 public:
  static constexpr uint32_t kCapacity = Capacity;

  uint32_t size() const { return end_ - begin_; }
  void Clear() { begin_ = end_ = 0; }

  // Copies up to count of the oldest bytes out; the rest stay.
  uint32_t Take(uint8_t *bytes, uint32_t count) {
    const uint32_t taken = size() < count ? size() : count;
    if (taken > 0) std::memcpy(bytes, bytes_.data() + begin_, taken);
    begin_ += taken;
    // Emptied, the next fill starts at the front with the whole room.
    if (begin_ == end_) Clear();
    return taken;
  }

  // The free room after the last byte, where the next bytes go, and its size.
  uint8_t *room() { return bytes_.data() + end_; }
  uint32_t room_size() const { return Capacity - end_; }
  // count bytes were written into room().
  void Appended(uint32_t count) { end_ += count; }

  // Gives room() space when there is none left: the bytes still held move
  // to the front; a buffer full of them (nobody reads) drops them all, the
  // oldest bytes lost as in a receive queue's overrun.
  void MakeRoom() {
    if (room_size() > 0) return;
    if (begin_ > 0) {
      std::memmove(bytes_.data(), bytes_.data() + begin_, size());
      end_ -= begin_;
      begin_ = 0;
    } else {
      Clear();
    }
  }

  // The kernel's queue was empty when last looked at (a read came back
  // short, the queue was purged, a request just went out): the next read
  // waits for bytes before it asks for them. A hint only; either order is
  // correct, this one saves the read that would find nothing.
  bool kernel_queue_empty = true;

 private:
  std::array<uint8_t, Capacity> bytes_{};
  uint32_t begin_ = 0;  // first byte not yet handed out
  uint32_t end_ = 0;    // one past the last byte received
};

// A terminal's: one readv takes up to this much beyond what the read asked.
using ReceiveBuffer = BasicReceiveBuffer<4096>;

// ------------------------------------------------------------ deadlines

// From start, longer by allowance_ms; none when both parts are 0.
Deadline TotalDeadline(Clock::time_point start, uint32_t multiplier, uint32_t constant,
                       uint32_t count, uint32_t allowance_ms = 0);
Deadline Earliest(Deadline a, Deadline b);
bool Passed(Deadline deadline);

// The interval 0xFFFFFFFF with both read totals 0: a read returns at once
// with what is already there.
bool ReturnsAtOnce(const CommTimeouts &timeouts);

// What poll saw. kHungUp: readable together with a hang-up or an error, as a
// terminal does once its other side is gone (reads then return 0 for ever);
// kGone: a hang-up, error or invalid descriptor without the events asked for;
// kFailed: poll itself failed (errno tells).
enum class Wait { kReady, kHungUp, kGone, kTimedOut, kFailed };

// Waits until fd shows one of events or the deadline passes (never without
// one); an interrupted or early-woken poll is resumed.
Wait WaitFor(int fd, short events, Deadline deadline);

// ------------------------------------------------------------ reads

// One step of a read from some transport.
struct ReadStep {
  uint32_t count = 0;   // bytes placed in the caller's memory
  bool failed = false;  // the transport is gone; no byte will come
  // Nothing came and the read said so with 0 rather than "not yet": after a
  // wait that saw a hang-up, the end of the stream.
  bool ended = false;
};

// Where a read's bytes come from. The engine calls these in its order and
// decides from their answers when the read ends.
class ReadSource {
 public:
  // Hands out bytes already received (no system call), up to count.
  virtual uint32_t TakeReadAhead(uint8_t *bytes, uint32_t count) = 0;
  // True when the kernel's queue was empty when last looked at, so the next
  // Pull should wait for bytes first instead of finding nothing.
  virtual bool QueueLikelyEmpty() const = 0;
  // Moves what has arrived into bytes (up to wanted) without waiting; 0 bytes
  // and not failed when nothing has come yet.
  virtual ReadStep Pull(uint8_t *bytes, uint32_t wanted) = 0;
  // Waits, at most until deadline, for something to Pull.
  virtual Wait Await(Deadline deadline) = 0;

  virtual ~ReadSource() = default;
};

// A transport's additions to the serial line's time-outs.
struct ReadExtras {
  // Added to the total and to the gap: what the way to the line may delay
  // a byte beyond the line's own time-outs.
  uint32_t allowance_ms = 0;
  // The gap runs from this byte (one of an earlier read this one continues)
  // instead of waiting for the first byte of this read.
  std::optional<Clock::time_point> gap_from;
};

// Reads up to count bytes from source. Ends when count bytes arrived; when
// the total time-out (constant + multiplier x count, unless both are 0) has
// passed; or when interval ms passed after a byte without another one
// (unless interval is 0). An interval of 0xFFFFFFFF with both totals 0
// returns at once with what is already there. The interval is never waited
// past: each wait is the shortest of what is left of the two. Bytes that
// came before a hang-up are still taken; once none are left the read fails
// at once instead of spinning until the time-out.
TransferResult ReadWithTimeouts(ReadSource &source, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts, const ReadExtras &extras = {});

// The same on a non-blocking descriptor (a terminal), asking it for the
// wanted bytes alone.
TransferResult ReadWithTimeouts(int fd, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts);

// The same, served first from buffer; each read from the descriptor fills
// the caller's bytes and, in the same call, takes whatever else is waiting
// into buffer. The time-outs are those of the count bytes asked for,
// exactly as above.
TransferResult ReadWithTimeouts(int fd, ReceiveBuffer &buffer, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts);

// Writes count bytes; the total write time-out applies unless both of its
// parts are 0, in which case it waits until everything is queued.
TransferResult WriteWithTimeouts(int fd, const uint8_t *bytes, uint32_t count,
                                 const CommTimeouts &timeouts);

}  // namespace qx318::posix
