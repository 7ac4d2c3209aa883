#include "port/port.h"

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
  uint32_t received = 0;
  (void)Converter().read_file(port, bytes, count, &received, nullptr);
  return received == count;
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
