// A serial port on another machine, served by ser2net (or any server of the
// same kind) over TCP: "tcp://HOST:PORT" is the raw byte stream,
// "rfc2217://HOST:PORT" adds the Telnet com port control option, through
// which the line settings and the purge reach the remote port.
//
// The POSIX converter's transport (transport.h) for a description that names
// a network port. Reads and writes honour the converter's time-outs as on a
// local port, through the same engine (timed_io.h), each wait longer by the
// connection's allowance (below).
// Nothing here blocks without a bound: the connect and the Telnet
// negotiation wait at most kNetworkSetupTimeoutMs, a read its time-outs plus
// the allowance, a write without time-outs as long as a read of as many
// bytes may take, the close kNetworkCloseTimeoutMs.
//
// A byte stream cannot be purged of what is still in flight: a request that
// went out while the link was down is answered when it comes back, after
// the next request's purge. So an exchange that did not end clean (a read
// that came back short, a request not written whole, a connection that
// failed, data left unread when the next exchange purges) makes the next
// purge start a fresh connection, closed abortively so that nothing queued
// on the old one is delivered late; the server (ser2net with kickolduser)
// drops the old connection and with it every answer still on its way.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "port/converter.h"
#include "port/portable/telnet_com_port.h"
#include "port/posix/timed_io.h"
#include "port/posix/transport.h"

namespace qx318::posix {

inline constexpr uint32_t kNetworkSetupTimeoutMs = 3000;
inline constexpr uint32_t kNetworkCloseTimeoutMs = 2000;
// What a wait for the answer's bytes may take beyond the serial line's
// time-outs: the smoothed round trip plus twice the retransmission time-out
// (a segment lost and sent again, or held by Nagle's algorithm at the server
// for an acknowledgement), never more than this.
inline constexpr uint32_t kMaxNetworkAllowanceMs = 1500;
// Where the kernel gives no round-trip figures.
inline constexpr uint32_t kDefaultNetworkAllowanceMs = 500;

// Whether description names a network port (by its scheme), so that it is
// never taken for a device path or a USB product description.
bool IsNetworkDescription(const char *description);

// Opens the network port a description names; null, with the failure
// recorded, when it cannot.
std::unique_ptr<Transport> OpenNetworkTransport(const char *description);

// Why a network port failed to open or to go on.
enum class NetworkError {
  kNone,
  kBadDescription,    // not scheme://HOST:PORT with a port of 1-65535
  kNotResolved,       // the host name did not resolve
  kRefused,           // every address refused the connection
  kUnreachable,       // no route to the host or its network, or no source address
  kConnectTimedOut,   // no address answered within the bound
  kSetupHungUp,       // the server hung up while the port was being set up
  kNoComPort,         // the server refused or never agreed to com port control
  kLineNotConfirmed,  // the server did not confirm the line settings in time
  kLineRefused,       // the server confirmed other line settings than asked
  kTelnetOnRaw,       // a tcp:// port whose server speaks Telnet
  kPortInUse,         // the server serves another client on that port
  kHungUp,            // the server closed the connection, or it failed
  kNotReading,        // the server stopped taking what is sent to it
  kNoMemory,
  kSystem,  // a socket call failed; errno tells
};

struct NetworkFailure {
  NetworkError error = NetworkError::kNone;
  int system_error = 0;         // errno, where one applies
  uint32_t asked_rate = 0;      // kLineRefused: the rate asked for
  int64_t confirmed_rate = -1;  //   and the one the server confirmed
};

// What a failed connect's errno says.
NetworkError ErrorOfConnect(int error);

// Records why a network port failed, with what the caller was doing
// (context, may be empty), as the converter library's last error would say
// it.
void NoteNetworkFailure(const char *description, const NetworkFailure &failure,
                        const char *context);

class NetworkPort final : public Transport, private ReadSource {
 public:
  // Connects to the server the description names; null on failure, with
  // the reason in *failure.
  static std::unique_ptr<NetworkPort> Open(const char *description, NetworkFailure *failure);
  // Closes as Close() does, unless that was done.
  ~NetworkPort() override;
  NetworkPort(const NetworkPort &) = delete;
  NetworkPort &operator=(const NetworkPort &) = delete;

  // Ends the connection gracefully (CloseGracefully); the handle's close
  // succeeds whatever the server did.
  bool Close() override;
  // Waits until the server acknowledged everything written (a request that
  // expects no answer must reach the device), says it sends no more, reads
  // and drops what still arrives until the server closes too, then closes.
  // A reset instead would make the server drop what it has not yet written
  // to the device. Bounded by kNetworkCloseTimeoutMs; false when the server
  // had not acknowledged everything by then.
  bool CloseGracefully();

