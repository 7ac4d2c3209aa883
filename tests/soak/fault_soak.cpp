// The fault soak: every command, many times, against simulated devices whose
// answers suffer every fault the simulator injects, at a seeded rate.
//
// Each bus is a pseudo-terminal with one simulated device behind it (the
// simulator's device model and fault injection) and one host thread that
// calls the library on it; the buses run side by side. For every call:
//  - a success must carry exactly the values the device sent, and must not
//    come from an answer that a fault made unreadable;
//  - a failure must leave the caller's outputs as they were (the image
//    functions clear the header, and their pixels may hold part of an image,
//    unless the image was refused for its size);
//  - no byte past the outputs the call was given may change;
//  - the call must end within the bound the time-outs give: one wait of
//    1.1 s for a byte that does not come, one 100 ms gap, and the pauses the
//    device itself made;
//  - after a failure, the next exchange, with a clean answer, must succeed.
//
// It prints one line of figures and exits non-zero when a must-be-zero
// figure is not zero. Options: --exchanges N (all buses together), --buses N,
// --rate P (per fault kind), --seed N.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "QX318_RS485.h"
#include "pty_device.h"
#include "sim/device_model.h"
#include "sim/faults.h"
#include "wire_oracle.h"

namespace qx318::soak {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::Bytes;
using test::Chunk;

constexpr uint8_t kAddress = 3;
constexpr milliseconds kFirstByteWait{1100};
constexpr milliseconds kGap{100};
constexpr milliseconds kStall{300};
// What a call may take beyond its bound on a loaded machine before it counts
// as held: scheduling, not the library's waits.
constexpr milliseconds kTolerance{1000};
constexpr milliseconds kTransfer{200};

// The device's configuration: answers that fit the pseudo-terminal's buffer
// in one write, so that a clean answer never pauses on the way.
constexpr uint16_t kRows = 24;
constexpr uint16_t kRowLength = 40;
constexpr uint16_t kPairs = 64;
constexpr size_t kImageBytes = size_t{kRows} * kRowLength;
constexpr size_t kGuard = 32;

struct Options {
  uint32_t exchanges = 3000;
  uint32_t buses = 8;
  double rate = 0.03;
  uint64_t seed = 1;
};

enum class Call {
  kHello,
  kReadParameter,
  kWriteParameter,
  kFlushParams,
  kRestoreParams,
  kGetMeasure,
  kGetMeasureEx,
  kLockResult,
  kGetImage,
  kGetImageEx,
  kRotateAxis,
  kGetAngle,
  kFlushAngle,
  kRestoreAngle,
};
constexpr int kCallCount = 14;

const char *CallName(Call call) {
  static const char *const kNames[] = {"hello",
                                       "read parameter",
                                       "write parameter",
                                       "flush parameters",
                                       "restore parameters",
                                       "measure",
                                       "measure ex",
                                       "lock result",
                                       "image",
                                       "image ex",
                                       "rotate axis",
                                       "rotation angle",
                                       "flush angle",
                                       "restore angle"};
  return kNames[static_cast<int>(call)];
}

// ------------------------------------------------------------ the device

// What the device did with one request: the answer it meant to send (before
// any fault) and the fault that hit it.
struct Record {
  uint8_t command = 0;
  Bytes request_data;
  std::optional<sim::Answer> answer;
  std::optional<sim::FaultKind> fault;
};

class SimulatedBus {
 public:
  SimulatedBus(uint64_t seed, double rate)
      : model_(sim::DeviceConfig{kAddress, kRows, kRowLength, kPairs}, seed, Clock::now()),
        faulty_(Rules(rate), seed),
        clean_({}, seed) {
    wire_.noise_bytes = 2;
    wire_.stall = kStall;
    device_.ServeScripted([this](const Bytes &frame) { return Answer(frame); });
  }

  const std::string &path() const { return device_.slave_path(); }

  // The next answer goes out without a fault.
  void CleanNext() { clean_next_ = true; }

