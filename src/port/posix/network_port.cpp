#include "port/posix/network_port.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "diagnostics/failure.h"
#include "port/posix/dcb_rules.h"
#include "port/posix/tcp_tuning.h"

namespace qx318::posix {
namespace {

using Milliseconds = std::chrono::milliseconds;

constexpr std::string_view kRawScheme = "tcp://";
constexpr std::string_view kComPortScheme = "rfc2217://";
// A write without time-outs still ends: a server that does not take n bytes
// within the time a read of n bytes may take is not coming back.
constexpr uint32_t kStalledWriteConstantMs = 1000;
constexpr uint32_t kStalledWriteMultiplierMs = 100;
constexpr size_t kReceiveChunk = 4096;
constexpr size_t kSendChunk = 1024;

struct Endpoint {
  std::string host;
  std::string port;
  bool com_port = false;
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsPortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

// scheme://HOST:PORT, an IPv6 address in brackets; nothing after the port.
bool ParseEndpoint(std::string_view description, Endpoint *out) {
  out->com_port = StartsWith(description, kComPortScheme);
  description.remove_prefix(out->com_port ? kComPortScheme.size() : kRawScheme.size());
  std::string_view host;
  std::string_view rest;
  if (StartsWith(description, "[")) {
    const size_t close = description.find(']');
    if (close == std::string_view::npos) return false;
    host = description.substr(1, close - 1);
    rest = description.substr(close + 1);
  } else {
    const size_t colon = description.find(':');
    if (colon == std::string_view::npos) return false;
    host = description.substr(0, colon);
    rest = description.substr(colon);
  }
  if (host.empty() || !StartsWith(rest, ":") || !IsPortNumber(rest.substr(1))) return false;
  out->host.assign(host);
  out->port.assign(rest.substr(1));
  return true;
}

// A non-blocking connect that waits at most until deadline; the socket, or
// -1 with the reason in *error.
int ConnectTo(const addrinfo &address, Clock::time_point deadline, int *error) {
  const int fd =
      socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // A request goes out at once instead of waiting for the answer to the last.
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  int result = 0;
  if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    result = errno;
    if (result == EINPROGRESS || result == EINTR) {
      const Wait wait = WaitFor(fd, POLLOUT, deadline);
      socklen_t size = sizeof result;
      if (wait == Wait::kTimedOut) {
        result = ETIMEDOUT;
      } else if (wait == Wait::kFailed || getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size)) {
        result = errno;
      }
    }
  }
  if (result != 0) {
    close(fd);
    *error = result;
    return -1;
  }
  return fd;
}

}  // namespace

// EADDRNOTAVAIL stays with the routes: a host whose network this machine has
// no source address for (IPv6 without a global address) is as unreachable as
// one without a route.
NetworkError ErrorOfConnect(int error) {
  switch (error) {
    case ECONNREFUSED:
      return NetworkError::kRefused;
    case ETIMEDOUT:
      return NetworkError::kConnectTimedOut;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
    case EADDRNOTAVAIL:
      return NetworkError::kUnreachable;
    default:
      return NetworkError::kSystem;
  }
}

namespace {

// Tries every address the name resolves to (IPv6 and IPv4 alike) in the
// resolver's order, each with its share of what is left of the bound.
int ConnectToAny(const std::string &host, const std::string &service, Clock::time_point deadline,
                 NetworkError *error, int *system_error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *addresses = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses) != 0 || addresses == nullptr) {
    *error = NetworkError::kNotResolved;
    return -1;
  }
  size_t left = 0;
  for (const addrinfo *a = addresses; a != nullptr; a = a->ai_next) ++left;
  int fd = -1;
  int last_error = ETIMEDOUT;
  for (const addrinfo *a = addresses; a != nullptr && fd < 0; a = a->ai_next, --left) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    fd = ConnectTo(*a, now + (deadline - now) / left, &last_error);
  }
  freeaddrinfo(addresses);
  if (fd < 0) {
    *error = ErrorOfConnect(last_error);
    *system_error = last_error;
  }
  return fd;
}

uint8_t ParityCode(uint8_t parity) {
  if (parity == kOddParity) return telnet::kParityOdd;
  if (parity == kEvenParity) return telnet::kParityEven;
  return telnet::kParityNone;
}

