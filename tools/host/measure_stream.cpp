#include "host/measure_stream.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "common/output_file.h"
#include "common/stop_signal.h"
#include "host/address_list.h"
#include "host/measurement_record.h"
#include "host/profile_plot.h"
#include "tool_support.h"

namespace qx318::host {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;

constexpr uint32_t kMaxValues = 2 * kMax14BitValue;
// A terminal redrawn at every measurement of a fast bus only flickers.
constexpr milliseconds kStatusInterval{100};
// The plot of a fast stream follows the latest profile a few times a second.
constexpr milliseconds kPlotInterval{250};

std::string UtcMicroseconds(std::chrono::system_clock::time_point when) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count() %
      1000000;
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:06d}Z",
                     fmt::gmtime(std::chrono::system_clock::to_time_t(when)), micros);
}

bool EndsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

RecordFormat ChosenFormat(const OutputStyle &style, const std::string &output) {
  if (style.json || EndsWith(output, ".json") || EndsWith(output, ".jsonl")) {
    return RecordFormat::kJson;
  }
  if (style.csv || EndsWith(output, ".csv")) return RecordFormat::kCsv;
  return RecordFormat::kText;
}

bool IsStream(const MeasureStreamOptions &o) {
  return o.every_ms.has_value() || o.count.has_value() || o.duration_s.has_value();
}

// What the run has seen so far, for the status line and the summary.
struct Tally {
  uint64_t measurements = 0;
  uint64_t failed = 0;
  std::map<int32_t, uint64_t> by_reason;
  int32_t last_failure = QX318_FAIL_NONE;
  std::string last_detail;
  std::vector<double> cycles_ms;  // from one measurement's start to the next's
  Steady::time_point first_start{};
  Steady::time_point last_end{};

  double Seconds() const {
    return measurements == 0 ? 0.0 : duration<double>(last_end - first_start).count();
  }
  double Rate() const { return Seconds() > 0 ? static_cast<double>(measurements) / Seconds() : 0; }
};

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  // The nearest-rank percentile: a value that occurred.
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

std::string StatusLine(const Tally &t) {
  std::string line =
      fmt::format("measurements {}, {:.1f}/s, failures {}", t.measurements, t.Rate(), t.failed);
  if (t.failed != 0) line += fmt::format(", last: {}", QX318_FailureText(t.last_failure));
  return line;
}

void PrintSummary(const Target &target, const Tally &t) {
  fmt::print(
      stderr,
      "qx318 measure: port {}, address {}: {} measurements, {} failed, in {:.2f} s ({:.1f}/s)\n",
      target.port, target.address, t.measurements, t.failed, t.Seconds(), t.Rate());
  for (const auto &[code, count] : t.by_reason) {
    fmt::print(stderr, "  failed with code {} ({}): {}\n", code, QX318_FailureText(code), count);
  }
  if (!t.cycles_ms.empty()) {
    fmt::print(stderr, "  cycle time: median {:.2f} ms, 99th percentile {:.2f} ms\n",
               Percentile(t.cycles_ms, 0.5), Percentile(t.cycles_ms, 0.99));
  }
}

struct FileCloser {
  void operator()(std::FILE *f) const {
    if (f != nullptr) (void)std::fclose(f);
  }
};

// One device of the stream: what it has seen, and its latest profile for
// its own plot.
struct Device {
  Target target;  // the stream's target, for this device's address
  std::string plot_path;
  Tally tally;
  std::optional<Steady::time_point> previous_start;
  Steady::time_point last_plot{};
  ProfilePlot latest_plot;
  bool pending_plot = false;
  bool plot_failed = false;  // once, at any update: the run fails
};

// The run's state: where records go, what is counted, when the status line
// and the plots were last drawn.
class Stream {
 public:
  Stream(const Target &target, const OutputStyle &style, const MeasureStreamOptions &options,
         std::FILE *out)
      : style_(style),
        options_(options),
        out_(out),
        format_(ChosenFormat(style, options.output)),
        is_stream_(IsStream(options)),
        // Records of several devices need their address, which a plain
        // one-device measurement leaves out with its number and time.
        numbered_(WantsMeasureStream(options) || target.addresses.size() > 1),
        values_(kMaxValues) {
    const bool several = target.addresses.size() > 1;
    for (const int address : target.addresses) {
      Device device;
      device.target = target;
      device.target.address = address;
      if (!options.plot.empty()) device.plot_path = PathForAddress(options.plot, address, several);
      devices_.push_back(std::move(device));
    }
  }

  bool WriteHeader() { return Write(RecordsHeader(format_)); }

  // One round: every device measured once, in turn. False when the run must
  // end (a stop on failure, an output that cannot be written, a stop asked
  // for between two devices).
  bool MeasureRound(PortHandle port, int stop_fd) {
    ++rounds_;
    for (Device &device : devices_) {
      if (&device != &devices_.front() && tools::StopRequested(stop_fd)) return false;
      if (!MeasureOnce(port, device)) return false;
    }
    return true;
  }