  // The record of the request with this number (from 0), once the device
  // has taken it; nullopt when it does not come.
  std::optional<Record> WaitForRecord(size_t number) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(10),
                           [&] { return records_.size() > number; })) {
      return std::nullopt;
    }
    return records_[number];
  }

 private:
  static std::vector<sim::FaultRule> Rules(double rate) {
    std::vector<sim::FaultRule> rules;
    for (sim::FaultKind kind : sim::kAllFaultKinds) rules.push_back({kind, rate, 0});
    return rules;
  }

  std::vector<Chunk> Answer(const Bytes &frame) {
    const auto decoded = test::DecodeRequest(frame);
    if (!decoded || !decoded->crc_ok) return {};
    sim::Request request;
    request.address = decoded->address;
    request.command = decoded->command;
    request.data = decoded->data;
    request.raw = frame;
    Record record{request.command, request.data, std::nullopt, std::nullopt};
    std::vector<Chunk> chunks;
    if (request.address == kAddress) {
      const sim::Reply reply = model_.Handle(request, Clock::now());
      record.answer = reply.answer;
      if (reply.answer) {
        sim::FaultInjector &injector = clean_next_.exchange(false) ? clean_ : faulty_;
        const sim::Transmission plan = injector.Plan(*reply.answer, kAddress, wire_);
        record.fault = plan.fault;
        for (const sim::Segment &segment : plan.segments) {
          chunks.push_back({segment.bytes, segment.pause_before});
        }
      }
    }
    {
      std::lock_guard lock(mutex_);
      records_.push_back(std::move(record));
    }
    changed_.notify_all();
    return chunks;
  }

  sim::DeviceModel model_;
  sim::FaultInjector faulty_;
  sim::FaultInjector clean_;
  sim::WireOptions wire_;
  std::atomic<bool> clean_next_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Record> records_;
  test::PtyDevice device_;  // last: its thread stops before the rest goes
};

// ------------------------------------------------------------ expected values

uint32_t Decode(const std::vector<uint8_t> &bytes, size_t at, size_t groups) {
  uint32_t value = 0;
  for (size_t i = 0; i < groups && at + i < bytes.size(); ++i) {
    value |= static_cast<uint32_t>(bytes[at + i] & 0x7Fu) << (7 * i);
  }
  return value;
}

// The outputs of one call, each followed by guard bytes, filled with a
// pattern the library never produces by chance in every byte.
struct Outputs {
  static constexpr uint8_t kFill = 0xA7;
  HelloAnswer hello;
  uint16_t value16;
  int32_t value32;
  MeasureHeader measure_header;
  std::vector<uint16_t> values;
  ImageHeader image_header;
  std::vector<uint8_t> pixels;
  size_t value_capacity = 0;  // what an Ex call is told
  size_t pixel_capacity = 0;

  Outputs() : values(2 * 16383 + kGuard), pixels(2 * kImageBytes + kGuard) { Fill(); }

  void Fill() {
    std::memset(&hello, kFill, sizeof hello);
    std::memset(&value16, kFill, sizeof value16);
    std::memset(&value32, kFill, sizeof value32);
    std::memset(&measure_header, kFill, sizeof measure_header);
    std::memset(values.data(), kFill, values.size() * sizeof(uint16_t));
    std::memset(&image_header, kFill, sizeof image_header);
    std::memset(pixels.data(), kFill, pixels.size());
  }
};

template <typename T>
bool Untouched(const T &object) {
  const auto *bytes = reinterpret_cast<const uint8_t *>(&object);
  return std::all_of(bytes, bytes + sizeof(T), [](uint8_t b) { return b == Outputs::kFill; });
}

bool RangeUntouched(const uint8_t *bytes, size_t count) {
  return std::all_of(bytes, bytes + count, [](uint8_t b) { return b == Outputs::kFill; });
}

bool ValuesUntouchedFrom(const Outputs &out, size_t first) {
  const auto *bytes = reinterpret_cast<const uint8_t *>(out.values.data());
  return RangeUntouched(bytes + first * 2, (out.values.size() - first) * 2);
}

// Where the call may write: what it was told it may, or, for the calls told
// no capacity, what the device's answer needs.
size_t PixelRoom(Call call, const Outputs &out) {
  return call == Call::kGetImageEx ? out.pixel_capacity : 2 * kImageBytes;
}
size_t ValueRoom(Call call, const Outputs &out) {
  return call == Call::kGetMeasureEx ? out.value_capacity : 2 * 16383;
}

