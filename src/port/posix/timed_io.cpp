#include "port/posix/timed_io.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

namespace qx318::posix {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr uint32_t kNoWaitInterval = 0xFFFFFFFFu;

// From now; none when both parts are 0 (then the clock is not read).
std::optional<Clock::time_point> TotalDeadline(uint32_t multiplier, uint32_t constant,
                                               uint32_t count) {
  if (multiplier == 0 && constant == 0) return std::nullopt;
  const uint64_t total = static_cast<uint64_t>(multiplier) * count + constant;
  return Clock::now() + Milliseconds(total);
}

// Milliseconds poll may wait before the deadline passes, rounded up so that
// a wait never ends just short of it; -1 without a deadline, 0 when passed.
int PollTimeout(std::optional<Clock::time_point> deadline) {
  if (!deadline) return -1;
  const auto left = *deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<Milliseconds>(left).count();
  return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return *a < *b ? a : b;
}

bool Passed(std::optional<Clock::time_point> deadline) {
  return deadline && Clock::now() >= *deadline;
}

// kHungUp: poll reports readable together with a hang-up or an error, as a
// terminal does once its other side is gone; reads then return 0 for ever.
enum class Wait { kReady, kHungUp, kTimedOut, kFailed };

Wait WaitFor(int fd, short events, std::optional<Clock::time_point> deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, PollTimeout(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Wait::kFailed;
    }
    if (ready == 0) {
      if (Passed(deadline)) return Wait::kTimedOut;
      continue;  // poll's millisecond rounding woke us early
    }
    if (entry.revents & events) {
      return (entry.revents & (POLLHUP | POLLERR)) ? Wait::kHungUp : Wait::kReady;
    }
    return Wait::kFailed;  // POLLERR, POLLHUP or POLLNVAL without data
  }
}

// Hands out what the buffer holds, up to count bytes.
uint32_t TakeBuffered(ReceiveBuffer &buffer, uint8_t *bytes, uint32_t count) {
  const uint32_t taken = buffer.size() < count ? buffer.size() : count;
  std::memcpy(bytes, buffer.bytes.data() + buffer.begin, taken);
  buffer.begin += taken;
  if (buffer.begin == buffer.end) buffer.Clear();
  return taken;
}

// One read from the descriptor. Without a buffer it asks for the wanted
// bytes alone. With one (empty by now: a read takes what it holds first) the
// same call also takes up to a buffer's worth of what follows, and notes
// whether the kernel's queue was left empty. Returns the bytes that went to
// the caller, or what read returned when nothing came.
ssize_t ReadOnce(int fd, ReceiveBuffer *buffer, uint8_t *bytes, uint32_t wanted) {
  if (buffer == nullptr) return read(fd, bytes, wanted);
  iovec parts[2] = {{bytes, wanted}, {buffer->bytes.data(), ReceiveBuffer::kCapacity}};
  const ssize_t got = readv(fd, parts, 2);
  buffer->kernel_queue_empty = got < static_cast<ssize_t>(wanted) + ReceiveBuffer::kCapacity;
  if (got <= static_cast<ssize_t>(wanted)) return got;
  buffer->begin = 0;
  buffer->end = static_cast<uint32_t>(got) - wanted;
  return wanted;
}

TransferResult ReadLoop(int fd, ReceiveBuffer *buffer, uint8_t *bytes, uint32_t count,
                        const CommTimeouts &timeouts) {
  TransferResult result;
  if (count == 0) return result;
  // Buffered bytes are taken as a read of the kernel's queue would take them;
  // a read they satisfy needs no clock.
  if (buffer != nullptr) {
    result.count = TakeBuffered(*buffer, bytes, count);
    if (result.count == count) return result;
  }
  const bool return_at_once = timeouts.ReadIntervalTimeout == kNoWaitInterval &&
                              timeouts.ReadTotalTimeoutMultiplier == 0 &&
                              timeouts.ReadTotalTimeoutConstant == 0;
  const auto total = return_at_once ? std::optional<Clock::time_point>(Clock::now())
                                    : TotalDeadline(timeouts.ReadTotalTimeoutMultiplier,
                                                    timeouts.ReadTotalTimeoutConstant, count);
  const bool interval_applies = !return_at_once && timeouts.ReadIntervalTimeout != 0;
  std::optional<Clock::time_point> gap_deadline;
  const auto received_now = [&] {
    if (interval_applies) gap_deadline = Clock::now() + Milliseconds(timeouts.ReadIntervalTimeout);
  };
  if (result.count > 0) received_now();

  // After a read that left the kernel's queue empty, wait first: poll
  // returns at once when bytes came meanwhile, and a read now would only
  // find nothing. A deadline that has passed makes that wait a look.
  bool wait_first = buffer != nullptr && buffer->kernel_queue_empty;
  bool hung_up = false;

  while (result.count < count) {
    if (!wait_first) {
      const ssize_t got = ReadOnce(fd, buffer, bytes + result.count, count - result.count);
      // Bytes that came before a hang-up are still taken; once none are left
      // the read fails at once instead of spinning until the time-out.
      if (got == 0 && hung_up) {
        result.failed = true;
        break;
      }
      if (got > 0) {
        result.count += static_cast<uint32_t>(got);
        if (result.count == count) break;
        received_now();
        wait_first = buffer != nullptr && buffer->kernel_queue_empty;
        continue;
      }
      // In raw mode with VMIN and VTIME 0 a terminal reports "no data yet" as
      // a read of 0, not EAGAIN; a hang-up shows in poll.
      if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        result.failed = true;
        break;
      }
      if (Passed(Earliest(total, gap_deadline))) break;
    }
    wait_first = false;
    const Wait wait = WaitFor(fd, POLLIN, Earliest(total, gap_deadline));
    hung_up = wait == Wait::kHungUp;
    if (wait == Wait::kTimedOut) break;
    if (wait == Wait::kFailed) {
      result.failed = true;
      break;
    }
  }
  return result;
}

}  // namespace

TransferResult ReadWithTimeouts(int fd, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts) {
  return ReadLoop(fd, nullptr, bytes, count, timeouts);
}

TransferResult ReadWithTimeouts(int fd, ReceiveBuffer &buffer, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts) {
  return ReadLoop(fd, &buffer, bytes, count, timeouts);
}

TransferResult WriteWithTimeouts(int fd, const uint8_t *bytes, uint32_t count,
                                 const CommTimeouts &timeouts) {
  TransferResult result;
  const auto deadline = TotalDeadline(timeouts.WriteTotalTimeoutMultiplier,
                                      timeouts.WriteTotalTimeoutConstant, count);
  while (result.count < count) {
    const ssize_t put = write(fd, bytes + result.count, count - result.count);
    if (put > 0) {
      result.count += static_cast<uint32_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      result.failed = true;
      break;
    }
    const Wait wait = WaitFor(fd, POLLOUT, deadline);
    if (wait == Wait::kTimedOut) break;
    if (wait == Wait::kFailed) {
      result.failed = true;
      break;
    }
  }
  return result;
}

}  // namespace qx318::posix
