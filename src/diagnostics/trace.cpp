#include "diagnostics/trace.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diagnostics/failure.h"
#include "diagnostics/trace_fields.h"
#include "port/platform.h"

namespace qx318 {
namespace {

using namespace trace_fields;

constexpr int kTracedPortSlots = 64;
constexpr size_t kPortNameSize = 96;
constexpr uint32_t kFirstCapture = 4096;
// An image of any size is traced in full up to this many received bytes;
// the line then says how many more came.
constexpr uint32_t kCaptureLimit = 16u << 20;

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
  explicit Line(size_t capacity)
      : buffer_(static_cast<char *>(AllocateZeroed(capacity))),
        capacity_(buffer_ != nullptr ? capacity : 0),
        size_(0) {}
  ~Line() { ReleaseZeroed(buffer_); }
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

  void Add(const char *fmt, ...) QX318_FORMAT_CHECK(2, 3) {
    if (buffer_ == nullptr || size_ >= capacity_) return;
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(buffer_ + size_, capacity_ - size_, fmt, args);
    va_end(args);
    if (n > 0) size_ = std::min(size_ + static_cast<size_t>(n), capacity_ - 1);
  }
  // " name=" and the bytes in hex, or the sign for none.
  void AddHex(const char *name, const uint8_t *bytes, uint32_t count) {
    static const char kDigits[] = "0123456789abcdef";
    Add(" %s=", name);
    if (buffer_ == nullptr) return;
    if (count == 0) return Add("%s", kNoBytes);
    for (uint32_t i = 0; i < count && size_ + 3 < capacity_; ++i) {
      buffer_[size_++] = kDigits[bytes[i] >> 4];
      buffer_[size_++] = kDigits[bytes[i] & 0xF];
    }
  }
  void WriteTo(TraceSink sink) {
    if (buffer_ == nullptr) return;
    if (size_ + 1 < capacity_) buffer_[size_++] = '\n';
    WriteTraceLine(sink, buffer_, size_);
  }