// Faults after which no answer can be read correctly: a success would be a
// wrong one. A well-formed answer one data byte too long still passes the
// flash commands, which look only at the echoed byte; a measurement must
// refuse it, since its length no longer matches its pair count.
bool FaultForbidsSuccess(Call call, const Record &record) {
  if (!record.fault) return false;
  if (*record.fault != sim::FaultKind::kWrongLength) return true;
  switch (call) {
    case Call::kFlushParams:
    case Call::kRestoreParams:
    case Call::kFlushAngle:
    case Call::kRestoreAngle:
      return false;
    default:
      return true;
  }
}

// Whether the device's clean answer leads to success, and for successes
// whether the outputs hold exactly its values.
struct Verdict {
  bool should_succeed = false;
  bool values_match = false;
};

Verdict Judge(Call call, const Record &record, const Outputs &out, uint8_t action) {
  Verdict v;
  if (!record.answer) {  // write parameter, lock result: the request is all
    v.should_succeed = v.values_match = true;
    return v;
  }
  const sim::Answer &a = *record.answer;
  const std::vector<uint8_t> &d = a.data;
  switch (call) {
    case Call::kHello:
      v.should_succeed = d.size() == 15;
      v.values_match = out.hello.value1 == Decode(d, 0, 2) && out.hello.value2 == Decode(d, 2, 1) &&
                       out.hello.value3 == Decode(d, 3, 4) && out.hello.value4 == Decode(d, 7, 2) &&
                       out.hello.value5 == Decode(d, 9, 2) &&
                       out.hello.value6 == Decode(d, 11, 2) &&
                       out.hello.value7 == Decode(d, 13, 2) && out.hello.unused3 == Outputs::kFill;
      break;
    case Call::kReadParameter:
      v.should_succeed = d.size() == 2;
      v.values_match = out.value16 == (Decode(d, 0, 2) & 0xFFFF);
      break;
    case Call::kFlushParams:
    case Call::kRestoreParams:
    case Call::kFlushAngle:
    case Call::kRestoreAngle:
      v.should_succeed = !d.empty() && (d[0] & 0x7F) == action;
      v.values_match = true;
      break;
    case Call::kGetMeasure:
    case Call::kGetMeasureEx: {
      const uint32_t pairs = Decode(d, 1, 2);
      v.should_succeed = d.size() == 3 + 4 * size_t{pairs} &&
                         (call == Call::kGetMeasure || 2 * pairs <= out.value_capacity);
      v.values_match = out.measure_header.lead_byte == Decode(d, 0, 1) &&
                       out.measure_header.pair_count == pairs &&
                       out.measure_header.unused1 == Outputs::kFill;
      for (uint32_t j = 0; j < 2 * pairs && v.values_match; ++j) {
        v.values_match = out.values[j] == Decode(d, 3 + 2 * size_t{j}, 2);
      }
      v.values_match = v.values_match && ValuesUntouchedFrom(out, 2 * size_t{pairs});
      break;
    }
    case Call::kGetImage:
    case Call::kGetImageEx: {
      const size_t size = size_t{a.row_count} * a.row_length;
      v.should_succeed = call == Call::kGetImage || size <= out.pixel_capacity;
      v.values_match = out.image_header.row_count == a.row_count &&
                       out.image_header.row_length == a.row_length &&
                       out.image_header.word3 == a.word3 && out.image_header.word4 == a.word4;
      for (size_t i = 0; i < size && v.values_match; ++i) {
        v.values_match = out.pixels[i] == (d[i] & 0x7F);
      }
      break;
    }
    case Call::kRotateAxis:
    case Call::kGetAngle:
      v.should_succeed = d.size() == 5;
      v.values_match =
          static_cast<uint32_t>(out.value32) ==
          (Decode(d, 0, 4) | (static_cast<uint32_t>(d.size() > 4 ? d[4] & 0x0F : 0) << 28));
      break;
    case Call::kWriteParameter:
    case Call::kLockResult:
      break;
  }
  return v;
}

