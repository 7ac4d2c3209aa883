// A serial port on another machine, served by ser2net (or any server of the
// same kind) over TCP: "tcp://HOST:PORT" is the raw byte stream,
// "rfc2217://HOST:PORT" adds the Telnet com port control option, through
// which the line settings and the purge reach the remote port.
//
// The POSIX converter hands a handle's operations here when its description
// names a network port; reads and writes honour the converter's time-outs
// exactly as on a local port. Nothing here blocks without a bound: the
// connect and the open's Telnet negotiation wait at most
// kNetworkSetupTimeoutMs, a read its time-outs, a write without time-outs
// as long as a read of as many bytes may take. A connection that the server
// closed or that failed fails every later read and write at once; the next
// open connects afresh.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "port/converter.h"
#include "port/posix/telnet_com_port.h"
#include "port/posix/timed_io.h"

namespace qx318::posix {

inline constexpr uint32_t kNetworkSetupTimeoutMs = 3000;

// Whether description names a network port (by its scheme), so that it is
// never taken for a device path or a USB product description.
bool IsNetworkDescription(const char *description);

// Why an open failed, for the caller's failure report.
enum class NetworkOpenError {
  kNone,
  kBadDescription,  // not scheme://HOST:PORT with a port of 1-65535
  kNotResolved,     // the host name did not resolve
  kRefused,         // every address refused the connection
  kTimedOut,        // no address answered within the bound
  kNoComPort,       // the server refused or never agreed to com port control
  kNoMemory,
  kSystem,  // a socket call failed; errno tells
};

class NetworkPort {
 public:
  // Connects to the server the description names; null on failure, with
  // the reason in *error.
  static std::unique_ptr<NetworkPort> Open(const char *description, NetworkOpenError *error);
  ~NetworkPort();
  NetworkPort(const NetworkPort &) = delete;
  NetworkPort &operator=(const NetworkPort &) = delete;

  TransferResult Read(uint8_t *bytes, uint32_t count, const CommTimeouts &timeouts);
  TransferResult Write(const uint8_t *bytes, uint32_t count, const CommTimeouts &timeouts);

  // The settings last applied through this port (8N1 and rate 0 before).
  void LineSettings(Dcb *dcb) const;
  // rfc2217: sends rate, framing, flow control and the modem lines, and
  // waits for the server to confirm each setting with the value asked; a
  // different value (a refused rate) fails. tcp: the line is what the
  // server's configuration sets, so the record is only checked and kept.
  bool ApplyLineSettings(const Dcb &dcb);
  // Discards what was received and not yet read; rfc2217 also asks the
  // server to empty its receive buffer.
  bool PurgeReceived();

 private:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;
  enum class Received { kSome, kTimedOut, kBroken };

  NetworkPort(int fd, bool com_port);
  bool Allocate();
  Received Receive(Deadline deadline);
  size_t Send(const uint8_t *bytes, size_t count, Deadline deadline);
  bool SendControl(const uint8_t *bytes, size_t count);
  size_t Take(uint8_t *bytes, size_t count);
  bool AwaitComPortAgreement();
  bool AwaitLineReport(const telnet::ComPortReport &wanted);

  int fd_ = -1;
  bool com_port_ = false;
  bool broken_ = false;  // the server closed or the connection failed
  Dcb line_{};
  std::unique_ptr<telnet::Decoder> decoder_;
  // Bytes received and decoded but not yet read: [begin_, end_).
  static constexpr size_t kBufferSize = 16384;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace qx318::posix