uint8_t FlowControlCode(const Dcb &dcb) {
  if (UsesHardwareFlowControl(dcb)) return telnet::kControlHardware;
  if (dcb.flags & kDcbOutX) return telnet::kControlXonXoff;
  return telnet::kControlNoFlowControl;
}

telnet::ComPortReport WantedReport(const Dcb &dcb) {
  telnet::ComPortReport wanted;
  wanted.baud_rate = dcb.BaudRate;
  wanted.data_size = dcb.ByteSize;
  wanted.parity = ParityCode(dcb.Parity);
  wanted.stop_size = dcb.StopBits == kOneStopBit ? telnet::kStopBitsOne : telnet::kStopBitsTwo;
  wanted.flow_control = FlowControlCode(dcb);
  return wanted;
}

bool AllReported(const telnet::ComPortReport &report) {
  return report.baud_rate >= 0 && report.data_size >= 0 && report.parity >= 0 &&
         report.stop_size >= 0 && report.flow_control >= 0;
}

bool SameSettings(const telnet::ComPortReport &a, const telnet::ComPortReport &b) {
  return a.baud_rate == b.baud_rate && a.data_size == b.data_size && a.parity == b.parity &&
         a.stop_size == b.stop_size && a.flow_control == b.flow_control;
}

// What ser2net says, and then hangs up, to a client that comes while another
// holds the port ("Port already in use", unless the connection kicks the old
// user out) or its device ("Port's device already in use").
constexpr std::string_view kPortInUseText = "already in use";
constexpr size_t kPortInUseLineMax = 64;

bool LooksLikeTelnetNegotiation(const uint8_t *bytes, size_t count) {
  return count >= 2 && bytes[0] == telnet::kIac && bytes[1] >= telnet::kWill &&
         bytes[1] <= telnet::kDont;
}

bool LooksLikePortInUse(const uint8_t *bytes, size_t count) {
  if (count == 0 || bytes[0] != 'P') return false;
  const std::string_view first(reinterpret_cast<const char *>(bytes),
                               std::min(count, kPortInUseLineMax));
  return first.substr(0, first.find('\r')).find(kPortInUseText) != std::string_view::npos;
}

// Any event, hang-up and error included: the receive that follows tells
// what it was.
bool SomethingCame(Wait wait) { return wait != Wait::kTimedOut && wait != Wait::kFailed; }

// A connection that is given up on goes with a reset: nothing still queued
// on it may reach the server, where it would be answered late.
void CloseAbortively(int fd) {
  const linger abort_at_once{1, 0};
  (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_at_once, sizeof abort_at_once);
  close(fd);
}

}  // namespace

