#include "port/posix/timed_io.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace qx318::posix {
namespace {

using Milliseconds = std::chrono::milliseconds;

constexpr uint32_t kNoWaitInterval = 0xFFFFFFFFu;

// Milliseconds poll may wait before the deadline passes, rounded up so that
// a wait never ends just short of it; -1 without a deadline, 0 when passed.
int PollTimeout(Deadline deadline) {
  if (!deadline) return -1;
  const auto left = *deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<Milliseconds>(left).count();
  return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

// When a read must end: the total and, once a byte came, the gap after it.
class ReadDeadlines {
 public:
  ReadDeadlines(const CommTimeouts &timeouts, uint32_t count, const ReadExtras &extras)
      : return_at_once_(ReturnsAtOnce(timeouts)),
        gap_applies_(!return_at_once_ && timeouts.ReadIntervalTimeout != 0),
        gap_(uint64_t{timeouts.ReadIntervalTimeout} + extras.allowance_ms) {
    total_ = return_at_once_
                 ? Deadline(Clock::now())
                 : TotalDeadline(Clock::now(), timeouts.ReadTotalTimeoutMultiplier,
                                 timeouts.ReadTotalTimeoutConstant, count, extras.allowance_ms);
    if (gap_applies_ && extras.gap_from) gap_end_ = *extras.gap_from + gap_;
  }

  void ByteArrived() {
    if (gap_applies_) gap_end_ = Clock::now() + gap_;
  }
  Deadline Next() const { return Earliest(total_, gap_end_); }

 private:
  bool return_at_once_;
  bool gap_applies_;
  Milliseconds gap_;
  Deadline total_;
  Deadline gap_end_;
};

// A terminal's descriptor, with or without a read-ahead buffer.
class DescriptorSource final : public ReadSource {
 public:
  DescriptorSource(int fd, ReceiveBuffer *buffer) : fd_(fd), buffer_(buffer) {}

  uint32_t TakeReadAhead(uint8_t *bytes, uint32_t count) override {
    return buffer_ != nullptr ? buffer_->Take(bytes, count) : 0;
  }

  bool QueueLikelyEmpty() const override {
    return buffer_ != nullptr && buffer_->kernel_queue_empty;
  }

  // In raw mode with VMIN and VTIME 0 a terminal reports "no data yet" as a
  // read of 0, not EAGAIN; a hang-up shows in poll.
  ReadStep Pull(uint8_t *bytes, uint32_t wanted) override {
    const ssize_t got = ReadOnce(bytes, wanted);
    if (got > 0) return {static_cast<uint32_t>(got), false, false};
    return {0, got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR, got == 0};
  }

  Wait Await(Deadline deadline) override { return WaitFor(fd_, POLLIN, deadline); }

 private:
  // One read from the descriptor. Without a buffer it asks for the wanted
  // bytes alone. With one (empty by now: a read takes what it holds first)
  // the same call also takes up to a buffer's worth of what follows, and
  // notes whether the kernel's queue was left empty. Returns the bytes that
  // went to the caller, or what read returned when nothing came.
  ssize_t ReadOnce(uint8_t *bytes, uint32_t wanted) {
    if (buffer_ == nullptr) return read(fd_, bytes, wanted);
    const uint32_t room = buffer_->room_size();
    iovec parts[2] = {{bytes, wanted}, {buffer_->room(), room}};
    const ssize_t got = readv(fd_, parts, 2);
    buffer_->kernel_queue_empty = got < static_cast<ssize_t>(wanted) + room;
    if (got <= static_cast<ssize_t>(wanted)) return got;
    buffer_->Appended(static_cast<uint32_t>(got) - wanted);
    return wanted;
  }

  int fd_;
  ReceiveBuffer *buffer_;
};

bool Failure(Wait wait) { return wait == Wait::kFailed || wait == Wait::kGone; }

}  // namespace

Deadline TotalDeadline(Clock::time_point start, uint32_t multiplier, uint32_t constant,
                       uint32_t count, uint32_t allowance_ms) {
  if (multiplier == 0 && constant == 0) return std::nullopt;
  return start + Milliseconds(uint64_t{multiplier} * count + constant + allowance_ms);
}

Deadline Earliest(Deadline a, Deadline b) {
  if (!a) return b;
  if (!b) return a;
  return *a < *b ? a : b;
}

bool Passed(Deadline deadline) { return deadline && Clock::now() >= *deadline; }

bool ReturnsAtOnce(const CommTimeouts &timeouts) {
  return timeouts.ReadIntervalTimeout == kNoWaitInterval &&
         timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0;
}

Wait WaitFor(int fd, short events, Deadline deadline) {
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
    return Wait::kGone;
  }
}

TransferResult ReadWithTimeouts(ReadSource &source, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts, const ReadExtras &extras) {
  TransferResult result;
  if (count == 0) return result;
  // Bytes read ahead are taken as a read of the kernel's queue would take
  // them; a read they satisfy needs no clock.
  result.count = source.TakeReadAhead(bytes, count);
  if (result.count == count) return result;
  ReadDeadlines deadlines(timeouts, count, extras);
  if (result.count > 0) deadlines.ByteArrived();

  // After a read that left the kernel's queue empty, wait first: poll
  // returns at once when bytes came meanwhile, and a read now would only
  // find nothing. A deadline that has passed makes that wait a look.
  bool wait_first = source.QueueLikelyEmpty();
  bool hung_up = false;

  while (result.count < count) {
    if (!wait_first) {
      const ReadStep step = source.Pull(bytes + result.count, count - result.count);
      if (step.failed || (step.ended && hung_up)) {
        result.failed = true;
        break;
      }
      if (step.count > 0) {
        result.count += step.count;
        if (result.count == count) break;
        deadlines.ByteArrived();
        wait_first = source.QueueLikelyEmpty();
        continue;
      }
      if (Passed(deadlines.Next())) break;
    }
    wait_first = false;
    const Wait wait = source.Await(deadlines.Next());
    hung_up = wait == Wait::kHungUp;
    if (wait == Wait::kTimedOut) break;
    if (Failure(wait)) {
      result.failed = true;
      break;
    }
  }
  return result;
}

TransferResult ReadWithTimeouts(int fd, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts) {
  DescriptorSource source(fd, nullptr);
  return ReadWithTimeouts(source, bytes, count, timeouts);
}

TransferResult ReadWithTimeouts(int fd, ReceiveBuffer &buffer, uint8_t *bytes, uint32_t count,
                                const CommTimeouts &timeouts) {
  DescriptorSource source(fd, &buffer);
  return ReadWithTimeouts(source, bytes, count, timeouts);
}

TransferResult WriteWithTimeouts(int fd, const uint8_t *bytes, uint32_t count,
                                 const CommTimeouts &timeouts) {
  TransferResult result;
  const auto deadline = TotalDeadline(Clock::now(), timeouts.WriteTotalTimeoutMultiplier,
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
    if (Failure(wait)) {
      result.failed = true;
      break;
    }
  }
  return result;
}

}  // namespace qx318::posix
