#include "diagnostics/trace.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diagnostics/failure.h"
#include "port/platform.h"
#include "protocol/crc.h"
#include "protocol/frame.h"
#include "protocol/groups.h"
#include "protocol/work_buffer.h"

namespace qx318 {
namespace {

constexpr int kTracedPortSlots = 64;
constexpr size_t kPortNameSize = 96;
constexpr uint32_t kFirstCapture = 4096;
// An image of any size is traced in full up to this many received bytes;
// the line then says how many more came.
constexpr uint32_t kCaptureLimit = 16u << 20;
constexpr int32_t kCommandImage = 6;

// The trace's table of traced ports: the one piece of process-wide state
// the trace needs, since the handle belongs to the converter. A slot is
// claimed and released with atomics; an exchange only reads it.
struct TracedPort {
  std::atomic<PortHandle> handle{nullptr};
  TraceSink sink = kNoTraceSink;
  char name[kPortNameSize] = {};
};

TracedPort traced_ports[kTracedPortSlots];
PortHandle const kClaimed = reinterpret_cast<PortHandle>(static_cast<uintptr_t>(1));

// Spaces and the characters that delimit fields are percent-escaped, so that
// a description such as "QX318 Converter" stays one field.
void EscapeName(const char *description, char (&out)[kPortNameSize]) {
  size_t at = 0;
  for (const char *c = description; *c != '\0' && at + 4 < sizeof out; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte <= ' ' || byte >= 0x7F || byte == '%' || byte == '"' || byte == '=') {
      at += static_cast<size_t>(std::snprintf(out + at, sizeof out - at, "%%%02X", byte));
    } else {
      out[at++] = *c;
    }
  }
  out[at] = '\0';
}

// Builds one line in a heap buffer and writes it in one call.
class Line {
 public:
  explicit Line(size_t capacity) : buffer_(capacity), size_(0) {}
  void Add(const char *fmt, ...) QX318_FORMAT_CHECK(2, 3) {
    if (!buffer_ || size_ >= buffer_.size()) return;
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(reinterpret_cast<char *>(buffer_.data()) + size_,
                                 buffer_.size() - size_, fmt, args);
    va_end(args);
    if (n > 0) size_ = std::min(size_ + static_cast<size_t>(n), buffer_.size() - 1);
  }
  void AddHex(const uint8_t *bytes, uint32_t count) {
    static const char kDigits[] = "0123456789abcdef";
    if (!buffer_) return;
    if (count == 0) return Add("-");
    for (uint32_t i = 0; i < count && size_ + 3 < buffer_.size(); ++i) {
      buffer_.data()[size_++] = static_cast<uint8_t>(kDigits[bytes[i] >> 4]);
      buffer_.data()[size_++] = static_cast<uint8_t>(kDigits[bytes[i] & 0xF]);
    }
  }
  void WriteTo(TraceSink sink) {
    if (!buffer_) return;
    if (size_ + 1 < buffer_.size()) buffer_.data()[size_++] = '\n';
    WriteTraceLine(sink, reinterpret_cast<const char *>(buffer_.data()), size_);
  }