// A failure leaves the outputs as they were; the image calls clear their
// header and may have written pixels, except when the image was refused for
// its size before any row was read.
bool FailureLeftOutputsAlone(Call call, const Record &record, const Outputs &out) {
  switch (call) {
    case Call::kHello:
      return Untouched(out.hello);
    case Call::kReadParameter:
      return Untouched(out.value16);
    case Call::kGetMeasure:
    case Call::kGetMeasureEx:
      return Untouched(out.measure_header) && ValuesUntouchedFrom(out, 0);
    case Call::kRotateAxis:
    case Call::kGetAngle:
      return Untouched(out.value32);
    case Call::kGetImage:
    case Call::kGetImageEx: {
      const ImageHeader zero{};
      if (std::memcmp(&out.image_header, &zero, sizeof zero) != 0) return false;
      const bool refused_for_size =
          call == Call::kGetImageEx && !record.fault && record.answer &&
          size_t{record.answer->row_count} * record.answer->row_length > out.pixel_capacity;
      return !refused_for_size || RangeUntouched(out.pixels.data(), out.pixels.size());
    }
    default:
      return true;
  }
}

// Bytes past what the call may write are never touched, success or not.
bool GuardsIntact(Call call, const Outputs &out) {
  const size_t pixel_room = PixelRoom(call, out);
  const size_t value_room = ValueRoom(call, out);
  return RangeUntouched(out.pixels.data() + pixel_room, out.pixels.size() - pixel_room) &&
         ValuesUntouchedFrom(out, value_room);
}

// ------------------------------------------------------------ the host side

struct Figures {
  uint64_t exchanges = 0;
  uint64_t faults = 0;
  uint64_t failures = 0;
  uint64_t wrong_successes = 0;
  uint64_t outputs_touched = 0;
  uint64_t unexpected_failures = 0;
  uint64_t failed_recoveries = 0;
  uint64_t lost_requests = 0;
  milliseconds longest{0};
  milliseconds longest_bound{0};
  milliseconds worst_overrun{std::numeric_limits<milliseconds::rep>::min()};
  std::map<std::string, uint64_t> fault_kinds;
  std::map<std::string, uint64_t> calls;
  std::vector<std::string> notes;  // the first few problems, for the log

  void Add(const Figures &other) {
    exchanges += other.exchanges;
    faults += other.faults;
    failures += other.failures;
    wrong_successes += other.wrong_successes;
    outputs_touched += other.outputs_touched;
    unexpected_failures += other.unexpected_failures;
    failed_recoveries += other.failed_recoveries;
    lost_requests += other.lost_requests;
    if (other.longest > longest) {
      longest = other.longest;
      longest_bound = other.longest_bound;
    }
    worst_overrun = std::max(worst_overrun, other.worst_overrun);
    for (const auto &[kind, count] : other.fault_kinds) fault_kinds[kind] += count;
    for (const auto &[name, count] : other.calls) calls[name] += count;
    for (const std::string &note : other.notes) {
      if (notes.size() < 20) notes.push_back(note);
    }
  }
  void Note(const std::string &note) {
    if (notes.size() < 20) notes.push_back(note);
  }
};

class Host {
 public:
  Host(uint32_t index, uint64_t seed, double rate, uint32_t exchanges)
      : index_(index), bus_(seed, rate), random_(seed ^ 0x5EED), exchanges_(exchanges) {}

  Figures Run() {
    if (QX318_OpenPort(bus_.path().c_str(), 115200, &port_) != 1) {
      figures_.Note("bus " + std::to_string(index_) + ": the port did not open");
      figures_.lost_requests = exchanges_;
      return figures_;
    }
    bool previous_stalled = false;
    for (uint32_t i = 0; i < exchanges_; ++i) {
      const auto call = static_cast<Call>(Pick(0, kCallCount - 1));
      const bool failed = Exchange(call, previous_stalled);
      if (failed) Recover();
    }
    QX318_ClosePort(port_);
    return figures_;
  }

 private:
  uint32_t Pick(uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(random_);
  }

