#include "port/port.h"

#include "diagnostics/failure.h"
#include "diagnostics/trace.h"
#include "port/converter.h"

namespace qx318 {
namespace {

constexpr uint32_t kDcbLength = 28;
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

// The figures of a read that moved fewer bytes than asked: what the frame
// reader turns into "no answer" or "cut short" with the field's name.
void NoteShortRead(uint32_t received, uint32_t count, uint64_t started) {
  ThreadFailure *record = ThisThreadFailure();
  const uint64_t elapsed = MonotonicMilliseconds() - started;
  if (record != nullptr) record->last_short_read = ShortRead{received, count, elapsed};
  if (received == 0) {
    (void)FailWithConverterReason(QX318_FAIL_NO_ANSWER, "no byte within %llu ms",
                                  static_cast<unsigned long long>(elapsed));
  } else {
    (void)FailWithConverterReason(QX318_FAIL_ANSWER_CUT_SHORT, "%u of %u bytes after %llu ms",
                                  received, count, static_cast<unsigned long long>(elapsed));
  }
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

bool ReadPort(PortHandle port, uint8_t *bytes, uint32_t count) {
  uint32_t received = 0;
  const uint64_t started = MonotonicMilliseconds();
  ClearConverterFailure();
  (void)Converter().read_file(port, bytes, count, &received, nullptr);
  if (AnyPortTraced()) TraceReceived(bytes, received < count ? received : count);
  if (received == count) return true;
  NoteShortRead(received, count, started);
  return false;
}

}  // namespace qx318

using namespace qx318;

extern "C" QX318_API int32_t QX318_CALL QX318_OpenPort(const char *description, uint32_t baud_rate,
                                                       PortHandle *port_out) {
  ClearFailure();
  // A null description would be dereferenced by the converter.
  if (port_out == nullptr) return Fail(QX318_FAIL_NULL_ARGUMENT, "port_out is null");
  if (description == nullptr) return Fail(QX318_FAIL_NULL_ARGUMENT, "description is null");
  const ConverterBackend &converter = Converter();
  ClearConverterFailure();
  PortHandle port =
      converter.create_file(description, kGenericRead | kGenericWrite, 0, nullptr, kOpenExisting,
                            kFileAttributeNormal | kOpenByDescription, nullptr);
  if (port == QX318_INVALID_PORT) {
    (void)FailWithConverterReason(QX318_FAIL_NOT_FOUND, "no converter \"%s\" could be opened",
                                  description);
    TraceFailedOpen(description);
    return 0;
  }
  if (!ConfigurePort(converter, port, baud_rate)) {
    (void)converter.close_handle(port);
    TraceFailedOpen(description);
    return 0;
  }
  TraceOpenedPort(port, description, baud_rate);
  *port_out = port;
  return 1;
}

extern "C" QX318_API int32_t QX318_CALL QX318_ClosePort(PortHandle port) {
  ClearFailure();
  if (IsNoHandle(port)) return Fail(QX318_FAIL_INVALID_HANDLE, "no handle to close");
  TraceClosedPort(port);
  (void)Converter().close_handle(port);
  return 1;
}