  // At the end: the latest profiles plotted, the status line gone, the
  // summary of a stream printed, per device.
  bool Finish() {
    ClearStatus();
    bool plotted = true;
    for (Device &device : devices_) {
      if (device.pending_plot) WritePlot(device);
      if (device.plot_failed) plotted = false;
      if (is_stream_) PrintSummary(device.target, device.tally);
    }
    return plotted;
  }

  uint64_t rounds() const { return rounds_; }
  const Tally &total() const { return total_; }
  const std::vector<Device> &devices() const { return devices_; }
  bool output_failed() const { return output_failed_; }

 private:
  bool MeasureOnce(PortHandle port, Device &device) {
    const int address = device.target.address;
    MeasurementRecord m;
    m.sequence = ++records_;
    m.address = address;
    m.values = values_;
    const auto start = Steady::now();
    m.time_utc = UtcMicroseconds(std::chrono::system_clock::now());
    const bool ok = QX318_GetMeasureEx(port, address, &m.header, values_.data(), kMaxValues) == 1;
    const auto end = Steady::now();
    if (!ok) {
      m.failure = QX318_GetLastFailure();
      m.detail = QX318_GetLastFailureDetail();
    }
    // A cycle is one device's, from one of its measurements to its next.
    if (device.previous_start) {
      device.tally.cycles_ms.push_back(
          duration<double, std::milli>(start - *device.previous_start).count());
    }
    device.previous_start = start;
    Count(device.tally, start, end, m);
    Count(total_, start, end, m);
    ClearStatus();
    if (!Write(RenderRecord(m, format_, numbered_))) return false;
    if (ok && !device.plot_path.empty()) NotePlot(device, m);
    DrawStatus();
    return ok || !options_.stop_on_failure;
  }

  static void Count(Tally &t, Steady::time_point start, Steady::time_point end,
                    const MeasurementRecord &m) {
    if (++t.measurements == 1) t.first_start = start;
    t.last_end = end;
    if (m.failure == QX318_FAIL_NONE) return;
    ++t.failed;
    ++t.by_reason[m.failure];
    t.last_failure = m.failure;
    t.last_detail = m.detail.empty() ? QX318_FailureText(m.failure) : m.detail;
  }

  bool Write(const std::string &text) {
    if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() || std::fflush(out_) != 0) {
      output_failed_ = true;
      return false;
    }
    return true;
  }

  void NotePlot(Device &device, const MeasurementRecord &m) {
    ProfilePlot &plot = device.latest_plot;
    plot.address = device.target.address;
    plot.time_utc = m.time_utc;
    plot.sequence = is_stream_ ? m.sequence : 0;
    plot.pairs.clear();
    for (size_t k = 0; k < m.header.pair_count; ++k) {
      plot.pairs.emplace_back(values_[2 * k], values_[2 * k + 1]);
    }
    device.pending_plot = true;
    if (Steady::now() - device.last_plot >= kPlotInterval) WritePlot(device);
  }

  void WritePlot(Device &device) {
    device.pending_plot = false;
    device.last_plot = Steady::now();
    std::string error;
    if (WriteProfilePlot(device.plot_path, device.latest_plot, &error)) return;
    ClearStatus();
    ReportFailure("measure", device.target, error);
    device.plot_failed = true;
  }

  void DrawStatus() {
    if (!style_.progress || !is_stream_) return;
    const auto now = Steady::now();
    if (now - last_status_ < kStatusInterval) return;
    last_status_ = now;
    fmt::print(stderr, "\r\033[K{}", StatusLine(total_));
    std::fflush(stderr);
    status_shown_ = true;
  }

  void ClearStatus() {
    if (!status_shown_) return;
    fmt::print(stderr, "\r\033[K");
    std::fflush(stderr);
    status_shown_ = false;
  }

  const OutputStyle &style_;
  const MeasureStreamOptions &options_;
  std::FILE *out_;
  RecordFormat format_;
  bool is_stream_;  // a summary and a status line; numbered plots
  bool numbered_;   // records with their number and time, also as text
  std::vector<uint16_t> values_;
  std::vector<Device> devices_;
  uint64_t rounds_ = 0;
  uint64_t records_ = 0;
  Tally total_;  // every device's, for the status line (no cycles)
  Steady::time_point last_status_{};
  bool status_shown_ = false;
  bool output_failed_ = false;
};

// Whether another round may start: the count not reached, the duration not
// over.
bool MoreWanted(const MeasureStreamOptions &o, uint64_t rounds, Steady::time_point started) {
  if (!IsStream(o)) return rounds == 0;
  if (o.count && rounds >= *o.count) return false;
  if (o.duration_s && duration<double>(Steady::now() - started).count() >= *o.duration_s) {
    return false;
  }
  return true;
}

}  // namespace