  int32_t Invoke(Call call, Outputs &out, uint8_t *action) {
    const auto parameter = static_cast<uint8_t>(Pick(0, 127));
    const auto code = static_cast<ParameterCode>(0x0200 | parameter);
    switch (call) {
      case Call::kHello:
        return QX318_HelloCmd(port_, kAddress, &out.hello);
      case Call::kReadParameter:
        return QX318_ReadParameter(port_, kAddress, code, &out.value16);
      case Call::kWriteParameter:
        return QX318_WriteParameter(port_, kAddress, code, static_cast<uint16_t>(Pick(0, 16383)));
      case Call::kFlushParams:
        *action = 0x55;
        return QX318_FlushParamsToFlash(port_, kAddress);
      case Call::kRestoreParams:
        *action = 0x33;
        return QX318_RestoreParamsFromFlash(port_, kAddress);
      case Call::kGetMeasure:
        return QX318_GetMeasure(port_, kAddress, &out.measure_header, out.values.data());
      case Call::kGetMeasureEx:
        // Now and then one value short of the measurement.
        out.value_capacity = 2 * kPairs - (Pick(0, 3) == 0 ? 1 : 0);
        return QX318_GetMeasureEx(port_, kAddress, &out.measure_header, out.values.data(),
                                  static_cast<uint32_t>(out.value_capacity));
      case Call::kLockResult:
        return QX318_LockResult(port_, kAddress);
      case Call::kGetImage:
        return QX318_GetImage(port_, kAddress, &out.image_header, out.pixels.data());
      case Call::kGetImageEx:
        // Now and then one byte short of the image: refused, and drained.
        out.pixel_capacity = kImageBytes - (Pick(0, 3) == 0 ? 1 : 0);
        return QX318_GetImageEx(port_, kAddress, &out.image_header, out.pixels.data(),
                                static_cast<uint32_t>(out.pixel_capacity));
      case Call::kRotateAxis:
        return QX318_RotateAxisXY(port_, kAddress, &out.value32);
      case Call::kGetAngle:
        return QX318_GetRotateAngle(port_, kAddress, &out.value32);
      case Call::kFlushAngle:
        *action = 0x55;
        return QX318_FlushAngleToFlash(port_, kAddress);
      case Call::kRestoreAngle:
        *action = 0x33;
        return QX318_RestoreAngleFromFlash(port_, kAddress);
    }
    return 0;
  }

  // One call, judged. True when it failed.
  bool Exchange(Call call, bool &previous_stalled) {
    Outputs out;
    uint8_t action = 0;
    const auto start = Clock::now();
    const int32_t result = Invoke(call, out, &action);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    ++figures_.exchanges;
    ++figures_.calls[CallName(call)];

    const std::optional<Record> record = bus_.WaitForRecord(requests_++);
    if (!record) {
      ++figures_.lost_requests;
      figures_.Note(std::string(CallName(call)) + ": the request never reached the device");
      return result == 0;
    }
    const bool stalled = record->fault == sim::FaultKind::kStall;
    if (record->fault) {
      ++figures_.faults;
      ++figures_.fault_kinds[sim::FaultName(*record->fault)];
    }
    const std::string what = std::string(CallName(call)) +
                             (record->fault ? " [" + sim::FaultName(*record->fault) + "]" : "");

    // The device's own pauses: a stall in this answer, or in the one before
    // it that was still going out when this request came.
    const milliseconds bound = kFirstByteWait + kGap + kTransfer +
                               (stalled || previous_stalled ? kStall : milliseconds(0));
    previous_stalled = stalled;
    if (took > figures_.longest) {
      figures_.longest = took;
      figures_.longest_bound = bound;
    }
    figures_.worst_overrun = std::max(figures_.worst_overrun, took - bound);
    if (took > bound + kTolerance) {
      figures_.Note(what + " took " + std::to_string(took.count()) + " ms");
    }

    if (!GuardsIntact(call, out)) {
      ++figures_.outputs_touched;
      figures_.Note(what + ": bytes past its outputs changed");
    }
    const Verdict verdict = Judge(call, *record, out, action);
    if (result == 1) {
      if (FaultForbidsSuccess(call, *record) || !verdict.should_succeed || !verdict.values_match) {
        ++figures_.wrong_successes;
        figures_.Note(what + ": succeeded with values the device did not send");
      }
      return false;
    }
    ++figures_.failures;
    if (!FailureLeftOutputsAlone(call, *record, out)) {
      ++figures_.outputs_touched;
      figures_.Note(what + ": failed and changed its outputs");
    }
    if (!record->fault && verdict.should_succeed) {
      ++figures_.unexpected_failures;
      figures_.Note(what + ": failed on a clean answer");
    }
    return true;
  }

