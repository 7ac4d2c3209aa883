// The converter on POSIX systems. The description names the port: a path
// ("/dev/ttyUSB0", a pseudo-terminal's slave) opens that device; any other
// string is the USB product description of a ttyUSB/ttyACM device listed in
// sysfs (serial_transport.h); "tcp://HOST:PORT" and "rfc2217://HOST:PORT"
// open a serial port served over the network (network_port.h). Each open
// port is a transport (transport.h) and the time-outs its reads and writes
// honour; the handle names it in the table of open ports (handle_table.h).
// Every operation leases the handle and hands the work to its transport.
#include <cstdint>

#include "diagnostics/failure.h"
#include "port/converter.h"
#include "port/posix/handle_table.h"
#include "port/posix/network_port.h"
#include "port/posix/serial_transport.h"

namespace qx318 {
namespace {

using posix::OpenPort;
using posix::PortLease;
using posix::TransferResult;

std::unique_ptr<posix::Transport> OpenTransport(const char *description) {
  return posix::IsNetworkDescription(description) ? posix::OpenNetworkTransport(description)
                                                  : posix::OpenSerialTransport(description);
}

PortHandle PosixCreateFile(const char *description, uint32_t, uint32_t, void *, uint32_t, uint32_t,
                           void *) {
  if (description == nullptr || description[0] == '\0') return QX318_INVALID_PORT;
  OpenPort opened{{}, OpenTransport(description)};
  if (opened.transport == nullptr) return QX318_INVALID_PORT;
  const PortHandle port = posix::ClaimSlot(opened);
  if (port == QX318_INVALID_PORT) {
    SetConverterFailure(QX318_FAIL_PORT_ERROR, "all %u port slots are in use",
                        posix::kPortSlotCount);
  }
  return port;  // a port left over closes with `opened`
}

Bool32 PosixCloseHandle(PortHandle handle) { return posix::CloseSlot(handle); }

// A read or write of the leased port's transport, with the converter's
// checks of the caller's arguments around it.
template <typename Bytes, typename Move>
Bool32 Transfer(PortHandle handle, Bytes *buffer, uint32_t count, uint32_t *transferred,
                Move transfer) {
  if (transferred != nullptr) *transferred = 0;
  const PortLease port(handle);
  if (!port || transferred == nullptr || (buffer == nullptr && count != 0)) return 0;
  const TransferResult result = transfer(*port->transport, buffer, port->timeouts);
  *transferred = result.count;
  return !result.failed;
}

Bool32 PosixReadFile(PortHandle handle, void *buffer, uint32_t count, uint32_t *transferred,
                     void *) {
  return Transfer(handle, buffer, count, transferred,
                  [count](posix::Transport &transport, void *bytes, const CommTimeouts &timeouts) {
                    return transport.Read(static_cast<uint8_t *>(bytes), count, timeouts);
                  });
}

Bool32 PosixWriteFile(PortHandle handle, const void *buffer, uint32_t count, uint32_t *transferred,
                      void *) {
  return Transfer(
      handle, buffer, count, transferred,
      [count](posix::Transport &transport, const void *bytes, const CommTimeouts &timeouts) {
        return transport.Write(static_cast<const uint8_t *>(bytes), count, timeouts);
      });
}

Bool32 PosixGetCommState(PortHandle handle, Dcb *dcb) {
  const PortLease port(handle);
  return port && dcb != nullptr && port->transport->LineSettings(dcb);
}

Bool32 PosixSetCommState(PortHandle handle, Dcb *dcb) {
  const PortLease port(handle);
  if (!port || dcb == nullptr) return 0;
  // A rate of 0 would hang the line up instead of setting it.
  if (dcb->BaudRate == 0) {
    SetConverterFailure(QX318_FAIL_BAUD_RATE, "0 baud was refused");
    return 0;
  }
  return port->transport->ApplyLineSettings(*dcb);
}

Bool32 PosixSetCommTimeouts(PortHandle handle, CommTimeouts *timeouts) {
  const PortLease port(handle);
  if (!port || timeouts == nullptr) return 0;
  port->timeouts = *timeouts;
  return 1;
}

// The kernel sizes its own queues; the request only needs a live port.
Bool32 PosixSetupComm(PortHandle handle, uint32_t, uint32_t) {
  return static_cast<bool>(PortLease(handle));
}

// Purging discards the bytes received and not yet read, so that a late answer
// to a failed exchange is never taken for the next one. It never discards
// bytes still waiting to go out: a request that gets no answer (a parameter
// write, lock result) must reach the device in full even when the next
// request follows at once.
Bool32 PosixPurgeComm(PortHandle handle, uint32_t flags) {
  const PortLease port(handle);
  if (!port) return 0;
  if (!(flags & (kPurgeRxAbort | kPurgeRxClear))) return 1;
  return port->transport->PurgeReceived();
}

// Reads wait through poll, so there are no events to select.
Bool32 PosixSetCommMask(PortHandle handle, uint32_t) {
  return static_cast<bool>(PortLease(handle));
}

constexpr ConverterBackend kPosixConverter{
    PosixCreateFile,   PosixCloseHandle,     PosixReadFile,  PosixWriteFile, PosixGetCommState,
    PosixSetCommState, PosixSetCommTimeouts, PosixSetupComm, PosixPurgeComm, PosixSetCommMask,
};

}  // namespace

const ConverterBackend &Converter() { return kPosixConverter; }

}  // namespace qx318