bool WantsMeasureStream(const MeasureStreamOptions &o) {
  return IsStream(o) || o.stop_on_failure || !o.output.empty() || !o.plot.empty();
}

std::string MeasureProblem(const MeasureStreamOptions &o, const OutputStyle &style) {
  if (style.csv && style.json) return "--csv and --json exclude each other";
  if (o.count && *o.count == 0) return "--count must be at least 1";
  if (o.duration_s && !(*o.duration_s > 0)) return "--duration must be above 0 seconds";
  if (!o.plot.empty() && !ProfilePlotBuiltIn()) return kNoPlotSupport;
  if (!o.plot.empty() && !EndsWith(o.plot, ".png")) return "--plot must name a .png file";
  if (o.append && o.output.empty()) return "--append needs --output";
  return {};
}

namespace {

// Where the records go: standard output; the --output file added to in
// place (--append); or a new file that replaces the old one only once the
// stream has ended (a run killed with SIGKILL leaves its records in the
// hidden temporary file beside it).
class RecordsOutput {
 public:
  explicit RecordsOutput(const MeasureStreamOptions &options) {
    if (options.output.empty()) return;
    if (options.append) {
      appended_.reset(std::fopen(options.output.c_str(), "a"));
      if (!appended_)
        error_ = fmt::format("cannot write {}: {}", options.output, std::strerror(errno));
      return;
    }
    replacing_.emplace(options.output);
    if (!replacing_->ok()) error_ = replacing_->error();
  }

  const std::string &error() const { return error_; }
  std::FILE *get() const {
    if (appended_) return appended_.get();
    return replacing_ ? replacing_->get() : stdout;
  }
  // The header goes only at the start of a file: not into one appended to.
  bool WantsHeader() const { return !appended_ || std::ftell(appended_.get()) == 0; }
  // The new file takes the target's place; false with error().
  bool Finish() {
    if (!replacing_ || replacing_->Commit()) return true;
    error_ = replacing_->error();
    return false;
  }

 private:
  std::unique_ptr<std::FILE, FileCloser> appended_;
  std::optional<tools::ReplacingFile> replacing_;
  std::string error_;
};

// The files a stream writes, checked before any traffic: the records, and
// the plot of each device.
std::string OutputFilesProblem(const MeasureStreamOptions &options,
                               const std::vector<int> &addresses) {
  std::vector<std::string> paths;
  if (!options.output.empty()) paths.push_back(options.output);
  for (const int address : addresses) {
    if (!options.plot.empty()) {
      paths.push_back(PathForAddress(options.plot, address, addresses.size() > 1));
    }
  }
  for (const std::string &path : paths) {
    if (std::string problem = tools::OutputFileProblem(path); !problem.empty()) return problem;
  }
  return {};
}

int MeasureOn(const Call &call, const MeasureStreamOptions &options) {
  if (const std::string problem = OutputFilesProblem(options, call.target().addresses);
      !problem.empty()) {
    return call.Failed(problem);
  }
  RecordsOutput output(options);
  if (!output.error().empty()) return call.Failed(output.error());
  // Ctrl-C and SIGTERM end the stream between two measurements; a second
  // one ends the tool at once, in case a measurement hangs.
  const tools::StopOnSignals stop({SIGINT, SIGTERM}, tools::SecondSignal::kEndsAtOnce);
  Stream stream(call.target(), call.style(), options, output.get());
  bool writable = !output.WantsHeader() || stream.WriteHeader();
  const milliseconds every{options.every_ms.value_or(0)};
  const auto started = Steady::now();
  auto due = started;
  while (writable && MoreWanted(options, stream.rounds(), started)) {
    if (!tools::WaitUntilUnlessStopped(stop.fd(), due)) break;
    if (!stream.MeasureRound(call.port(), stop.fd())) break;
    // A measurement that overran its slot starts the next at once, without
    // a burst to catch up.
    due = std::max(due + every, Steady::now());
  }
  const bool plotted = stream.Finish();
  if (!options.plot.empty()) ReleasePlotCaches();
  if (stream.output_failed()) {
    return call.Failed(options.output.empty() ? "the output could not be written"
                                              : fmt::format("cannot write {}", options.output));
  }
  if (!output.Finish()) return call.Failed(output.error());
  if (!IsStream(options)) {
    for (const Device &device : stream.devices()) {
      if (device.tally.failed != 0)
        ReportFailure(call.command(), device.target, device.tally.last_detail);
    }
  }
  return stream.total().failed == 0 && plotted ? kExitOk : kExitDevice;
}

}  // namespace

Body Measure(MeasureStreamOptions options) {
  return [options = std::move(options)](const Call &call) { return MeasureOn(call, options); };
}

}  // namespace qx318::host
