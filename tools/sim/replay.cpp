#include "sim/replay.h"

#include <fmt/format.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "../../src/diagnostics/trace_fields.h"  // the one header of the library's it may reach
#include "sim/bus.h"
#include "sim/wire_format.h"

namespace qx318::sim {
namespace {

namespace fields = trace_fields;

// The key=value fields of one trace line, up to the first quoted value (a
// failure's detail, which the replay does not need).
std::map<std::string, std::string> Fields(const std::string &line) {
  std::map<std::string, std::string> fields;
  std::istringstream in(line);
  for (std::string word; in >> word;) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos) continue;
    const std::string value = word.substr(equals + 1);
    if (!value.empty() && value.front() == '"') break;
    fields[word.substr(0, equals)] = value;
  }
  return fields;
}

bool ParseHex(const std::string &text, std::vector<uint8_t> *out) {
  out->clear();
  if (text == fields::kNoBytes) return true;
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = text[j];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    out->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

uint64_t Microseconds(const std::map<std::string, std::string> &line) {
  const auto it = line.find(fields::kTime);
  return it == line.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

// Per port, the exchanges in file order; a TX waits for the RX that follows
// it on the same port.
struct PortExchanges {
  std::vector<RecordedExchange> done;
  std::optional<RecordedExchange> open;
};

bool ReadExchanges(std::istream &in, std::map<std::string, PortExchanges> *ports,
                   std::string *error) {
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const auto words = Fields(line);
    const auto dir = words.find(fields::kDirection);
    const auto port = words.find(fields::kPort);
    if (dir == words.end() || port == words.end()) continue;
    PortExchanges &exchanges = (*ports)[port->second];
    const auto bytes = words.find(fields::kBytes);
    if (dir->second == fields::kRequest) {
      if (exchanges.open) exchanges.done.push_back(*exchanges.open);  // no RX: silence
      RecordedExchange exchange;
      exchange.line = number;
      exchange.request_us = Microseconds(words);
      if (bytes == words.end() || !ParseHex(bytes->second, &exchange.request)) {
        *error = fmt::format("line {}: a request without readable bytes", number);
        return false;
      }
      exchanges.open = exchange;
    } else if (dir->second == fields::kAnswer && exchanges.open) {
      RecordedExchange &exchange = *exchanges.open;
      if (bytes == words.end() || !ParseHex(bytes->second, &exchange.answer)) {
        *error = fmt::format("line {}: an answer without readable bytes", number);
        return false;
      }
      exchange.answer_us = Microseconds(words);
      const auto crc = words.find(fields::kCrc);
      exchange.whole_frame =
          crc != words.end() && (crc->second == fields::kCrcGood || crc->second == fields::kCrcBad);
      exchanges.done.push_back(exchange);
      exchanges.open.reset();
    }
  }
  return true;
}

}  // namespace

std::optional<Recording> LoadRecording(const std::string &path, const std::string &port,
                                       std::string *error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read the trace " + path;
    return std::nullopt;
  }
  std::map<std::string, PortExchanges> ports;
  if (!ReadExchanges(in, &ports, error)) {
    *error = path + ": " + *error;
    return std::nullopt;
  }
  std::set<std::string> with_exchanges;
  for (auto &[name, exchanges] : ports) {
    if (exchanges.open) exchanges.done.push_back(*exchanges.open);
    if (!exchanges.done.empty()) with_exchanges.insert(name);
  }
  if (with_exchanges.empty()) {
    *error = path + " holds no recorded request (a trace written with QX318_TRACE)";
    return std::nullopt;
  }
  std::string chosen = port;
  if (chosen.empty() && with_exchanges.size() == 1) chosen = *with_exchanges.begin();
  if (with_exchanges.count(chosen) == 0) {
    std::string names;
    for (const std::string &name : with_exchanges) names += (names.empty() ? "" : ", ") + name;
    *error =
        fmt::format("{}: {} (choose one with --replay-port: {})", path,
                    port.empty() ? "exchanges on several ports" : "no exchange on " + port, names);
    return std::nullopt;
  }
  return Recording{chosen, std::move(ports[chosen].done)};
}

Replayer::Replayer(Recording recording, ReplayOptions options)
    : recording_(std::move(recording)), options_(std::move(options)) {}

bool Replayer::Serve(int fd, int stop_fd, std::string *error) {
  return ServeFrames(
      fd, stop_fd,
      [this, fd, stop_fd](const RequestParser::Result &result) {
        if (result.outcome == RequestParser::Outcome::kRequest) {
          Answer(fd, stop_fd, result.request.raw);
        } else {
          ReportMismatch(result.raw, "a request the device would ignore (" + result.reason + ")");
        }
      },
      error);
}

void Replayer::ReportMismatch(const std::vector<uint8_t> &request, const std::string &why) {
  ++mismatches_;
  if (!options_.report) return;
  if (next_ >= recording_.exchanges.size()) {
    options_.report(
        fmt::format("qx318-sim: request after the last of {} recorded exchanges, not answered:\n"
                    "  received {}",
                    recording_.exchanges.size(), HexBytes(request, 1000)));
    return;
  }
  const RecordedExchange &expected = recording_.exchanges[next_];
  options_.report(fmt::format(
      "qx318-sim: request {} does not match the recording ({}), not answered:\n"
      "  received {}\n  recorded {}  (trace line {})",
      next_ + 1, why, HexBytes(request, 1000), HexBytes(expected.request, 1000), expected.line));
}

void Replayer::Answer(int fd, int stop_fd, const std::vector<uint8_t> &request) {
  if (next_ >= recording_.exchanges.size() || recording_.exchanges[next_].request != request) {
    ReportMismatch(request, "other bytes");
    return;
  }
  const RecordedExchange &exchange = recording_.exchanges[next_++];
  if (options_.trace) {
    options_.trace(fmt::format("→ {}  request {} of {} (trace line {})", HexBytes(request), next_,
                               recording_.exchanges.size(), exchange.line));
  }
  if (exchange.answer.empty()) {
    if (options_.trace) options_.trace("  no answer, as recorded");
    return;
  }
  if (options_.recorded_timing && exchange.whole_frame &&
      exchange.answer_us > exchange.request_us) {
    // The last byte leaves when it arrived in the recording.
    const double sending_us =
        options_.baud == 0 ? 0.0
                           : 1e7 * static_cast<double>(exchange.answer.size()) / options_.baud;
    const double wait_us =
        static_cast<double>(exchange.answer_us - exchange.request_us) - sending_us;
    if (wait_us > 0 && !PauseUnlessStopped(stop_fd, std::chrono::milliseconds(
                                                        static_cast<int64_t>(wait_us / 1000)))) {
      return;
    }
  }
  if (options_.trace) options_.trace(fmt::format("← {}", HexBytes(exchange.answer)));
  (void)WritePaced(fd, stop_fd, exchange.answer, options_.baud);
}

}  // namespace qx318::sim