// A refused and an unreachable connection get codes of their own: the one
// means a wrong port number or a server that is not running, the other a
// wrong address or a broken network, and a caller acts differently on each.
// A name that does not resolve (mistyped, or the resolver itself failing)
// and a connect nobody answered (a host that is down, a firewall that drops,
// a server too busy) do not say which, so they keep the general code.
void NoteNetworkFailure(const char *description, const NetworkFailure &failure,
                        const char *context) {
  const char *d = description;
  const char *c = context;
  switch (failure.error) {
    case NetworkError::kBadDescription:
      SetConverterFailure(QX318_FAIL_NOT_FOUND, "\"%s\" is not scheme://HOST:PORT", d);
      break;
    case NetworkError::kNotResolved:
      SetConverterFailure(QX318_FAIL_CONNECTION, "%s: the host name did not resolve%s", d, c);
      break;
    case NetworkError::kRefused:
      SetConverterFailure(QX318_FAIL_CONNECTION_REFUSED,
                          "%s: the connection was refused (no server on that port)%s", d, c);
      break;
    case NetworkError::kUnreachable:
      SetConverterFailure(QX318_FAIL_HOST_UNREACHABLE, "%s: the host is unreachable (%s)%s", d,
                          std::strerror(failure.system_error), c);
      break;
    case NetworkError::kConnectTimedOut:
      SetConverterFailure(QX318_FAIL_CONNECTION, "%s: no answer to the connection within %u ms%s",
                          d, kNetworkSetupTimeoutMs, c);
      break;
    case NetworkError::kSetupHungUp:
      SetConverterFailure(QX318_FAIL_CONNECTION,
                          "%s: the server hung up while the port was being set up%s", d, c);
      break;
    case NetworkError::kNoComPort:
      SetConverterFailure(QX318_FAIL_WRONG_PROTOCOL,
                          "%s: the server did not agree to com port control (RFC 2217); a raw "
                          "server is opened as tcp://%s",
                          d, c);
      break;
    case NetworkError::kLineNotConfirmed:
      SetConverterFailure(QX318_FAIL_LINE_SETTINGS,
                          "%s: the server did not confirm the line settings within %u ms%s", d,
                          kNetworkSetupTimeoutMs, c);
      break;
    case NetworkError::kLineRefused:
      if (failure.confirmed_rate != static_cast<int64_t>(failure.asked_rate)) {
        SetConverterFailure(QX318_FAIL_BAUD_RATE, "%s: the server set %lld baud, not %u%s", d,
                            static_cast<long long>(failure.confirmed_rate), failure.asked_rate, c);
      } else {
        SetConverterFailure(QX318_FAIL_LINE_SETTINGS,
                            "%s: the server set other framing or flow control than asked%s", d, c);
      }
      break;
    case NetworkError::kTelnetOnRaw:
      SetConverterFailure(QX318_FAIL_WRONG_PROTOCOL,
                          "%s: the server speaks Telnet; open it as rfc2217://%s", d, c);
      break;
    case NetworkError::kPortInUse:
      SetConverterFailure(QX318_FAIL_PORT_BUSY,
                          "%s: the server serves another client on that port (ser2net lets a new "
                          "client in with kickolduser)%s",
                          d, c);
      break;
    case NetworkError::kHungUp:
      SetConverterFailure(QX318_FAIL_HUNG_UP, "%s: the server closed the connection%s", d, c);
      break;
    case NetworkError::kNotReading:
      SetConverterFailure(QX318_FAIL_CONNECTION, "%s: the server stopped taking what is sent%s", d,
                          c);
      break;
    case NetworkError::kNoMemory:
      SetConverterFailure(QX318_FAIL_NO_MEMORY, "%s: network port record", d);
      break;
    default:
      SetConverterFailure(QX318_FAIL_PORT_ERROR, "%s: a socket call failed (%s)%s", d,
                          std::strerror(failure.system_error), c);
      break;
  }
}

bool IsNetworkDescription(const char *description) {
  const std::string_view text(description);
  return StartsWith(text, kRawScheme) || StartsWith(text, kComPortScheme);
}

std::unique_ptr<Transport> OpenNetworkTransport(const char *description) {
  NetworkFailure failure;
  std::unique_ptr<NetworkPort> port = NetworkPort::Open(description, &failure);
  if (port == nullptr) NoteNetworkFailure(description, failure, "");
  return port;
}

NetworkPort::NetworkPort(std::string description, bool com_port)
    : description_(std::move(description)), com_port_(com_port) {
  line_.DCBlength = kDcbLength;
  line_.flags = kDcbBinary;
  line_.ByteSize = 8;
  line_.Parity = kNoParity;
  line_.StopBits = kOneStopBit;
}

NetworkPort::~NetworkPort() { (void)CloseGracefully(); }

bool NetworkPort::Allocate() {
  if (com_port_) decoder_.reset(new (std::nothrow) telnet::Decoder());
  return !com_port_ || decoder_ != nullptr;
}

std::unique_ptr<NetworkPort> NetworkPort::Open(const char *description, NetworkFailure *failure) {
  *failure = NetworkFailure{};
  std::unique_ptr<NetworkPort> port;
  try {
    Endpoint endpoint;
    if (!IsNetworkDescription(description) || !ParseEndpoint(description, &endpoint)) {
      failure->error = NetworkError::kBadDescription;
      return nullptr;
    }
    port.reset(new NetworkPort(description, endpoint.com_port));
    port->host_ = std::move(endpoint.host);
    port->service_ = std::move(endpoint.port);
  } catch (...) {  // the strings' allocation
    failure->error = NetworkError::kNoMemory;
    return nullptr;
  }
  if (!port->Allocate()) {
    failure->error = NetworkError::kNoMemory;
    return nullptr;
  }
  if (!port->Connect()) {
    *failure = port->failure_;
    return nullptr;
  }
  return port;
}