 private:
  char *buffer_;
  size_t capacity_;
  size_t size_;
};

void AddHead(Line &line, const TracedPort &port, const char *direction) {
  line.Add("%s=%llu %s=%s %s=%s", kTime, static_cast<unsigned long long>(MonotonicMicroseconds()),
           kPort, port.name, kDirection, direction);
}

void AddFailure(Line &line) {
  const ThreadFailure *record = ThisThreadFailure();
  const int32_t code = CurrentFailure();
  line.Add(" %s=%d %s=\"", kCode, static_cast<int>(code), kDetail);
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

// What the frame reader found in the answer: the noise skipped, then the
// declared size and the CRC's verdict as far as the answer went. Bytes the
// capture could not keep mean that the frame's end is not in the line.
void AddAnswerSummary(Line &line, const TraceCapture &capture) {
  line.Add(" %s=%u", kSkipped, capture.start.skipped);
  if (!capture.start.found) return line.Add(" %s=%s", kStart, kStartNone);
  if (capture.image_size.known) {
    line.Add(" %s=%u %s=%u", kRows, capture.image_size.rows, kRowLength,
             capture.image_size.row_length);
  } else if (capture.length.known) {
    line.Add(" %s=%u", kLength, capture.length.length);
  }
  const bool whole = capture.crc.known && capture.dropped == 0;
  line.Add(" %s=%s", kCrc, !whole ? kCrcIncomplete : capture.crc.matches ? kCrcGood : kCrcBad);
}

void ReleaseCapture(TraceCapture &capture) {
  ReleaseZeroed(capture.bytes);
  capture = TraceCapture{};
}

// The calling thread's capture when it has an exchange under way.
TraceCapture *ExchangeUnderWay() {
  TraceCapture *capture = ThisThreadTrace();
  return capture != nullptr && capture->entry > 0 ? capture : nullptr;
}

// What the frame layer said, kept for the exchange under way, if any.
template <typename Update>
void Note(Update update) {
  TraceCapture *capture = ExchangeUnderWay();
  if (capture != nullptr) update(*capture);
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
    AddHead(line, slot, kOpen);
    line.Add(" %s=%u", kBaud, baud_rate);
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
  AddHead(line, port, kFailure);
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
  AddHead(line, slot, kClose);
  line.WriteTo(slot.sink);
  CloseTraceSink(slot.sink);
  slot.sink = kNoTraceSink;
  traced_port_count.fetch_sub(1, std::memory_order_relaxed);
  slot.handle.store(nullptr, std::memory_order_release);
}

bool BeginTracedExchange(PortHandle port) {
  if (traced_port_count.load(std::memory_order_relaxed) == 0) return false;
  const int index = port == nullptr ? -1 : FindSlot(port);
  TraceCapture *capture = ThisThreadTrace();
  if (index < 0 || capture == nullptr) return false;
  ReleaseCapture(*capture);
  capture->entry = index + 1;
  return true;
}

void EndTracedExchange(bool ok) {
  TraceCapture *capture = ExchangeUnderWay();
  if (capture == nullptr) return;
  const TracedPort &port = traced_ports[capture->entry - 1];
  if (capture->requested || capture->size != 0) {
    Line line(static_cast<size_t>(capture->size) * 2 + 512);
    AddHead(line, port, kAnswer);
    line.AddHex(kBytes, capture->bytes, capture->size);
    if (capture->dropped != 0) {
      line.Add(" %s=%llu", kDropped, static_cast<unsigned long long>(capture->dropped));
    }
    AddAnswerSummary(line, *capture);
    line.WriteTo(port.sink);
  }
  if (!ok) {
    Line line(1024);
    AddHead(line, port, kFailure);
    AddFailure(line);
    line.WriteTo(port.sink);
  }
  ReleaseCapture(*capture);
}

void TraceRequest(const uint8_t *bytes, uint32_t count, uint32_t written) {
  TraceCapture *capture = ExchangeUnderWay();
  if (capture == nullptr) return;
  const TracedPort &port = traced_ports[capture->entry - 1];
  Line line(static_cast<size_t>(count) * 2 + 256);
  AddHead(line, port, kRequest);
  line.AddHex(kBytes, bytes, count);
  const TracedRequest &request = capture->request;
  if (request.described) {
    line.Add(" %s=%u %s=%u %s=%u", kAddress, request.address, kCommand, request.command, kLength,
             request.data_count);
  }
  line.Add(" %s=%u", kWritten, written);
  line.WriteTo(port.sink);
  capture->requested = true;
}

void TraceReceived(const uint8_t *bytes, uint32_t count) {
  TraceCapture *capture = ExchangeUnderWay();
  if (capture == nullptr || count == 0) return;
  const uint64_t wanted = static_cast<uint64_t>(capture->size) + count;
  if (wanted > capture->capacity && capture->capacity < kCaptureLimit) {
    uint64_t capacity = capture->capacity == 0 ? kFirstCapture : capture->capacity;
    while (capacity < wanted && capacity < kCaptureLimit) capacity *= 2;
    if (capacity > kCaptureLimit) capacity = kCaptureLimit;
    auto *grown = static_cast<uint8_t *>(AllocateZeroed(static_cast<size_t>(capacity)));
    if (grown != nullptr) {
      if (capture->size != 0) std::memcpy(grown, capture->bytes, capture->size);
      ReleaseZeroed(capture->bytes);
      capture->bytes = grown;
      capture->capacity = static_cast<uint32_t>(capacity);
    }
  }
  const uint32_t room = capture->capacity - capture->size;
  const uint32_t taken = count < room ? count : room;
  if (taken != 0) std::memcpy(capture->bytes + capture->size, bytes, taken);
  capture->size += taken;
  capture->dropped += count - taken;
}

void NoteRequestFields(uint32_t address, uint32_t command, uint32_t data_count) {
  Note([=](TraceCapture &capture) { capture.request = {true, address, command, data_count}; });
}

void NoteAnswerStart(uint32_t skipped, bool found) {
  Note([=](TraceCapture &capture) { capture.start = {skipped, found}; });
}

void NoteAnswerLength(uint32_t length) {
  Note([=](TraceCapture &capture) { capture.length = {true, length}; });
}

void NoteImageSize(uint32_t rows, uint32_t row_length) {
  Note([=](TraceCapture &capture) { capture.image_size = {true, rows, row_length}; });
}

void NoteAnswerCrc(bool matches) {
  Note([=](TraceCapture &capture) { capture.crc = {true, matches}; });
}

}  // namespace qx318
