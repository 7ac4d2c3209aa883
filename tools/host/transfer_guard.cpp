#include "host/transfer_guard.h"

#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace qx318::host {
namespace {

using Steady = std::chrono::steady_clock;

// A byte on the line is a start bit, 8 data bits and a stop bit.
constexpr double kBitsPerByte = 10;

// The stop bytes waiting in the pipe; each is one signal.
int DrainStops(int fd) {
  char bytes[16];
  const ssize_t got = read(fd, bytes, sizeof bytes);
  return got > 0 ? static_cast<int>(got) : 0;
}

}  // namespace

TransferGuard::TransferGuard(const Call &call)
    : call_(call), signals_({SIGINT, SIGTERM}, tools::SecondSignal::kIgnored) {
  if (signals_.ok() && finished_.ok()) watcher_ = std::thread([this] { Watch(); });
}

TransferGuard::~TransferGuard() {
  finished_.Signal();
  if (watcher_.joinable()) watcher_.join();
}

void TransferGuard::OnSize(uint32_t row_count, uint32_t row_length) {
  row_length_.store(row_length);
  row_count_.store(row_count);
}

void TransferGuard::OnRows(uint32_t rows_done) { rows_done_.store(rows_done); }

std::optional<double> TransferGuard::SecondsLeft() const {
  const uint32_t rows = row_count_.load();
  const uint32_t done = rows_done_.load();
  if (rows == 0) return std::nullopt;
  const double bytes_left = static_cast<double>(rows - std::min(done, rows)) * row_length_.load();
  const double seconds = std::chrono::duration<double>(Steady::now() - started_).count();
  // The rate seen so far includes the device's own pauses; before the first
  // row only the line rate is known.
  const double bytes_per_second = done != 0 && seconds > 0
                                      ? static_cast<double>(done) * row_length_.load() / seconds
                                      : call_.target().baud / kBitsPerByte;
  return bytes_left / bytes_per_second;
}

void TransferGuard::Say(const std::string &what) const {
  const std::string line =
      fmt::format("{}qx318 {}: port {}, address {}: {}\n", call_.style().progress ? "\n" : "",
                  call_.command(), call_.target().port, call_.address(), what);
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

void TransferGuard::Watch() {
  int stops = 0;
  for (;;) {
    pollfd fds[2] = {{signals_.fd(), POLLIN, 0}, {finished_.read_fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int before = stops;
    stops += DrainStops(signals_.fd());
    if (before == 0 && stops >= 1) {
      interrupted_.store(true);
      const std::optional<double> left = SecondsLeft();
      Say(
          fmt::format("interrupted: finishing the transfer so that the bus is free ({}); "
                      "Ctrl-C again to abandon it",
                      left ? fmt::format("about {:.0f} s left at the current rate", *left)
                           : std::string("the image's size is not known yet")));
    }
    if (stops >= 2) {
      const std::optional<double> left = SecondsLeft();
      Say(left ? fmt::format("transfer abandoned: the device may keep the bus busy for about "
                             "{:.0f} s more",
                             *left)
               : std::string("transfer abandoned: the device may keep the bus busy until its "
                             "image is sent"));
      // The main thread is inside the library's read: nothing is written
      // yet, so there is nothing to clean up but the process.
      _exit(kExitInterrupted);
    }
  }
}

}  // namespace qx318::host