void NetworkPort::Fail(NetworkError error, int system_error) {
  // What the first bytes showed explains the hang-up that follows them.
  const bool explained =
      failure_.error == NetworkError::kTelnetOnRaw || failure_.error == NetworkError::kPortInUse;
  if (explained && error == NetworkError::kHungUp) return;
  failure_ = NetworkFailure{};
  failure_.error = error;
  failure_.system_error = system_error;
}

void NetworkPort::NoteFailure(const char *context) const {
  NoteNetworkFailure(description_.c_str(), failure_, context);
}

// The same, for a transfer that moved done of count bytes.
void NetworkPort::NoteTransferFailure(const char *what, uint32_t done, uint32_t count) const {
  char context[64];
  std::snprintf(context, sizeof context, "; %s: %u of %u bytes", what, done, count);
  NoteFailure(context);
}

// A connection from scratch: the socket, for rfc2217 the com port agreement,
// and the line settings applied before, if any; all of it within one bound.
bool NetworkPort::Connect() {
  const auto deadline = Clock::now() + Milliseconds(kNetworkSetupTimeoutMs);
  failure_ = NetworkFailure{};
  broken_ = false;
  unclean_ = false;
  last_read_short_ = false;
  first_bytes_size_ = 0;
  received_.Clear();
  replies_size_ = 0;
  purge_waiting_ = false;
  received_since_write_ = false;
  if (com_port_) *decoder_ = telnet::Decoder();
  NetworkError error = NetworkError::kNone;
  int system_error = 0;
  fd_ = ConnectToAny(host_, service_, deadline, &error, &system_error);
  if (fd_ < 0) {
    Fail(error, system_error);
    broken_ = true;
    return false;
  }
  if (com_port_ && !AgreeOnComPort(deadline)) {
    Abandon();
    return false;
  }
  if (com_port_ && line_applied_ && !SendLineSettings(line_, deadline)) {
    Abandon();
    return false;
  }
  return true;
}

void NetworkPort::Abandon() {
  if (fd_ >= 0) CloseAbortively(fd_);
  fd_ = -1;
  broken_ = true;
}

bool NetworkPort::Reconnect() {
  Abandon();
  return Connect();
}

// One more receive while the port is set up; false, with the reason, when
// the server hung up or the deadline passed (then the reason is timed_out).
bool NetworkPort::ReceiveDuringSetup(Deadline deadline, NetworkError timed_out) {
  const Received received = Passed(deadline) ? Received::kTimedOut : Receive(deadline);
  if (received == Received::kSome) return true;
  if (received == Received::kTimedOut) {
    Fail(timed_out);
  } else if (failure_.error == NetworkError::kHungUp) {
    Fail(NetworkError::kSetupHungUp);
  }
  return false;
}

bool NetworkPort::AgreeOnComPort(Deadline deadline) {
  if (!SendControl(telnet::kClientGreeting, sizeof telnet::kClientGreeting, deadline)) return false;
  while (!decoder_->com_port_accepted() && !decoder_->com_port_refused()) {
    if (!ReceiveDuringSetup(deadline, NetworkError::kNoComPort)) return false;
  }
  if (decoder_->com_port_refused() || !decoder_->com_port_accepted()) {
    Fail(NetworkError::kNoComPort);
    return false;
  }
  return true;
}

// The first bytes a connection brings tell a server that does not serve this
// scheme, or that serves another client, from a device's answer. They are
// looked at again as each piece of them comes.
void NetworkPort::NoteFirstBytes(const uint8_t *bytes, size_t count) {
  if (count == 0 || first_bytes_size_ == kFirstBytesKept) return;
  const size_t kept = std::min(count, kFirstBytesKept - first_bytes_size_);
  std::memcpy(first_bytes_ + first_bytes_size_, bytes, kept);
  first_bytes_size_ += kept;
  bytes = first_bytes_;
  count = first_bytes_size_;
  if (!com_port_ && LooksLikeTelnetNegotiation(bytes, count)) {
    Fail(NetworkError::kTelnetOnRaw);
    broken_ = true;
  } else if (LooksLikePortInUse(bytes, count)) {
    Fail(NetworkError::kPortInUse);
    broken_ = true;
  }
}

