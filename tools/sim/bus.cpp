#include "sim/bus.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/output_file.h"
#include "common/stop_signal.h"
#include "sim/host_line_rate.h"
#include "sim/uart_resample.h"

namespace qx318::sim {
namespace {

// The host gives up on a write-blocked line long before this.
constexpr std::chrono::milliseconds kWriteGiveUp{2000};
// How long pacing sends at once: short enough to keep the rate even.
constexpr double kPacingSliceSeconds = 0.002;
constexpr size_t kReadChunk = 4096;
constexpr std::chrono::milliseconds kHangUpRetry{20};

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return fmt::format("{:%H:%M:%S}.{:03d}", fmt::gmtime(std::chrono::system_clock::to_time_t(now)),
                     ms);
}

// Waits until fd can take bytes; false on stop, error or after the give-up.
bool WaitWritable(int fd, int stop_fd) {
  short revents = 0;
  return tools::WaitForUnlessStopped(fd, POLLOUT, stop_fd, kWriteGiveUp, &revents) ==
             tools::Woken::kReady &&
         (revents & POLLOUT) != 0;
}

bool WriteAll(int fd, int stop_fd, const uint8_t *bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = write(fd, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (!WaitWritable(fd, stop_fd)) return false;
  }
  return true;
}

}  // namespace

bool WritePaced(int fd, int stop_fd, const std::vector<uint8_t> &bytes, uint32_t baud) {
  if (baud == 0) return WriteAll(fd, stop_fd, bytes.data(), bytes.size());
  const double seconds_per_byte = 10.0 / baud;
  const auto slice = static_cast<size_t>(kPacingSliceSeconds / seconds_per_byte) + 1;
  const auto start = std::chrono::steady_clock::now();
  for (size_t sent = 0; sent < bytes.size();) {
    const size_t count = std::min(slice, bytes.size() - sent);
    if (!WriteAll(fd, stop_fd, bytes.data() + sent, count)) return false;
    sent += count;
    // The line is busy until the last bit of these bytes has gone out.
    const auto due =
        start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(static_cast<double>(sent) * seconds_per_byte));
    if (!tools::WaitUntilUnlessStopped(stop_fd, due)) return false;
  }
  return true;
}

Bus::Bus(BusOptions options)
    : options_(std::move(options)), faults_(options_.faults, options_.seed) {
  const auto epoch = Clock::now();
  for (const DeviceConfig &config : options_.devices) {
    devices_[config.address] = std::make_unique<DeviceModel>(config, options_.seed, epoch);
  }
}

bool Bus::Start(std::string *error) {
  if (options_.state_file.empty()) return true;
  // Every save replaces the file through a temporary one beside it: a
  // folder that cannot take that fails the start, before the first request,
  // not a flash write the host believes done.
  if (std::string problem = tools::OutputFileProblem(options_.state_file); !problem.empty()) {
    *error = "--state: " + problem;
    return false;
  }
  const bool existed = access(options_.state_file.c_str(), F_OK) == 0;
  if (!LoadState(options_.state_file, &stored_, error)) return false;
  for (const auto &[address, flash] : stored_) {
    if (DeviceModel *model = device(address)) model->PowerOnWith(flash);
  }
  if (existed) return true;
  // A new file gets the factory flash at once: a folder that cannot hold
  // the file fails the start instead of every later save, silently.
  for (const auto &[address, model] : devices_) stored_[address] = model->flash();
  return SaveState(options_.state_file, stored_, error);
}