  // Right after a failure, a hello with a clean answer must succeed.
  void Recover() {
    bus_.CleanNext();
    HelloAnswer hello{};
    const int32_t result = QX318_HelloCmd(port_, kAddress, &hello);
    const std::optional<Record> record = bus_.WaitForRecord(requests_++);
    if (result != 1 || !record || !record->answer ||
        hello.value1 != Decode(record->answer->data, 0, 2) ||
        hello.value7 != Decode(record->answer->data, 13, 2)) {
      ++figures_.failed_recoveries;
      figures_.Note("the clean hello after a failure failed");
    }
  }

  uint32_t index_;
  SimulatedBus bus_;
  std::mt19937_64 random_;
  uint32_t exchanges_;
  PortHandle port_ = nullptr;
  size_t requests_ = 0;
  Figures figures_;
};

bool ParseOptions(int argc, char **argv, Options *options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char *value = argv[i + 1];
    if (name == "--exchanges") {
      options->exchanges = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    } else if (name == "--buses") {
      options->buses = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    } else if (name == "--rate") {
      options->rate = std::strtod(value, nullptr);
    } else if (name == "--seed") {
      options->seed = std::strtoull(value, nullptr, 10);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options->buses > 0 && options->exchanges >= options->buses &&
         options->rate >= 0.0 && options->rate * 6 <= 1.0;
}

}  // namespace
}  // namespace qx318::soak

int main(int argc, char **argv) {
  using namespace qx318::soak;
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s [--exchanges N] [--buses N] [--rate P per fault kind] [--seed N]\n",
                 argv[0]);
    return 2;
  }
  // The buses are set up one after the other: opening a pseudo-terminal
  // names it through a buffer the C library shares between threads.
  std::vector<std::unique_ptr<Host>> hosts;
  for (uint32_t b = 0; b < options.buses; ++b) {
    const uint32_t share =
        options.exchanges / options.buses + (b < options.exchanges % options.buses ? 1 : 0);
    hosts.push_back(std::make_unique<Host>(b, options.seed * 1000 + b, options.rate, share));
  }
  std::vector<Figures> per_bus(options.buses);
  std::vector<std::thread> threads;
  for (uint32_t b = 0; b < options.buses; ++b) {
    threads.emplace_back([&, b] { per_bus[b] = hosts[b]->Run(); });
  }
  for (std::thread &t : threads) t.join();

  Figures total;
  for (const Figures &f : per_bus) total.Add(f);
  for (const std::string &note : total.notes) std::fprintf(stderr, "  %s\n", note.c_str());
  std::string kinds;
  for (const auto &[kind, count] : total.fault_kinds) {
    kinds += (kinds.empty() ? "" : ", ") + kind + " " + std::to_string(count);
  }
  std::printf("fault kinds: %s\n", kinds.c_str());
  std::printf(
      "fault soak: %llu exchanges on %u buses, %llu faults, %llu failures, %llu wrong successes, "
      "%llu outputs touched, %llu unexpected failures, %llu failed recoveries, longest call %lld "
      "ms against a bound of %lld ms (worst overrun %+lld ms)\n",
      static_cast<unsigned long long>(total.exchanges), options.buses,
      static_cast<unsigned long long>(total.faults),
      static_cast<unsigned long long>(total.failures),
      static_cast<unsigned long long>(total.wrong_successes),
      static_cast<unsigned long long>(total.outputs_touched),
      static_cast<unsigned long long>(total.unexpected_failures),
      static_cast<unsigned long long>(total.failed_recoveries),
      static_cast<long long>(total.longest.count()),
      static_cast<long long>(total.longest_bound.count()),
      static_cast<long long>(total.worst_overrun.count()));

  bool ok = total.wrong_successes == 0 && total.outputs_touched == 0 &&
            total.unexpected_failures == 0 && total.failed_recoveries == 0 &&
            total.lost_requests == 0 && total.worst_overrun <= kTolerance;
  // Every command and, at a rate above zero, every fault kind must have had
  // its turn, or the figures say less than they seem to.
  ok = ok && total.calls.size() == kCallCount;
  if (options.rate > 0 && total.fault_kinds.size() != std::size(qx318::sim::kAllFaultKinds)) {
    std::fprintf(stderr, "not every fault kind fired: run more exchanges or a higher rate\n");
    ok = false;
  }
  return ok ? 0 : 1;
}