// Takes what the socket holds now (up to the buffer's room) and decodes it.
// kSome may bring no data byte at all when only Telnet commands came.
NetworkPort::Received NetworkPort::ReceiveOnce() {
  if (fd_ < 0) return Received::kBroken;
  // Full only when nobody reads (a device that talks during the open's
  // negotiation): then the oldest bytes are lost.
  received_.MakeRoom();
  uint8_t chunk[kReceiveChunk];
  const size_t room = std::min<size_t>(sizeof chunk, received_.room_size());
  ssize_t got = 0;
  do {
    got = recv(fd_, chunk, room, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::kNothing;
  if (got <= 0) {
    Fail(NetworkError::kHungUp, got == 0 ? 0 : errno);
    broken_ = true;
    return Received::kBroken;
  }
  received_since_write_ = true;
  const auto size = static_cast<size_t>(got);
  if (!com_port_) NoteFirstBytes(chunk, size);
  // What gave the server away is not the device's.
  if (broken_) return Received::kBroken;
  if (!com_port_) {
    std::memcpy(received_.room(), chunk, size);
    received_.Appended(static_cast<uint32_t>(size));
    return Received::kSome;
  }
  const size_t data = decoder_->Feed(chunk, size, received_.room());
  NoteFirstBytes(received_.room(), data);
  if (broken_) return Received::kBroken;
  received_.Appended(static_cast<uint32_t>(data));
  QueueReplies();
  // Sent when the socket takes them now; the rest go before the next
  // write, so that a read never waits on the server's reading.
  if (!FlushReplies(Clock::now()) && broken_) return Received::kBroken;
  return Received::kSome;
}

// Receives once something arrives or the deadline passes.
NetworkPort::Received NetworkPort::Receive(Deadline deadline) {
  for (;;) {
    const Received received = ReceiveOnce();
    if (received != Received::kNothing) return received;
    const Wait wait = WaitFor(fd_, POLLIN, deadline);
    if (wait == Wait::kTimedOut) return Received::kTimedOut;
    if (wait == Wait::kFailed) {
      Fail(NetworkError::kSystem, errno);
      broken_ = true;
      return Received::kBroken;
    }
  }
}

// Sends until everything went or the deadline passed; a send error breaks
// the connection. Never raises SIGPIPE: a server that went away is a
// failed write, not the end of the caller's process.
size_t NetworkPort::Send(const uint8_t *bytes, size_t count, Deadline deadline) {
  size_t sent = 0;
  while (sent < count && !broken_) {
    const ssize_t put = send(fd_, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put > 0) {
      sent += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      Fail(NetworkError::kHungUp, put == 0 ? 0 : errno);
      broken_ = true;
      break;
    }
    const Wait wait = WaitFor(fd_, POLLOUT, deadline);
    if (wait == Wait::kTimedOut) break;
    if (wait == Wait::kFailed) {
      Fail(NetworkError::kSystem, errno);
      broken_ = true;
    }
  }
  return sent;
}

// A command goes out whole or the connection is given up: half a command
// would leave the server's decoder out of step with everything after it.
bool NetworkPort::SendControl(const uint8_t *bytes, size_t count, Deadline deadline) {
  if (FlushReplies(deadline) && Send(bytes, count, deadline) == count) return true;
  if (!broken_) Fail(NetworkError::kNotReading);
  broken_ = true;
  return false;
}

void NetworkPort::QueueReplies() {
  const size_t size = decoder_->reply_size();
  // Every reply is one three-byte command; only whole ones are queued.
  const size_t room = (kReplyQueueSize - replies_size_) / 3 * 3;
  const size_t taken = std::min(size, room);
  std::memcpy(replies_ + replies_size_, decoder_->reply(), taken);
  replies_size_ += taken;
  decoder_->ClearReply();
}

// Sends the queued replies that the socket takes before the deadline; true
// when none is left.
bool NetworkPort::FlushReplies(Deadline deadline) {
  if (replies_size_ == 0) return true;
  const size_t sent = Send(replies_, replies_size_, deadline);
  std::memmove(replies_, replies_ + sent, replies_size_ - sent);
  replies_size_ -= sent;
  return replies_size_ == 0;
}

uint32_t NetworkPort::AllowanceMs() const {
  const std::optional<RoundTrip> trip = RoundTripOf(fd_);
  if (!trip) return kDefaultNetworkAllowanceMs;
  const uint64_t allowance =
      uint64_t{trip->smoothed_ms} + 2 * uint64_t{trip->retransmission_timeout_ms};
  return static_cast<uint32_t>(std::min<uint64_t>(allowance, kMaxNetworkAllowanceMs));
}

uint32_t NetworkPort::TakeReadAhead(uint8_t *bytes, uint32_t count) {
  const uint32_t took = received_.Take(bytes, count);
  if (took > 0) last_byte_at_ = Clock::now();
  return took;
}

ReadStep NetworkPort::Pull(uint8_t *bytes, uint32_t wanted) {
  // Bytes that came before the connection ended are still read; after them
  // the read fails at once instead of waiting out its time-out.
  if (broken_ || fd_ < 0) return {0, true, false};
  if (purge_waiting_ && !SendWaitingControl(Clock::now() + Milliseconds(kStalledWriteConstantMs))) {
    return {0, true, false};  // broken now
  }
  (void)ReceiveOnce();
  const uint32_t took = TakeReadAhead(bytes, wanted);
  // A server that sends nothing but Telnet commands does not stretch the
  // read past its time-outs: that is no byte, and the engine's deadlines
  // still run.
  return {took, took == 0 && (broken_ || fd_ < 0), false};
}

Wait NetworkPort::Await(Deadline deadline) {
  // More is wanted than came: acknowledge what came at once, so that a
  // server holding the rest for that acknowledgement (Nagle's algorithm)
  // does not wait for a delayed one. A whole answer in one segment needs
  // no acknowledgement of its own: it rides on the next request.
  if (received_since_write_) AcknowledgeAtOnce(fd_);
  const Wait wait = WaitFor(fd_, POLLIN, deadline);
  if (wait == Wait::kFailed) {
    Fail(NetworkError::kSystem, errno);
    broken_ = true;
  }
  return SomethingCame(wait) ? Wait::kReady : wait;
}

TransferResult NetworkPort::Read(uint8_t *bytes, uint32_t count, const CommTimeouts &timeouts) {
  if (count == 0) return {};
  ReadExtras extras;
  // A pause of the stream is the line's gap, or the network's: an answer
  // held by Nagle's algorithm at the server, a segment sent again.
  if (!ReturnsAtOnce(timeouts) && fd_ >= 0) extras.allowance_ms = AllowanceMs();
  // A read that goes on with an answer whose last read came back short while
  // its bytes flowed keeps the gap from that answer's last byte: a stream
  // that stopped is not given a fresh first-byte wait because the stop fell
  // at the end of a piece (the network's longer waits make that likely).
  if (stream_flowing_) extras.gap_from = last_byte_at_;
  ReadSource &source = *this;
  const TransferResult result = ReadWithTimeouts(source, bytes, count, timeouts, extras);
  // A read that a later one continues (a long answer read in pieces) is no
  // failure; the last read of an exchange decides.
  last_read_short_ = result.count < count;
  // Whichever deadline ended it: the caller may take a read that the gap
  // ended after the serial total for one that ran out of time, and go on.
  stream_flowing_ = last_read_short_ && !broken_ && (result.count > 0 || stream_flowing_);
  if (result.failed) NoteTransferFailure("answer read", result.count, count);
  return result;
}

TransferResult NetworkPort::Write(const uint8_t *bytes, uint32_t count,
                                  const CommTimeouts &timeouts) {
  TransferResult result;
  stream_flowing_ = false;
  const auto start = Clock::now();
  Deadline deadline = TotalDeadline(start, timeouts.WriteTotalTimeoutMultiplier,
                                    timeouts.WriteTotalTimeoutConstant, count, 0);
  if (!deadline) {
    deadline = TotalDeadline(start, kStalledWriteMultiplierMs, kStalledWriteConstantMs, count, 0);
  }
  received_since_write_ = false;
  // The Telnet commands that wait (replies, the purge) go out in the
  // request's segment: a packet less, and on a link that delays each packet
  // differently the request no longer waits behind the one before it.
  uint8_t escaped[kSendChunk];
  size_t prefix = 0;
  if (!broken_ && com_port_) prefix = TakeWaitingControl(escaped, sizeof escaped / 2, deadline);
  while (result.count < count && !broken_) {
    if (!com_port_) {
      result.count += static_cast<uint32_t>(Send(bytes, count, deadline));
      break;
    }
    size_t escaped_size = 0;
    const size_t taken = telnet::Escape(bytes + result.count, count - result.count,
                                        escaped + prefix, sizeof escaped - prefix, &escaped_size);
    const size_t sent = Send(escaped, prefix + escaped_size, deadline);
    if (sent < prefix) {
      // Half a command leaves the server's decoder out of step.
      if (!broken_) Fail(NetworkError::kNotReading);
      broken_ = true;
      break;
    }
    const size_t data_sent = sent - prefix;
    prefix = 0;
    if (data_sent == escaped_size) {
      result.count += static_cast<uint32_t>(taken);
      continue;
    }
    // Count only the data bytes whose whole escape went out.
    size_t whole = 0;
    for (size_t i = 0; i < taken; ++i) {
      const size_t size = bytes[result.count + i] == telnet::kIac ? 2 : 1;
      if (whole + size > data_sent) {
        result.count += static_cast<uint32_t>(i);
        break;
      }
      whole += size;
    }
    break;
  }
  if (result.count < count) {
    unclean_ = true;
    if (!broken_ && failure_.error == NetworkError::kNone) Fail(NetworkError::kNotReading);
  }
  result.failed = broken_;
  if (result.failed) NoteTransferFailure("request written", result.count, count);
  return result;
}

bool NetworkPort::LineSettings(Dcb *dcb) {
  *dcb = line_;
  return true;
}

bool NetworkPort::AwaitLineReport(const telnet::ComPortReport &wanted, Deadline deadline) {
  while (!AllReported(decoder_->report())) {
    // Bytes from the device while the line changes are dropped, as a local
    // port's change drops them; the open purges right after anyway.
    received_.Clear();
    if (!ReceiveDuringSetup(deadline, NetworkError::kLineNotConfirmed)) return false;
  }
  received_.Clear();
  if (SameSettings(decoder_->report(), wanted)) return true;
  Fail(NetworkError::kLineRefused);
  failure_.asked_rate = static_cast<uint32_t>(wanted.baud_rate);
  failure_.confirmed_rate = decoder_->report().baud_rate;
  return false;
}

bool NetworkPort::SendLineSettings(const Dcb &dcb, Deadline deadline) {
  const telnet::ComPortReport wanted = WantedReport(dcb);
  uint8_t message[7 * telnet::kLongestCommand];
  size_t size = 0;
  size += telnet::ComPortCommand32(telnet::kSetBaudRate, dcb.BaudRate, message + size);
  size += telnet::ComPortCommand(telnet::kSetDataSize, dcb.ByteSize, message + size);
  size += telnet::ComPortCommand(telnet::kSetParity, ParityCode(dcb.Parity), message + size);
  size += telnet::ComPortCommand(telnet::kSetStopSize, static_cast<uint8_t>(wanted.stop_size),
                                 message + size);
  size += telnet::ComPortCommand(telnet::kSetControl, static_cast<uint8_t>(wanted.flow_control),
                                 message + size);
  // DTR and RTS follow the record, as on a local port. A server whose device
  // has no modem lines may leave these unanswered, so no answer is awaited
  // for them.
  size += telnet::ComPortCommand(
      telnet::kSetControl,
      (dcb.flags & kDcbDtrControlMask) ? telnet::kControlDtrOn : telnet::kControlDtrOff,
      message + size);
  if (!UsesRtsHandshake(dcb)) {
    size += telnet::ComPortCommand(
        telnet::kSetControl,
        (dcb.flags & kDcbRtsControlMask) ? telnet::kControlRtsOn : telnet::kControlRtsOff,
        message + size);
  }
  decoder_->ForgetReport();
  return SendControl(message, size, deadline) && AwaitLineReport(wanted, deadline);
}

bool NetworkPort::ApplyLineSettings(const Dcb &dcb) {
  if (SetLine(dcb)) return true;
  if (failure_.error != NetworkError::kNone) NoteFailure("");
  return false;
}

bool NetworkPort::SetLine(const Dcb &dcb) {
  if (broken_ || dcb.BaudRate == 0 || !IsOfferedFraming(dcb)) return false;
  if (com_port_ && !SendLineSettings(dcb, Clock::now() + Milliseconds(kNetworkSetupTimeoutMs))) {
    return false;
  }
  line_ = dcb;
  line_.DCBlength = kDcbLength;
  line_applied_ = true;
  return true;
}

// Empties what the buffer and the socket hold now, taking Telnet commands in
// it as they come; bytes that arrive later belong to what follows. False
// when data was left unread (the last exchange did not take all its answer,
// or something else talked) or the connection failed.
bool NetworkPort::DiscardReceived() {
  bool nothing_left = received_.size() == 0;
  received_.Clear();
  int queued = 0;
  if (ioctl(fd_, FIONREAD, &queued) != 0) queued = 0;
  while (queued > 0 && !broken_) {
    if (Receive(Clock::now()) != Received::kSome) break;
    nothing_left = nothing_left && received_.size() == 0;
    received_.Clear();
    queued -= static_cast<int>(kReceiveChunk);
  }
  return nothing_left && !broken_;
}

bool NetworkPort::PurgeReceived() {
  stream_flowing_ = false;
  const bool clean = fd_ >= 0 && !broken_ && !unclean_ && !last_read_short_;
  if (!(clean && DiscardReceived()) && !Reconnect()) return false;
  // The server's purge goes out with the request that follows (or before a
  // read, should one come first).
  if (com_port_) purge_waiting_ = true;
  return true;
}

// Moves the replies and the purge that wait into out (room bytes; replies
// that do not fit are sent first, within deadline); returns their size.
size_t NetworkPort::TakeWaitingControl(uint8_t *out, size_t room, Deadline deadline) {
  const size_t purge_size = purge_waiting_ ? telnet::kLongestCommand : 0;
  if (replies_size_ + purge_size > room && !FlushReplies(deadline)) {
    // The purge must precede the request; a server that takes neither fails
    // the write.
    if (!broken_) Fail(NetworkError::kNotReading);
    broken_ = true;
    return 0;
  }
  size_t size = replies_size_;
  std::memcpy(out, replies_, replies_size_);
  replies_size_ = 0;
  if (purge_waiting_) {
    size += telnet::ComPortCommand(telnet::kPurgeData, telnet::kPurgeReceiveBuffer, out + size);
    purge_waiting_ = false;
  }
  return size;
}

// Sends what TakeWaitingControl would have put before a request.
bool NetworkPort::SendWaitingControl(Deadline deadline) {
  uint8_t control[kReplyQueueSize + telnet::kLongestCommand];
  const size_t size = TakeWaitingControl(control, sizeof control, deadline);
  return size == 0 || SendControl(control, size, deadline);
}

bool NetworkPort::Close() {
  (void)CloseGracefully();
  return true;
}

bool NetworkPort::CloseGracefully() {
  if (fd_ < 0) return true;
  const int fd = fd_;
  fd_ = -1;
  if (broken_) {
    close(fd);
    return true;
  }
  const auto deadline = Clock::now() + Milliseconds(kNetworkCloseTimeoutMs);
  // Until the server has acknowledged every byte; what arrives meanwhile is
  // read and dropped, so that the close never finds unread bytes (which
  // would make it a reset).
  uint8_t sink[kReceiveChunk];
  bool delivered = false;
  bool server_closed = false;
  while (!server_closed) {
    const std::optional<uint32_t> unacknowledged = UnacknowledgedBytes(fd);
    delivered = !unacknowledged || *unacknowledged == 0;
    if (delivered) break;
    if (Clock::now() >= deadline) break;
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 5) > 0) server_closed = recv(fd, sink, sizeof sink, MSG_DONTWAIT) == 0;
  }
  // Then says it is done and waits for the server to close its side.
  if (!server_closed) (void)shutdown(fd, SHUT_WR);
  while (!server_closed && SomethingCame(WaitFor(fd, POLLIN, deadline))) {
    const ssize_t got = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    server_closed = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
  }
  close(fd);
  return delivered;
}

}  // namespace qx318::posix