DeviceModel *Bus::device(uint8_t address) {
  const auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

void Bus::Trace(const std::string &line) const {
  if (options_.trace) options_.trace(Timestamp() + " " + line);
}

void Bus::PersistFlash() {
  if (options_.state_file.empty()) return;
  for (const auto &[address, model] : devices_) stored_[address] = model->flash();
  std::string error;
  if (!SaveState(options_.state_file, stored_, &error)) {
    Trace("state file not written: " + error);
    if (!options_.trace) {
      // Never throws: a standard error that cannot be written loses the line.
      (void)std::fprintf(stderr, "qx318-sim: state file not written: %s\n", error.c_str());
    }
  }
}

void Bus::HandleRequest(int fd, int stop_fd, const Request &request) {
  DeviceModel *model = device(request.address);
  if (model == nullptr) {
    Trace(fmt::format("→ addr {}  {}  {} (no device at this address)", request.address,
                      HexBytes(request.raw), CommandName(request.command)));
    return;
  }
  const Reply reply = model->Handle(request, Clock::now());
  Trace(fmt::format("→ addr {}  {}  {}", request.address, HexBytes(request.raw),
                    reply.request_summary));
  if (reply.flash_written) PersistFlash();
  if (!reply.answer) return;

  const Transmission plan = faults_.Plan(*reply.answer, request.address, options_.wire);
  const std::string fault = plan.fault ? " [fault: " + FaultName(*plan.fault) + "]" : "";
  if (plan.segments.empty()) {
    Trace(fmt::format("  addr {}  no answer sent{}", request.address, fault));
    return;
  }
  Trace(fmt::format("← addr {}  {}  {} → {}{}", request.address, HexBytes(plan.AllBytes()),
                    reply.request_summary, reply.answer_summary, fault));
  for (const Segment &segment : plan.segments) {
    if (!PauseUnlessStopped(stop_fd, segment.pause_before)) return;
    if (!SendSegment(fd, stop_fd, segment.bytes)) {
      Trace("answer not sent completely (line blocked or stopping)");
      return;
    }
  }
}

// The host's receiver reads the answer at its own rate; the bytes still
// take the line for as long as the host's rate gives them, which is about as
// long as the devices' bytes took.
bool Bus::SendSegment(int fd, int stop_fd, const std::vector<uint8_t> &bytes) {
  if (host_rate_ == 0) return WritePaced(fd, stop_fd, bytes, options_.wire.baud);
  const std::vector<uint8_t> heard = HeardAtRate(bytes, options_.wire.baud, host_rate_);
  Trace(fmt::format("  sent at the devices' {} baud, heard at the host's {} as: {}",
                    options_.wire.baud, host_rate_, heard.empty() ? "nothing" : HexBytes(heard)));
  return WritePaced(fd, stop_fd, heard, host_rate_);
}

std::vector<uint8_t> Bus::HearAtOwnRate(int fd, std::vector<uint8_t> arrived) {
  host_rate_ = 0;
  const uint32_t own_rate = options_.wire.baud;
  const uint32_t host_rate = TerminalLineRate(fd);
  if (host_rate == 0 || host_rate == own_rate) return arrived;
  host_rate_ = host_rate;
  std::vector<uint8_t> heard = HeardAtRate(arrived, host_rate, own_rate);
  Trace(fmt::format("→ {}  sent at the host's {} baud, heard at the devices' {} as: {}",
                    HexBytes(arrived), host_rate, own_rate,
                    heard.empty() ? "nothing" : HexBytes(heard)));
  return heard;
}

bool Bus::Serve(int fd, int stop_fd, std::string *error) {
  // Without a rate of their own (auto) the devices understand any rate, and
  // the host's is not even read.
  ArrivalFilter heard;
  if (options_.hear_at_own_rate && options_.wire.baud != 0) {
    heard = [this, fd](std::vector<uint8_t> arrived) {
      return HearAtOwnRate(fd, std::move(arrived));
    };
  }
  return ServeFrames(
      fd, stop_fd,
      [this, fd, stop_fd](const RequestParser::Result &result) {
        if (result.outcome == RequestParser::Outcome::kRejected) {
          Trace(fmt::format("→ {}  ignored: {}", HexBytes(result.raw), result.reason));
        } else if (result.outcome == RequestParser::Outcome::kRequest) {
          HandleRequest(fd, stop_fd, result.request);
        }
      },
      error, heard);
}

bool ServeFrames(int fd, int stop_fd, const FrameHandler &on_frame, std::string *error,
                 const ArrivalFilter &heard) {
  RequestParser parser;
  uint8_t buffer[kReadChunk];
  for (;;) {
    short revents = 0;
    const tools::Woken woken =
        tools::WaitForUnlessStopped(fd, POLLIN, stop_fd, std::chrono::milliseconds(-1), &revents);
    if (woken == tools::Woken::kStopped) return true;
    if (woken != tools::Woken::kReady) {
      *error = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (revents & (POLLERR | POLLNVAL)) {
      *error = "the bus descriptor failed";
      return false;
    }
    if (!(revents & POLLIN)) {
      // Hung up with nobody on the other side: wait for a host to open it.
      if (!PauseUnlessStopped(stop_fd, kHangUpRetry)) return true;
      continue;
    }
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0 && errno == EIO) {
      if (!PauseUnlessStopped(stop_fd, kHangUpRetry)) return true;
      continue;
    }
    if (n <= 0) {
      *error = n == 0 ? "the bus descriptor closed" : std::string("read: ") + std::strerror(errno);
      return false;
    }
    const auto now = Clock::now();
    const auto feed = [&](const uint8_t *bytes, size_t count) {
      for (size_t i = 0; i < count; ++i) {
        const RequestParser::Result result = parser.Feed(bytes[i], now);
        if (result.outcome != RequestParser::Outcome::kNothing) on_frame(result);
      }
    };
    if (heard) {
      const std::vector<uint8_t> bytes = heard(std::vector<uint8_t>(buffer, buffer + n));
      feed(bytes.data(), bytes.size());
    } else {
      feed(buffer, static_cast<size_t>(n));
    }
  }
}

}  // namespace qx318::sim