 private:
  WorkBuffer buffer_;
  size_t size_;
};

void AddHead(Line &line, const TracedPort &port, const char *direction) {
  line.Add("t=%llu port=%s dir=%s", static_cast<unsigned long long>(MonotonicMicroseconds()),
           port.name, direction);
}

void AddFailure(Line &line) {
  const ThreadFailure *record = ThisThreadFailure();
  const int32_t code = CurrentFailure();
  line.Add(" code=%d detail=\"", static_cast<int>(code));
  if (record != nullptr) {
    for (const char *c = record->detail; *c != '\0'; ++c) line.Add("%c", *c == '"' ? '\'' : *c);
  }
  line.Add("\"");
}

int FindSlot(PortHandle port) {
  for (int i = 0; i < kTracedPortSlots; ++i) {
    if (traced_ports[i].handle.load(std::memory_order_acquire) == port) return i;
  }
  return -1;
}

uint16_t Crc(const uint8_t *bytes, uint32_t count, uint16_t crc = 0) {
  for (uint32_t i = 0; i < count; ++i) {
    const auto masked = static_cast<uint8_t>(bytes[i] & kGroupMask);
    (void)UpdateCrc16(&crc, &masked, 1);
  }
  return crc;
}

// What the received bytes say: the noise skipped, the declared size and
// whether the CRC holds, as far as the bytes go.
void AddAnswerSummary(Line &line, const uint8_t *bytes, uint32_t count, int32_t command) {
  uint32_t at = 0;
  while (at < count && (bytes[at] & kMarker) != 0) ++at;
  line.Add(" skipped=%u", at);
  if (at == count) return line.Add(" start=none");
  const uint8_t *frame = bytes + at + 1;
  const uint32_t left = count - at - 1;
  if (command == kCommandImage) {
    if (left < 8) return line.Add(" crc=incomplete");
    const uint32_t rows = DecodeGroups(frame, 2);
    const uint32_t row_length = DecodeGroups(frame + 2, 2);
    line.Add(" rows=%u row_length=%u", rows, row_length);
    const uint64_t pixels = static_cast<uint64_t>(rows) * row_length;
    if (left < 8 + pixels + kCrcGroups) return line.Add(" crc=incomplete");
    const uint16_t computed = Crc(frame + 2, static_cast<uint32_t>(6 + pixels));
    const uint32_t received = DecodeGroups(frame + 8 + pixels, 3) & 0xFFFF;
    return line.Add(" crc=%s", received == computed ? "good" : "bad");
  }
  if (left < 2) return line.Add(" crc=incomplete");
  const uint32_t length = DecodeGroups(frame, 2);
  line.Add(" len=%u", length);
  if (left < 2 + length + kCrcGroups) return line.Add(" crc=incomplete");
  const uint16_t computed = Crc(frame + 2, length);
  const uint32_t received = DecodeGroups(frame + 2 + length, 3) & 0xFFFF;
  line.Add(" crc=%s", received == computed ? "good" : "bad");
}

void ReleaseCapture(ThreadFailure &record) {
  ReleaseZeroed(record.capture);
  record.capture = nullptr;
  record.capture_size = record.capture_capacity = 0;
  record.capture_dropped = 0;
}

}  // namespace

std::atomic<int32_t> traced_port_count{0};

void TraceOpenedPort(PortHandle port, const char *description, uint32_t baud_rate) {
  char target[512];
  if (!TraceTargetFromEnvironment(target, sizeof target)) return;
  for (TracedPort &slot : traced_ports) {
    PortHandle expected = nullptr;
    if (!slot.handle.compare_exchange_strong(expected, kClaimed)) continue;
    slot.sink = OpenTraceSink(target);
    if (slot.sink == kNoTraceSink) {
      slot.handle.store(nullptr, std::memory_order_release);
      return;
    }
    EscapeName(description, slot.name);
    slot.handle.store(port, std::memory_order_release);
    traced_port_count.fetch_add(1, std::memory_order_relaxed);
    Line line(256);
    AddHead(line, slot, "OPEN");
    line.Add(" baud=%u", baud_rate);
    line.WriteTo(slot.sink);
    return;
  }
}

void TraceFailedOpen(const char *description) {
  char target[512];
  if (!TraceTargetFromEnvironment(target, sizeof target)) return;
  const TraceSink sink = OpenTraceSink(target);
  if (sink == kNoTraceSink) return;
  TracedPort port;
  EscapeName(description == nullptr ? "" : description, port.name);
  Line line(1024);
  AddHead(line, port, "FAIL");
  AddFailure(line);
  line.WriteTo(sink);
  CloseTraceSink(sink);
}

