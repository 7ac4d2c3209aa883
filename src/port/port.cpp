#include "port/port.h"

#include <algorithm>

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

bool ConfigurePort(const ConverterBackend &converter, PortHandle port, uint32_t baud_rate) {
  Dcb dcb{};
  if (!converter.get_comm_state(port, &dcb)) return false;
  ApplyLineSettings(dcb, baud_rate);
  if (!converter.set_comm_state(port, &dcb)) return false;

  CommTimeouts timeouts{kReadIntervalTimeoutMs, kReadTotalTimeoutMultiplierMs,
                        kReadTotalTimeoutConstantMs, 0, 0};
  if (!converter.set_comm_timeouts(port, &timeouts)) return false;
  if (!converter.setup_comm(port, kQueueSize, kQueueSize)) return false;
  if (!converter.purge_comm(port, kPurgeBeforeWrite)) return false;
  return converter.set_comm_mask(port, kEventMask) != 0;
}

// A read's bytes go one after the other into the caller's buffer; bytes that
// are thrown away go into a scratch area, each piece over the one before.
struct ReadTarget {
  uint8_t *bytes;
  uint32_t scratch_size;  // 0: bytes has room for the whole read

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
// 1: a total of 0 would mean no total at all) after it began, or 100 ms
// after a byte with no other one behind it.
Piece ReadPiece(const ConverterBackend &converter, PortHandle port, uint8_t *bytes, uint32_t count,
                uint32_t total_ms) {
  CommTimeouts timeouts{kReadIntervalTimeoutMs, 0, total_ms, 0, 0};
  if (!converter.set_comm_timeouts(port, &timeouts)) return {0, true};
  const uint64_t started = MonotonicMilliseconds();
  uint32_t received = 0;
  (void)converter.read_file(port, bytes, count, &received, nullptr);
  const uint64_t took = MonotonicMilliseconds() - started;
  return {std::min(received, count), took + kClockSlackMs < total_ms};
}

// count bytes (at least 1) within limit_ms, in pieces as port.h describes.
bool ReadInPieces(PortHandle port, const ReadTarget &target, uint64_t count, uint64_t limit_ms) {
  const ConverterBackend &converter = Converter();
  const uint64_t started = MonotonicMilliseconds();
  uint64_t done = 0;
  uint64_t left_ms = limit_ms;
  while (left_ms > 0) {
    const uint32_t size = target.PieceSize(count - done);
    const auto total_ms = static_cast<uint32_t>(std::min<uint64_t>(kFirstByteWaitMs, left_ms));
    const Piece piece = ReadPiece(converter, port, target.PieceAt(done), size, total_ms);
    done += piece.received;
    if (done == count) return true;
    if (piece.received == 0) return false;
    if (piece.received < size && piece.ended_early) return false;
    const uint64_t spent = MonotonicMilliseconds() - started;
    left_ms = spent < limit_ms ? limit_ms - spent : 0;
  }
  return false;
}

}  // namespace

bool WritePort(PortHandle port, const uint8_t *bytes, uint32_t count) {
  const ConverterBackend &converter = Converter();
  // Every request starts from a purged converter; a failed purge does not
  // stop the write.
  (void)converter.purge_comm(port, kPurgeBeforeWrite);
  uint32_t written = 0;
  (void)converter.write_file(port, bytes, count, &written, nullptr);
  return written == count;
}

bool ReadPort(PortHandle port, uint8_t *bytes, uint32_t count) {
  return ReadPortWithin(port, bytes, count, ReadTotalMs(count));
}

bool ReadPortWithin(PortHandle port, uint8_t *bytes, uint32_t count, uint64_t limit_ms) {
  if (count == 0) {
    // Nothing to wait for: one read of nothing, which the converter answers
    // at once, and true whatever it reports.
    uint32_t received = 0;
    (void)Converter().read_file(port, bytes, 0, &received, nullptr);
    return true;
  }
  return ReadInPieces(port, ReadTarget{bytes, 0}, count, std::min(limit_ms, ReadTotalMs(count)));
}

bool DiscardFromPort(PortHandle port, uint64_t count, uint8_t *scratch, uint32_t scratch_size) {
  if (count == 0) return true;
  if (scratch == nullptr || scratch_size == 0) return false;
  return ReadInPieces(port, ReadTarget{scratch, scratch_size}, count, ReadTotalMs(count));
}

}  // namespace qx318

using namespace qx318;

extern "C" QX318_API int32_t QX318_CALL QX318_OpenPort(const char *description, uint32_t baud_rate,
                                                       PortHandle *port_out) {
  // A null description would be dereferenced by the converter.
  if (port_out == nullptr || description == nullptr) return 0;
  const ConverterBackend &converter = Converter();
  PortHandle port =
      converter.create_file(description, kGenericRead | kGenericWrite, 0, nullptr, kOpenExisting,
                            kFileAttributeNormal | kOpenByDescription, nullptr);
  if (port == QX318_INVALID_PORT) return 0;
  if (!ConfigurePort(converter, port, baud_rate)) {
    (void)converter.close_handle(port);
    return 0;
  }
  *port_out = port;
  return 1;
}

extern "C" QX318_API int32_t QX318_CALL QX318_ClosePort(PortHandle port) {
  if (IsNoHandle(port)) return 0;
  (void)Converter().close_handle(port);
  return 1;
}
