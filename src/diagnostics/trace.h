// The frame trace: when QX318_TRACE names a file (or "-" for standard error)
// as a port is opened, every request, answer and failure on that port is
// appended to it, one line each, each line in one write so that lines from
// several threads never mix. The line format is in trace_fields.h.
//
// The trace parses no frame: the frame layer tells it what it knows (the
// request's address, command and length; the answer's noise, start byte,
// length or image size and the CRC's verdict) as plain numbers, and the
// port layer hands it the bytes as they move.
#pragma once

#include <atomic>
#include <cstdint>

#include "QX318_RS485.h"

namespace qx318 {

// What the frame layer told the trace, each part with whether it was told.
struct TracedRequest {
  bool described;
  uint32_t address;
  uint32_t command;
  uint32_t data_count;
};
struct TracedStart {
  uint32_t skipped;  // marker bytes before the start byte
  bool found;
};
struct TracedLength {
  bool known;
  uint32_t length;
};
struct TracedImageSize {
  bool known;
  uint32_t rows;
  uint32_t row_length;
};
struct TracedCrc {
  bool known;  // the whole frame came
  bool matches;
};

// The traced exchange under way on one thread: the received bytes and what
// the frame layer said of them. Trivial, so that it can live in storage
// that needs no constructor on any platform (ThisThreadTrace, in
// port/platform.h); all zero is "no exchange".
struct TraceCapture {
  int32_t entry;   // the traced port's slot + 1; 0: none
  bool requested;  // a request went out, so the exchange has an answer line
  TracedRequest request;
  TracedStart start;
  TracedLength length;
  TracedImageSize image_size;
  TracedCrc crc;
  // The bytes received so far, owned by the trace.
  uint8_t *bytes;
  uint32_t size;
  uint32_t capacity;
  uint64_t dropped;
};

// How many ports are traced; 0 makes every hook a single branch.
extern std::atomic<int32_t> traced_port_count;
inline bool AnyPortTraced() { return traced_port_count.load(std::memory_order_relaxed) != 0; }

// Called by a successful open: starts tracing port when QX318_TRACE is set.
void TraceOpenedPort(PortHandle port, const char *description, uint32_t baud_rate);
// Called by an open that failed: the failure goes to the trace if one is set.
void TraceFailedOpen(const char *description);
// Called by close: ends the port's trace.
void TraceClosedPort(PortHandle port);

// True when port is traced; the exchange's bytes are then collected for the
// calling thread until EndTracedExchange. Costs one load when nothing is
// traced.
bool BeginTracedExchange(PortHandle port);
void EndTracedExchange(bool ok);

// Hooks in the port layer, cheap no-ops unless an exchange is traced.
void TraceRequest(const uint8_t *bytes, uint32_t count, uint32_t written);
void TraceReceived(const uint8_t *bytes, uint32_t count);

// What the frame layer knows, for the lines of the exchange under way.
void NoteRequestFields(uint32_t address, uint32_t command, uint32_t data_count);
void NoteAnswerStart(uint32_t skipped, bool found);
void NoteAnswerLength(uint32_t length);
void NoteImageSize(uint32_t rows, uint32_t row_length);
void NoteAnswerCrc(bool matches);

// The frame layer's hooks: each a single branch when nothing is traced.
// The request's address and command as its frame carries them, and its
// count of data bytes; called before the request is written.
inline void TraceRequestFields(uint32_t address, uint32_t command, uint32_t data_count) {
  if (AnyPortTraced()) NoteRequestFields(address, command, data_count);
}
// The marker bytes before the start byte, and whether one came.
inline void TraceAnswerStart(uint32_t skipped, bool found) {
  if (AnyPortTraced()) NoteAnswerStart(skipped, found);
}
// The length an answer declares, once its length field is in.
inline void TraceAnswerLength(uint32_t length) {
  if (AnyPortTraced()) NoteAnswerLength(length);
}
// An image's size, once its four header words are in.
inline void TraceImageSize(uint32_t rows, uint32_t row_length) {
  if (AnyPortTraced()) NoteImageSize(rows, row_length);
}
// Whether the CRC received matches the one computed, once the whole frame is
// in; an answer that ends before its CRC never calls this.
inline void TraceAnswerCrc(bool matches) {
  if (AnyPortTraced()) NoteAnswerCrc(matches);
}

}  // namespace qx318
