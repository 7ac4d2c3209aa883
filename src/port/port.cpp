#include "port/port.h"

#include <algorithm>

#include "diagnostics/exported_call.h"
#include "diagnostics/failure.h"
#include "diagnostics/trace.h"
#include "port/converter.h"

namespace qx318 {
namespace {

constexpr uint32_t kPurgeBeforeWrite = kPurgeTxAbort | kPurgeRxAbort;
constexpr uint32_t kEventMask = kEventRxChar | kEventTxEmpty;

bool IsNoHandle(PortHandle port) { return port == nullptr || port == QX318_INVALID_PORT; }

// 8N1, binary, no flow control of any kind, DTR and RTS off; bits 15-31 of
// the flags and every other field keep what the converter reported.
void ApplyLineSettings(Dcb &dcb, uint32_t baud_rate) {
  dcb.DCBlength = kDcbLength;
  dcb.BaudRate = baud_rate;
  dcb.flags = (dcb.flags & ~kDcbBits1To14) | kDcbBinary;
  dcb.ByteSize = 8;
  dcb.Parity = kNoParity;
  dcb.StopBits = kOneStopBit;
}

// Each configuration step that the converter refuses names itself, unless
// the converter said more precisely why.
bool ConfigurePort(const ConverterBackend &converter, PortHandle port, uint32_t baud_rate) {
  Dcb dcb{};
  ClearConverterFailure();
  if (!converter.get_comm_state(port, &dcb)) {
    return FailWithConverterReason(QX318_FAIL_LINE_SETTINGS, "the line settings could not be read");
  }
  ApplyLineSettings(dcb, baud_rate);
  if (!converter.set_comm_state(port, &dcb)) {
    return FailWithConverterReason(QX318_FAIL_LINE_SETTINGS,
                                   "the line settings (8N1 at %u baud) were refused", baud_rate);
  }

  CommTimeouts timeouts{kReadIntervalTimeoutMs, kReadTotalTimeoutMultiplierMs,
                        kReadTotalTimeoutConstantMs, 0, 0};
  if (!converter.set_comm_timeouts(port, &timeouts)) {
    return FailWithConverterReason(QX318_FAIL_TIMEOUTS, "the time-outs were refused");
  }
  if (!converter.setup_comm(port, kQueueSize, kQueueSize)) {
    return FailWithConverterReason(QX318_FAIL_QUEUES, "queues of %u bytes were refused",
                                   kQueueSize);
  }
  if (!converter.purge_comm(port, kPurgeBeforeWrite)) {
    return FailWithConverterReason(QX318_FAIL_PURGE, "the purge at open was refused");
  }
  if (!converter.set_comm_mask(port, kEventMask)) {
    return FailWithConverterReason(QX318_FAIL_EVENT_MASK, "the event mask was refused");
  }
  return true;
}

uint32_t Counted(uint64_t count) {
  return static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX));
}

ReadResult WholeRead(uint64_t count) {
  return ReadResult{true, Counted(count), Counted(count), 0, QX318_FAIL_NONE};
}

// A read that moved fewer bytes than asked: the port layer's reason is
// recorded, and the figures go back to the caller, which may name the field
// it was reading ("no answer", "cut short").
ReadResult ShortRead(uint64_t done, uint64_t count, uint64_t started) {
  const uint64_t elapsed = MonotonicMilliseconds() - started;
  const ReadResult result{false, Counted(done), Counted(count), elapsed, ConverterFailureCode()};
  if (result.received == 0) {
    (void)FailWithConverterReason(QX318_FAIL_NO_ANSWER, "no byte within %llu ms",
                                  static_cast<unsigned long long>(elapsed));
  } else {
    (void)FailWithConverterReason(QX318_FAIL_ANSWER_CUT_SHORT, "%u of %u bytes after %llu ms",
                                  result.received, result.wanted,
                                  static_cast<unsigned long long>(elapsed));
  }
  return result;
}

// A read's bytes go one after the other into the caller's buffer; bytes that
// are thrown away go into a scratch area, each piece over the one before.
struct ReadTarget {
  uint8_t *bytes;
  uint32_t scratch_size;  // 0: bytes has room for the whole read
  const PieceObserver *observer;

  uint8_t *PieceAt(uint64_t done) const { return scratch_size != 0 ? bytes : bytes + done; }
  uint32_t PieceSize(uint64_t left) const {
    return static_cast<uint32_t>(scratch_size != 0 ? std::min<uint64_t>(left, scratch_size) : left);
  }
};

struct Piece {
  uint32_t received;
  bool ended_early;  // before its total time-out: the gap, or a failed line
};

// The clocks of some platforms tick in steps of about 16 ms; a piece that
// ends this close to its total time-out has run it.
constexpr uint64_t kClockSlackMs = 50;

uint64_t ReadTotalMs(uint64_t count) {
  return kReadTotalTimeoutConstantMs + uint64_t{kReadTotalTimeoutMultiplierMs} * count;
}

// One converter read of up to count bytes that gives up total_ms (at least
// 1: a total of 0 would mean no total at all) after it began, at started,
// or 100 ms after a byte with no other one behind it. Only a piece that came
// back short needs to know how long it took: most reads are whole, and then
// they read the clock no more.
Piece ReadPiece(const ConverterBackend &converter, PortHandle port, uint8_t *bytes, uint32_t count,
                uint32_t total_ms, uint64_t started) {
  CommTimeouts timeouts{kReadIntervalTimeoutMs, 0, total_ms, 0, 0};
  if (!converter.set_comm_timeouts(port, &timeouts)) return {0, true};
  uint32_t received = 0;
  (void)converter.read_file(port, bytes, count, &received, nullptr);
  if (received >= count) return {count, false};
  const uint64_t took = MonotonicMilliseconds() - started;
  return {received, took + kClockSlackMs < total_ms};
}