void TraceClosedPort(PortHandle port) {
  if (traced_port_count.load(std::memory_order_relaxed) == 0) return;
  const int index = FindSlot(port);
  if (index < 0) return;
  TracedPort &slot = traced_ports[index];
  Line line(256);
  AddHead(line, slot, "CLOSE");
  line.WriteTo(slot.sink);
  CloseTraceSink(slot.sink);
  slot.sink = kNoTraceSink;
  traced_port_count.fetch_sub(1, std::memory_order_relaxed);
  slot.handle.store(nullptr, std::memory_order_release);
}

bool BeginTracedExchange(PortHandle port) {
  if (traced_port_count.load(std::memory_order_relaxed) == 0) return false;
  const int index = port == nullptr ? -1 : FindSlot(port);
  ThreadFailure *record = ThisThreadFailure();
  if (index < 0 || record == nullptr) return false;
  record->trace_entry = index + 1;  // 0 in a fresh record means none
  record->trace_command = -1;
  record->capture_size = 0;
  record->capture_dropped = 0;
  return true;
}

void EndTracedExchange(bool ok) {
  ThreadFailure *record = ThisThreadFailure();
  if (record == nullptr || record->trace_entry <= 0) return;
  const TracedPort &port = traced_ports[record->trace_entry - 1];
  record->trace_entry = 0;
  if (record->trace_command >= 0) {
    Line line(static_cast<size_t>(record->capture_size) * 2 + 512);
    AddHead(line, port, "RX");
    line.Add(" bytes=");
    line.AddHex(record->capture, record->capture_size);
    if (record->capture_dropped != 0) {
      line.Add(" dropped=%llu", static_cast<unsigned long long>(record->capture_dropped));
    }
    AddAnswerSummary(line, record->capture, record->capture_size, record->trace_command);
    line.WriteTo(port.sink);
  }
  if (!ok) {
    Line line(1024);
    AddHead(line, port, "FAIL");
    AddFailure(line);
    line.WriteTo(port.sink);
  }
  ReleaseCapture(*record);
}

void TraceRequest(const uint8_t *bytes, uint32_t count, uint32_t written) {
  ThreadFailure *record = ThisThreadFailure();
  if (record == nullptr || record->trace_entry <= 0) return;
  const TracedPort &port = traced_ports[record->trace_entry - 1];
  Line line(static_cast<size_t>(count) * 2 + 256);
  AddHead(line, port, "TX");
  line.Add(" bytes=");
  line.AddHex(bytes, count);
  if (count >= 4) {
    const uint32_t data = DecodeGroups(bytes + 1, 2);
    line.Add(" addr=%u cmd=%u len=%u", bytes[0], bytes[3] & kGroupMask, data);
    record->trace_command = bytes[3] & kGroupMask;
  }
  line.Add(" written=%u", written);
  line.WriteTo(port.sink);
}

void TraceReceived(const uint8_t *bytes, uint32_t count) {
  ThreadFailure *record = ThisThreadFailure();
  if (record == nullptr || record->trace_entry <= 0 || count == 0) return;
  if (record->trace_command < 0) record->trace_command = 0;
  const uint64_t wanted = static_cast<uint64_t>(record->capture_size) + count;
  if (wanted > record->capture_capacity && record->capture_capacity < kCaptureLimit) {
    uint64_t capacity = record->capture_capacity == 0 ? kFirstCapture : record->capture_capacity;
    while (capacity < wanted && capacity < kCaptureLimit) capacity *= 2;
    if (capacity > kCaptureLimit) capacity = kCaptureLimit;
    auto *grown = static_cast<uint8_t *>(AllocateZeroed(static_cast<size_t>(capacity)));
    if (grown != nullptr) {
      if (record->capture_size != 0) std::memcpy(grown, record->capture, record->capture_size);
      ReleaseZeroed(record->capture);
      record->capture = grown;
      record->capture_capacity = static_cast<uint32_t>(capacity);
    }
  }
  const uint32_t room = record->capture_capacity - record->capture_size;
  const uint32_t taken = count < room ? count : room;
  if (taken != 0) std::memcpy(record->capture + record->capture_size, bytes, taken);
  record->capture_size += taken;
  record->capture_dropped += count - taken;
}

}  // namespace qx318
