// How both tools are told to stop: a descriptor that becomes readable once a
// stop was asked for, by SIGINT/SIGTERM or by another thread, so that every
// wait of a serving loop or a measurement stream can watch it beside its own
// descriptors and wake at once.
#pragma once

#include <signal.h>

#include <chrono>
#include <initializer_list>
#include <utility>
#include <vector>

namespace qx318::tools {

// A non-blocking, close-on-exec pipe whose read end becomes readable once
// Signal() was called; Signal() is async-signal-safe.
class StopPipe {
 public:
  StopPipe();
  ~StopPipe();
  StopPipe(const StopPipe &) = delete;
  StopPipe &operator=(const StopPipe &) = delete;
  bool ok() const { return read_fd_ >= 0; }
  int read_fd() const { return read_fd_; }
  int write_fd() const { return write_fd_; }
  void Signal() const;

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// What a second stop signal does while the first is being honoured.
enum class SecondSignal {
  kEndsAtOnce,  // the default action: a hanging measurement cannot keep the tool
  kIgnored,     // the guards (a --link symlink) still get to clean up
};

// Turns the given signals into a stop on the pipe for its lifetime and puts
// the previous handlers back afterwards. One at a time in a process: the
// handler finds the pipe through the one process-wide variable a signal
// handler allows.
class StopOnSignals {
 public:
  StopOnSignals(std::initializer_list<int> signals, SecondSignal second);
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals &) = delete;
  StopOnSignals &operator=(const StopOnSignals &) = delete;
  bool ok() const { return pipe_.ok() && !previous_.empty(); }
  int fd() const { return pipe_.read_fd(); }

 private:
  StopPipe pipe_;
  std::vector<std::pair<int, struct sigaction>> previous_;
};

// Whether stop_fd is readable now. A negative stop_fd never stops.
bool StopRequested(int stop_fd);

// Waits until due; false when stop_fd became readable first (or was). Exact
// below a millisecond: paced writes at fast line rates wait that little.
bool WaitUntilUnlessStopped(int stop_fd, std::chrono::steady_clock::time_point due);

// Waits for the duration; false when stop_fd became readable first.
bool PauseUnlessStopped(int stop_fd, std::chrono::milliseconds duration);

// What woke a wait for a descriptor.
enum class Woken { kReady, kStopped, kTimedOut, kFailed };

// Waits until fd has one of events (or an error or hang-up), stop_fd became
// readable, or the timeout passed (negative: none). A stop wins over a
// ready descriptor; an interrupted wait goes on.
Woken WaitForUnlessStopped(int fd, short events, int stop_fd, std::chrono::milliseconds timeout,
                           short *revents = nullptr);

}  // namespace qx318::tools