// count bytes (at least 1) within limit_ms, in pieces as port.h describes.
ReadResult ReadInPieces(PortHandle port, const ReadTarget &target, uint64_t count,
                        uint64_t limit_ms) {
  const ConverterBackend &converter = Converter();
  const uint64_t started = MonotonicMilliseconds();
  uint64_t piece_started = started;
  uint64_t done = 0;
  uint64_t left_ms = limit_ms;
  ClearConverterFailure();
  while (left_ms > 0) {
    const uint32_t size = target.PieceSize(count - done);
    const auto total_ms = static_cast<uint32_t>(std::min<uint64_t>(kFirstByteWaitMs, left_ms));
    uint8_t *piece_bytes = target.PieceAt(done);
    const Piece piece = ReadPiece(converter, port, piece_bytes, size, total_ms, piece_started);
    if (AnyPortTraced()) TraceReceived(piece_bytes, piece.received);
    if (target.observer != nullptr && piece.received != 0) {
      target.observer->on_piece(target.observer->context, piece_bytes, piece.received);
    }
    done += piece.received;
    if (done == count) return WholeRead(count);
    if (piece.received == 0) break;
    if (piece.received < size && piece.ended_early) break;
    piece_started = MonotonicMilliseconds();
    const uint64_t spent = piece_started - started;
    left_ms = spent < limit_ms ? limit_ms - spent : 0;
  }
  return ShortRead(done, count, started);
}

}  // namespace

bool WritePort(PortHandle port, const uint8_t *bytes, uint32_t count) {
  const ConverterBackend &converter = Converter();
  // Every request starts from a purged converter; a failed purge does not
  // stop the write.
  (void)converter.purge_comm(port, kPurgeBeforeWrite);
  uint32_t written = 0;
  ClearConverterFailure();
  (void)converter.write_file(port, bytes, count, &written, nullptr);
  if (AnyPortTraced()) TraceRequest(bytes, count, written);
  if (written == count) return true;
  return FailWithConverterReason(QX318_FAIL_WRITE_SHORT, "request written: %u of %u bytes", written,
                                 count);
}

ReadResult ReadPort(PortHandle port, uint8_t *bytes, uint32_t count) {
  return ReadPortWithin(port, bytes, count, ReadTotalMs(count));
}

ReadResult ReadPortWithin(PortHandle port, uint8_t *bytes, uint32_t count, uint64_t limit_ms) {
  if (count == 0) {
    // Nothing to wait for: one read of nothing, which the converter answers
    // at once, and complete whatever it reports.
    uint32_t received = 0;
    (void)Converter().read_file(port, bytes, 0, &received, nullptr);
    return WholeRead(0);
  }
  return ReadInPieces(port, ReadTarget{bytes, 0, nullptr}, count,
                      std::min(limit_ms, ReadTotalMs(count)));
}

ReadResult DiscardFromPort(PortHandle port, uint64_t count, uint8_t *scratch, uint32_t scratch_size,
                           const PieceObserver *observer) {
  if (count == 0) return WholeRead(0);
  if (scratch == nullptr || scratch_size == 0) {
    return ReadResult{false, 0, Counted(count), 0, QX318_FAIL_NONE};
  }
  return ReadInPieces(port, ReadTarget{scratch, scratch_size, observer}, count, ReadTotalMs(count));
}

}  // namespace qx318

using namespace qx318;

extern "C" QX318_API int32_t QX318_CALL QX318_OpenPort(const char *description, uint32_t baud_rate,
                                                       PortHandle *port_out) {
  ExportedCall call = ExportedCall::Open(baud_rate);
  // A null description would be dereferenced by the converter.
  if (port_out == nullptr) return call.Finish(Fail(QX318_FAIL_NULL_ARGUMENT, "port_out is null"));
  if (description == nullptr) {
    return call.Finish(Fail(QX318_FAIL_NULL_ARGUMENT, "description is null"));
  }
  call.Opening(description);
  const ConverterBackend &converter = Converter();
  ClearConverterFailure();
  PortHandle port =
      converter.create_file(description, kGenericRead | kGenericWrite, 0, nullptr, kOpenExisting,
                            kFileAttributeNormal | kOpenByDescription, nullptr);
  if (port == QX318_INVALID_PORT) {
    return call.Finish(FailWithConverterReason(QX318_FAIL_NOT_FOUND,
                                               "no converter \"%s\" could be opened", description));
  }
  if (!ConfigurePort(converter, port, baud_rate)) {
    (void)converter.close_handle(port);
    return call.Finish(false);
  }
  *port_out = port;
  call.Opened(port);
  return call.Finish(true);
}

extern "C" QX318_API int32_t QX318_CALL QX318_ClosePort(PortHandle port) {
  ExportedCall call = ExportedCall::Close();
  if (IsNoHandle(port)) return call.Finish(Fail(QX318_FAIL_INVALID_HANDLE, "no handle to close"));
  // The port's trace ends before its handle goes back to the converter,
  // which may give the same value to the next open.
  call.Closing(port);
  (void)Converter().close_handle(port);
  return call.Finish(true);
}
