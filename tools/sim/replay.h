// A recorded bus, served again: the exchanges of a frame trace the library
// wrote (QX318_TRACE) are answered in order, each arriving request with the
// bytes that were received for it when it was recorded, so that a failure
// seen once at a bench repeats on any machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qx318::sim {

struct RecordedExchange {
  std::vector<uint8_t> request;  // the TX line's bytes
  std::vector<uint8_t> answer;   // the RX line's bytes; empty: silence
  // Whether the recorded answer ended with a whole frame (crc=good or bad):
  // its recorded duration is then the device's; otherwise it is mostly the
  // host's own time-out.
  bool whole_frame = false;
  uint64_t request_us = 0;  // the TX line's time
  uint64_t answer_us = 0;   // the RX line's time (the end of the exchange)
  size_t line = 0;          // of the TX line, for messages
};

struct Recording {
  std::string port;  // the port name the exchanges were traced on
  std::vector<RecordedExchange> exchanges;
};

// Reads a trace file. When it holds exchanges on several ports, port names
// the one to serve (a trace name as written in the file); otherwise port may
// be empty. On failure, nullopt with a message.
std::optional<Recording> LoadRecording(const std::string &path, const std::string &port,
                                       std::string *error);

struct ReplayOptions {
  bool recorded_timing = false;  // answer with the recorded delays
  uint32_t baud = 0;             // pace the answers (0: as fast as the line takes them)
  // Receives each mismatch report and, with a trace, each exchange.
  std::function<void(const std::string &)> report;
  std::function<void(const std::string &)> trace;
};

class Replayer {
 public:
  Replayer(Recording recording, ReplayOptions options);

  // Serves requests on fd until stop_fd becomes readable (true) or fd fails
  // (false, with a message).
  bool Serve(int fd, int stop_fd, std::string *error);

  size_t served() const { return next_; }
  size_t recorded() const { return recording_.exchanges.size(); }
  size_t mismatches() const { return mismatches_; }

 private:
  void Answer(int fd, int stop_fd, const std::vector<uint8_t> &request);
  void ReportMismatch(const std::vector<uint8_t> &request, const std::string &why);

  Recording recording_;
  ReplayOptions options_;
  size_t next_ = 0;
  size_t mismatches_ = 0;
};

}  // namespace qx318::sim
