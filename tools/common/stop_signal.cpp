#include "common/stop_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

namespace qx318::tools {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The write end of the live StopOnSignals' pipe: a signal handler gets no
// argument to find it by.
volatile sig_atomic_t signal_pipe_write = -1;

extern "C" void WriteStopByte(int) {
  const int saved_errno = errno;
  const char byte = 1;
  (void)!write(signal_pipe_write, &byte, 1);
  errno = saved_errno;
}

int PollMilliseconds(milliseconds wait) {
  return static_cast<int>(std::clamp<int64_t>(wait.count(), 0, INT32_MAX));
}

}  // namespace

StopPipe::StopPipe() {
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
}

StopPipe::~StopPipe() {
  if (read_fd_ >= 0) close(read_fd_);
  if (write_fd_ >= 0) close(write_fd_);
}

void StopPipe::Signal() const {
  const char byte = 1;
  if (write_fd_ >= 0) (void)!write(write_fd_, &byte, 1);
}

StopOnSignals::StopOnSignals(std::initializer_list<int> signals, SecondSignal second) {
  if (!pipe_.ok()) return;
  signal_pipe_write = pipe_.write_fd();
  struct sigaction action {};
  action.sa_handler = WriteStopByte;
  // Restarted calls: a trace line or a result written as the signal comes is
  // not cut short; the waits (poll) return at once regardless.
  action.sa_flags = SA_RESTART | (second == SecondSignal::kEndsAtOnce ? SA_RESETHAND : 0);
  sigemptyset(&action.sa_mask);
  for (const int s : signals) {
    struct sigaction previous {};
    if (sigaction(s, &action, &previous) == 0) previous_.emplace_back(s, previous);
  }
}

StopOnSignals::~StopOnSignals() {
  for (const auto &[s, previous] : previous_) (void)sigaction(s, &previous, nullptr);
  signal_pipe_write = -1;
}

bool StopRequested(int stop_fd) {
  pollfd entry{stop_fd, POLLIN, 0};
  return poll(&entry, 1, 0) > 0;
}

bool WaitUntilUnlessStopped(int stop_fd, Clock::time_point due) {
  for (;;) {
    const auto left = due - Clock::now();
    if (left <= Clock::duration::zero()) return !StopRequested(stop_fd);
    if (left < milliseconds(1)) {
      // poll counts whole milliseconds; the rest keeps fast rates even.
      std::this_thread::sleep_until(due);
      return !StopRequested(stop_fd);
    }
    pollfd entry{stop_fd, POLLIN, 0};
    if (poll(&entry, 1, PollMilliseconds(std::chrono::floor<milliseconds>(left))) > 0) {
      return false;
    }
  }
}

bool PauseUnlessStopped(int stop_fd, milliseconds duration) {
  return WaitUntilUnlessStopped(stop_fd, Clock::now() + duration);
}

Woken WaitForUnlessStopped(int fd, short events, int stop_fd, milliseconds timeout,
                           short *revents) {
  const bool forever = timeout.count() < 0;
  const auto due = Clock::now() + (forever ? milliseconds(0) : timeout);
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    const int wait =
        forever ? -1 : PollMilliseconds(std::chrono::ceil<milliseconds>(due - Clock::now()));
    const int ready = poll(fds, 2, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Woken::kFailed;
    if (fds[1].revents & POLLIN) return Woken::kStopped;
    if (ready == 0) return Woken::kTimedOut;
    if (revents != nullptr) *revents = fds[0].revents;
    return Woken::kReady;
  }
}

}  // namespace qx318::tools