  // The engine's read, with the allowance, the gap of a stream that flowed
  // into this read, and Telnet decoding of what arrives.
  TransferResult Read(uint8_t *bytes, uint32_t count, const CommTimeouts &timeouts) override;
  TransferResult Write(const uint8_t *bytes, uint32_t count, const CommTimeouts &timeouts) override;

  // The settings last applied through this port (8N1 and rate 0 before).
  bool LineSettings(Dcb *dcb) override;
  // rfc2217: sends rate, framing, flow control and the modem lines, and
  // waits for the server to confirm each setting with the value asked; a
  // different value (a refused rate) fails. tcp: the line is what the
  // server's configuration sets, so the record is only checked and kept.
  // A fresh connection applies the same settings again.
  bool ApplyLineSettings(const Dcb &dcb) override;
  // Starts a fresh connection when the last exchange did not end clean (see
  // above), then discards what was received and not yet read; rfc2217 also
  // asks the server to empty its receive buffer.
  bool PurgeReceived() override;

  // Why the last operation failed.
  const NetworkFailure &failure() const { return failure_; }
  const std::string &description() const { return description_; }

 private:
  enum class Received { kSome, kNothing, kTimedOut, kBroken };

  NetworkPort(std::string description, bool com_port);
  bool Allocate();
  bool Connect();
  void Abandon();
  bool Reconnect();
  bool ReceiveDuringSetup(Deadline deadline, NetworkError timed_out);
  bool AgreeOnComPort(Deadline deadline);
  void Fail(NetworkError error, int system_error = 0);
  bool SetLine(const Dcb &dcb);  // ApplyLineSettings, recording nothing
  Received ReceiveOnce();
  Received Receive(Deadline deadline);
  // The engine's view of this port (ReadSource).
  uint32_t TakeReadAhead(uint8_t *bytes, uint32_t count) override;
  bool QueueLikelyEmpty() const override { return false; }
  ReadStep Pull(uint8_t *bytes, uint32_t wanted) override;
  Wait Await(Deadline deadline) override;
  void NoteFailure(const char *context) const;
  void NoteTransferFailure(const char *what, uint32_t done, uint32_t count) const;
  void NoteFirstBytes(const uint8_t *bytes, size_t count);
  size_t Send(const uint8_t *bytes, size_t count, Deadline deadline);
  bool SendControl(const uint8_t *bytes, size_t count, Deadline deadline);
  void QueueReplies();
  bool FlushReplies(Deadline deadline);
  size_t TakeWaitingControl(uint8_t *out, size_t room, Deadline deadline);
  bool SendWaitingControl(Deadline deadline);
  bool DiscardReceived();
  bool AwaitLineReport(const telnet::ComPortReport &wanted, Deadline deadline);
  bool SendLineSettings(const Dcb &dcb, Deadline deadline);
  uint32_t AllowanceMs() const;

  std::string description_;
  std::string host_;
  std::string service_;
  int fd_ = -1;
  bool com_port_ = false;
  bool broken_ = false;   // the connection ended or failed
  bool unclean_ = false;  // a write of this exchange did not go out whole
  bool last_read_short_ = false;
  // The last read came back short after bytes of it (or of the read it
  // continued) had come, the last of them at last_byte_at_.
  bool stream_flowing_ = false;
  std::chrono::steady_clock::time_point last_byte_at_{};
  bool line_applied_ = false;
  // The connection's first data bytes, kept until they tell a server's
  // message from a device's answer: the message may come in pieces, and on
  // rfc2217 behind a segment of Telnet commands alone.
  static constexpr size_t kFirstBytesKept = 64;
  uint8_t first_bytes_[kFirstBytesKept]{};
  size_t first_bytes_size_ = 0;
  NetworkFailure failure_;
  Dcb line_{};
  std::unique_ptr<telnet::Decoder> decoder_;
  // Bytes received and decoded but not yet read.
  BasicReceiveBuffer<16384> received_;
  // Telnet replies waiting for room in the socket: a server that floods
  // requests and stops reading must not hold a read past its time-outs.
  // Whole replies only; what does not fit is not answered.
  static constexpr size_t kReplyQueueSize = 512;
  uint8_t replies_[kReplyQueueSize] = {};
  size_t replies_size_ = 0;
  bool purge_waiting_ = false;         // rfc2217: the server's purge is still to be sent
  bool received_since_write_ = false;  // something came since the request went out
};

}  // namespace qx318::posix
