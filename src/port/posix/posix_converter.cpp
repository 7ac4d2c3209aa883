// The converter on POSIX systems: a serial device driven through termios.
//
// The description names the device: a path ("/dev/ttyUSB0", a
// pseudo-terminal's slave) opens that device; any other string is the USB
// product description of a ttyUSB/ttyACM device listed in sysfs;
// "tcp://HOST:PORT" and "rfc2217://HOST:PORT" open a serial port served over
// the network (network_port.h). Each open port has a descriptor or a network
// port, and the time-outs its reads and writes honour; the handle names it in
// a table of open ports (see below).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "diagnostics/failure.h"
#include "port/converter.h"
#include "port/posix/line_speed.h"
#include "port/posix/low_latency.h"
#include "port/posix/network_port.h"
#include "port/posix/timed_io.h"
#include "port/posix/usb_lookup.h"

namespace qx318 {
namespace {

using posix::TransferResult;

constexpr char kSysfsRoot[] = "/sys";

// The bytes a serial port has read ahead (posix::ReceiveBuffer), with a flag
// for the one read or purge that may use them at a time. Two exchanges on one
// port at once are the caller's error; the flag keeps even that from sharing
// the buffer: whoever finds it taken goes to the kernel directly, as if there
// were no buffer.
struct ReadAhead {
  posix::ReceiveBuffer buffer;
  std::atomic_flag in_use;  // clear: free
};

// Holds a port's read-ahead buffer for one read or purge, if it is free.
class ReadAheadUse {
 public:
  explicit ReadAheadUse(ReadAhead *read_ahead)
      : held_(read_ahead != nullptr && !read_ahead->in_use.test_and_set(std::memory_order_acquire)
                  ? read_ahead
                  : nullptr) {}
  ~ReadAheadUse() {
    if (held_ != nullptr) held_->in_use.clear(std::memory_order_release);
  }
  ReadAheadUse(const ReadAheadUse &) = delete;
  ReadAheadUse &operator=(const ReadAheadUse &) = delete;

  posix::ReceiveBuffer *buffer() const { return held_ != nullptr ? &held_->buffer : nullptr; }

 private:
  ReadAhead *held_;
};

// A serial device (fd, with its read-ahead buffer) or a network port
// (network), never both.
struct PosixPort {
  int fd = -1;
  CommTimeouts timeouts{};
  uint32_t baud_rate = 0;
  std::unique_ptr<posix::NetworkPort> network;
  std::unique_ptr<ReadAhead> read_ahead;
};

// ------------------------------------------------------------ open ports
//
// Handles are checked, not trusted. A handle is not a pointer: it names a
// slot of a fixed table of open ports and the generation of the port in that
// slot, and every operation first leases the slot through the handle. A value
// this converter never handed out, or one whose port was closed (the slot
// free, or holding a later port of a newer generation), is refused: the
// operation fails, and reads and writes report 0 bytes. A stale handle thus
// never reaches a port opened after it, and closing twice is harmless.
//
// The table is the converter's one piece of process-wide state that changes,
// and it takes no lock. Each slot has one atomic word: the generation, the
// phase (free, opening, open, closing) and the number of operations using the
// port right now. A slot is claimed by compare-exchange from free to opening
// with the next generation; its record is filled by the claiming thread
// alone and published by the store that makes it open. An operation leases
// an open slot by counting itself in, if the word still names its
// generation; the close marks the slot closing and releases the descriptor
// only once the last lease is returned, by whichever thread returns it. So
// opening and closing on one thread while other threads use other ports (or
// even, by mistake, a port being closed) never touches a record or a
// descriptor that another thread is using. Two exchanges on one port at once
// remain the caller's error, as everywhere.
//
// Handle values: generation << 10 | slot. Generations start at 1, so no
// handle is 0, and they wrap before the value could have all bits set (on a
// 64-bit system after 2^32 opens of one slot).

constexpr unsigned kSlotBits = 10;
constexpr uint32_t kSlotCount = 1u << kSlotBits;  // ports open at once
constexpr uint64_t kMaxGeneration = std::min<uint64_t>(UINT32_MAX, (UINTPTR_MAX >> kSlotBits) - 1);

enum class Phase : uint32_t { kFree = 0, kOpening = 1, kOpen = 2, kClosing = 3 };

// The slot's word: generation in bits 0-31, phase in 32-33, leases above.
struct SlotState {
  uint32_t generation = 0;
  Phase phase = Phase::kFree;
  uint32_t leases = 0;

  static SlotState Of(uint64_t word) {
    return {static_cast<uint32_t>(word), static_cast<Phase>((word >> 32) & 3u),
            static_cast<uint32_t>(word >> 34)};
  }
  uint64_t Word() const {
    return uint64_t{generation} | uint64_t{static_cast<uint32_t>(phase)} << 32 |
           uint64_t{leases} << 34;
  }
};

constexpr uint32_t kMaxLeases = (1u << 30) - 1;

struct Slot {
  std::atomic<uint64_t> state{0};
  PosixPort port;  // see above for who may touch it when
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

constinit Slot g_slots[kSlotCount];

uint32_t NextGeneration(uint32_t generation) {
  return generation >= kMaxGeneration ? 1 : generation + 1;
}

PortHandle HandleOf(uint32_t slot, uint32_t generation) {
  return reinterpret_cast<PortHandle>(static_cast<uintptr_t>(generation) << kSlotBits | slot);
}

// The slot and generation a handle names; null when no handle can name one.
Slot *SlotNamedBy(PortHandle handle, uint32_t *generation) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  const uintptr_t named = value >> kSlotBits;
  if (named == 0 || named > kMaxGeneration) return nullptr;
  *generation = static_cast<uint32_t>(named);
  return &g_slots[value & (kSlotCount - 1)];
}

// Closes the descriptor of a slot that is closing with no lease left, and
// frees the slot. Only one thread can get here for a given close.
bool FinishClose(Slot &slot, uint32_t generation) {
  // A pseudo-terminal's slave keeps the exclusive flag for as long as its
  // master is open, which would refuse every later open by an unprivileged
  // user; a real serial device drops the flag at its last close anyway.
  bool closed = true;
  if (slot.port.fd >= 0) {
    (void)ioctl(slot.port.fd, TIOCNXCL);
    closed = close(slot.port.fd) == 0;
  }
  slot.port = PosixPort{};  // a network port closes its connection here
  slot.state.store(SlotState{generation, Phase::kFree, 0}.Word(), std::memory_order_release);
  return closed;
}

// Puts an opened port into a free slot; QX318_INVALID_PORT when every slot
// is taken (the port is then left to the caller).
PortHandle ClaimSlot(PosixPort &opened) {
  for (uint32_t index = 0; index < kSlotCount; ++index) {
    Slot &slot = g_slots[index];
    uint64_t word = slot.state.load(std::memory_order_acquire);
    const SlotState state = SlotState::Of(word);
    if (state.phase != Phase::kFree) continue;
    const uint32_t generation = NextGeneration(state.generation);
    if (!slot.state.compare_exchange_strong(word, SlotState{generation, Phase::kOpening, 0}.Word(),
                                            std::memory_order_acq_rel)) {
      continue;  // another thread took it first
    }
    slot.port = std::move(opened);
    slot.state.store(SlotState{generation, Phase::kOpen, 0}.Word(), std::memory_order_release);
    return HandleOf(index, generation);
  }
  return QX318_INVALID_PORT;
}

// The port a handle names, held for the length of one operation.
class PortLease {
 public:
  explicit PortLease(PortHandle handle) {
    Acquire(handle);
    if (slot_ == nullptr) {
      SetConverterFailure(QX318_FAIL_INVALID_HANDLE, "the handle is not an open port");
    }
  }
  ~PortLease() {
    if (slot_ == nullptr) return;
    uint64_t word = slot_->state.load(std::memory_order_relaxed);
    SlotState state;
    do {
      state = SlotState::Of(word);
      --state.leases;
    } while (!slot_->state.compare_exchange_weak(word, state.Word(), std::memory_order_acq_rel,
                                                 std::memory_order_relaxed));
    if (state.phase == Phase::kClosing && state.leases == 0) {
      (void)FinishClose(*slot_, state.generation);
    }
  }
  PortLease(const PortLease &) = delete;
  PortLease &operator=(const PortLease &) = delete;

  explicit operator bool() const { return slot_ != nullptr; }
  PosixPort *operator->() const { return &slot_->port; }

 private:
  void Acquire(PortHandle handle) {
    uint32_t generation = 0;
    Slot *slot = SlotNamedBy(handle, &generation);
    if (slot == nullptr) return;
    uint64_t word = slot->state.load(std::memory_order_acquire);
    for (;;) {
      SlotState state = SlotState::Of(word);
      if (state.phase != Phase::kOpen || state.generation != generation ||
          state.leases == kMaxLeases) {
        return;
      }
      ++state.leases;
      if (slot->state.compare_exchange_weak(word, state.Word(), std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
        slot_ = slot;
        return;
      }
    }
  }

  Slot *slot_ = nullptr;
};

// Closes the port a handle names, at once or when its last lease ends;
// false when the handle names no open port.
bool CloseSlot(PortHandle handle) {
  uint32_t generation = 0;
  Slot *slot = SlotNamedBy(handle, &generation);
  if (slot == nullptr) return false;
  uint64_t word = slot->state.load(std::memory_order_acquire);
  for (;;) {
    SlotState state = SlotState::Of(word);
    if (state.phase != Phase::kOpen || state.generation != generation) return false;
    const uint32_t leases = state.leases;
    state.phase = Phase::kClosing;
    if (slot->state.compare_exchange_weak(word, state.Word(), std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
      return leases == 0 ? FinishClose(*slot, generation) : true;
    }
  }
}

// What an open's errno says, as the converter library's last error would.
void NoteOpenFailure(const std::string &path, int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      SetConverterFailure(QX318_FAIL_NOT_FOUND, "%s: no such device", path.c_str());
      break;
    case EBUSY:
    case EWOULDBLOCK:
      SetConverterFailure(QX318_FAIL_PORT_BUSY, "%s is open elsewhere", path.c_str());
      break;
    case EACCES:
    case EPERM:
      SetConverterFailure(QX318_FAIL_ACCESS_DENIED, "%s: permission denied", path.c_str());
      break;
    default:
      SetConverterFailure(QX318_FAIL_PORT_ERROR, "%s: %s", path.c_str(), std::strerror(error));
      break;
  }
}

std::string DevicePathFor(const char *description) {
  if (description[0] == '/') return description;
  const std::string name = posix::FindTtyByProductDescription(kSysfsRoot, description);
  return name.empty() ? std::string() : "/dev/" + name;
}

int OpenSerialDevice(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    NoteOpenFailure(path, errno);
    return -1;
  }
  // The terminal's exclusive mode does not hold against root; the lock
  // refuses a second open through this library by anyone, as the converter
  // opened for no sharing does. Both end with the last close.
  if (!isatty(fd)) {
    SetConverterFailure(QX318_FAIL_NOT_FOUND, "%s is not a serial device", path.c_str());
  } else if (ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    NoteOpenFailure(path, errno);
  } else if (!posix::MakeRaw(fd)) {
    SetConverterFailure(QX318_FAIL_LINE_SETTINGS, "%s refused raw mode", path.c_str());
  } else {
    // Best effort: a converter that keeps its latency timer still works,
    // only slower, and a pseudo-terminal has no such mode.
    (void)posix::RequestLowLatency(fd);
    return fd;
  }
  close(fd);
  return -1;
}

uint32_t CurrentBaudRate(int fd, const termios &tio) {
  const uint32_t named = posix::NamedSpeedRate(cfgetospeed(&tio));
  return named != 0 ? named : posix::ReadArbitrarySpeed(fd);
}

// Why a network port failed, with what the caller was doing (context, may
// be empty), as the converter library's last error would say it.
void NoteNetworkFailure(const char *description, const posix::NetworkFailure &failure,
                        const char *context) {
  using posix::NetworkError;
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
      SetConverterFailure(QX318_FAIL_CONNECTION,
                          "%s: the connection was refused (no server on that port)%s", d, c);
      break;
    case NetworkError::kUnreachable:
      SetConverterFailure(QX318_FAIL_CONNECTION, "%s: the host is unreachable (%s)%s", d,
                          std::strerror(failure.system_error), c);
      break;
    case NetworkError::kConnectTimedOut:
      SetConverterFailure(QX318_FAIL_CONNECTION, "%s: no answer to the connection within %u ms%s",
                          d, posix::kNetworkSetupTimeoutMs, c);
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
                          posix::kNetworkSetupTimeoutMs, c);
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

// The same, for a transfer that moved done of count bytes.
void NoteNetworkTransferFailure(const posix::NetworkPort &network, const char *what, uint32_t done,
                                uint32_t count) {
  char context[64];
  std::snprintf(context, sizeof context, "; %s: %u of %u bytes", what, done, count);
  NoteNetworkFailure(network.description().c_str(), network.failure(), context);
}

PortHandle OpenNetworkPort(const char *description) {
  posix::NetworkFailure failure;
  PosixPort opened{-1, {}, 0, posix::NetworkPort::Open(description, &failure), nullptr};
  if (opened.network == nullptr) {
    NoteNetworkFailure(description, failure, "");
    return QX318_INVALID_PORT;
  }
  return ClaimSlot(opened);  // a port left over closes with `opened`
}

PortHandle PosixCreateFile(const char *description, uint32_t, uint32_t, void *, uint32_t, uint32_t,
                           void *) {
  if (description == nullptr || description[0] == '\0') return QX318_INVALID_PORT;
  if (posix::IsNetworkDescription(description)) return OpenNetworkPort(description);
  try {
    const std::string path = DevicePathFor(description);
    if (path.empty()) {
      SetConverterFailure(QX318_FAIL_NOT_FOUND, "no serial device with USB product \"%s\"",
                          description);
      return QX318_INVALID_PORT;
    }
    const int fd = OpenSerialDevice(path);
    if (fd < 0) return QX318_INVALID_PORT;
    PosixPort opened{fd, {}, 0, nullptr, std::unique_ptr<ReadAhead>(new (std::nothrow) ReadAhead)};
    const PortHandle port = opened.read_ahead != nullptr ? ClaimSlot(opened) : QX318_INVALID_PORT;
    if (port == QX318_INVALID_PORT) {
      (void)ioctl(fd, TIOCNXCL);
      close(fd);
      if (opened.read_ahead == nullptr) {
        SetConverterFailure(QX318_FAIL_NO_MEMORY, "receive buffer of %s", path.c_str());
      } else {
        SetConverterFailure(QX318_FAIL_PORT_ERROR, "all %u port slots are in use", kSlotCount);
      }
    }
    return port;
  } catch (...) {  // a failed allocation in the lookup must not cross into C
    SetConverterFailure(QX318_FAIL_NO_MEMORY, "device lookup");
    return QX318_INVALID_PORT;
  }
}

Bool32 PosixCloseHandle(PortHandle handle) { return CloseSlot(handle); }

Bool32 PosixReadFile(PortHandle handle, void *buffer, uint32_t count, uint32_t *transferred,
                     void *) {
  if (transferred != nullptr) *transferred = 0;
  const PortLease port(handle);
  if (!port || transferred == nullptr || (buffer == nullptr && count != 0)) return 0;
  auto *bytes = static_cast<uint8_t *>(buffer);
  const ReadAheadUse read_ahead(port->read_ahead.get());
  const TransferResult result =
      port->network != nullptr ? port->network->Read(bytes, count, port->timeouts)
      : read_ahead.buffer() != nullptr
          ? posix::ReadWithTimeouts(port->fd, *read_ahead.buffer(), bytes, count, port->timeouts)
          : posix::ReadWithTimeouts(port->fd, bytes, count, port->timeouts);
  *transferred = result.count;
  if (result.failed && port->network != nullptr) {
    NoteNetworkTransferFailure(*port->network, "answer read", result.count, count);
  } else if (result.failed) {
    SetConverterFailure(QX318_FAIL_HUNG_UP, "the port hung up after %u of %u bytes", result.count,
                        count);
  }
  return !result.failed;
}

Bool32 PosixWriteFile(PortHandle handle, const void *buffer, uint32_t count, uint32_t *transferred,
                      void *) {
  if (transferred != nullptr) *transferred = 0;
  const PortLease port(handle);
  if (!port || transferred == nullptr || (buffer == nullptr && count != 0)) return 0;
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  const TransferResult result =
      port->network != nullptr ? port->network->Write(bytes, count, port->timeouts)
                               : posix::WriteWithTimeouts(port->fd, bytes, count, port->timeouts);
  *transferred = result.count;
  if (result.failed && port->network != nullptr) {
    NoteNetworkTransferFailure(*port->network, "request written", result.count, count);
  } else if (result.failed) {
    SetConverterFailure(QX318_FAIL_HUNG_UP, "the port hung up: request written: %u of %u bytes",
                        result.count, count);
  }
  return !result.failed;
}

void FillDcb(const termios &tio, uint32_t baud_rate, Dcb *dcb) {
  *dcb = Dcb{};
  dcb->DCBlength = kDcbLength;
  dcb->BaudRate = baud_rate;
  dcb->flags = kDcbBinary;
  if (tio.c_cflag & PARENB) dcb->flags |= kDcbParity;
  if (tio.c_cflag & CRTSCTS) dcb->flags |= kDcbOutxCtsFlow | kDcbRtsControlHandshake;
  if (tio.c_iflag & IXON) dcb->flags |= kDcbOutX;
  if (tio.c_iflag & IXOFF) dcb->flags |= kDcbInX;
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dcb->ByteSize = 5;
      break;
    case CS6:
      dcb->ByteSize = 6;
      break;
    case CS7:
      dcb->ByteSize = 7;
      break;
    default:
      dcb->ByteSize = 8;
      break;
  }
  dcb->Parity =
      (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? kOddParity : kEvenParity) : kNoParity;
  dcb->StopBits = (tio.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
  dcb->XonChar = static_cast<char>(tio.c_cc[VSTART]);
  dcb->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

Bool32 PosixGetCommState(PortHandle handle, Dcb *dcb) {
  const PortLease port(handle);
  termios tio{};
  if (!port || dcb == nullptr) return 0;
  if (port->network != nullptr) {
    port->network->LineSettings(dcb);
    return 1;
  }
  if (tcgetattr(port->fd, &tio) != 0) return 0;
  if (port->baud_rate == 0) port->baud_rate = CurrentBaudRate(port->fd, tio);
  FillDcb(tio, port->baud_rate, dcb);
  return 1;
}

bool SetFraming(const Dcb &dcb, termios &tio) {
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  switch (dcb.ByteSize) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    case 8:
      tio.c_cflag |= CS8;
      break;
    default:
      return false;
  }
  switch (dcb.Parity) {
    case kNoParity:
      break;
    case kOddParity:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case kEvenParity:
      tio.c_cflag |= PARENB;
      break;
    default:
      return false;  // mark and space parity are not offered
  }
  if (dcb.StopBits != kOneStopBit) tio.c_cflag |= CSTOPB;
  return true;
}

void SetFlowControl(const Dcb &dcb, termios &tio) {
  const bool rts_handshake = (dcb.flags & kDcbRtsControlMask) == kDcbRtsControlHandshake;
  if ((dcb.flags & kDcbOutxCtsFlow) || rts_handshake) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  if (dcb.flags & kDcbOutX) tio.c_iflag |= IXON;
  if (dcb.flags & kDcbInX) tio.c_iflag |= IXOFF;
  if (dcb.flags & kDcbParity) tio.c_iflag |= INPCK;
}

// DTR and RTS follow the record's control settings. A pseudo-terminal has no
// modem lines and refuses these calls, which is not a failure of the line.
void SetModemLines(int fd, const Dcb &dcb) {
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  (void)ioctl(fd, (dcb.flags & kDcbDtrControlMask) ? TIOCMBIS : TIOCMBIC, &dtr);
  (void)ioctl(fd, (dcb.flags & kDcbRtsControlMask) ? TIOCMBIS : TIOCMBIC, &rts);
}

Bool32 PosixSetCommState(PortHandle handle, Dcb *dcb) {
  const PortLease port(handle);
  termios tio{};
  // A rate of 0 would hang the line up instead of setting it.
  if (!port || dcb == nullptr) return 0;
  if (dcb->BaudRate == 0) {
    SetConverterFailure(QX318_FAIL_BAUD_RATE, "0 baud was refused");
    return 0;
  }
  if (port->network != nullptr) {
    if (port->network->ApplyLineSettings(*dcb)) return 1;
    if (port->network->failure().error != posix::NetworkError::kNone) {
      NoteNetworkFailure(port->network->description().c_str(), port->network->failure(), "");
    }
    return 0;
  }
  if (tcgetattr(port->fd, &tio) != 0) return 0;
  const termios before = tio;
  if (!SetFraming(*dcb, tio)) return 0;
  SetFlowControl(*dcb, tio);
  if (!posix::ApplySettingsAtRate(port->fd, tio, dcb->BaudRate, before)) {
    SetConverterFailure(QX318_FAIL_BAUD_RATE, "%u baud was refused", dcb->BaudRate);
    return 0;
  }
  SetModemLines(port->fd, *dcb);
  port->baud_rate = dcb->BaudRate;
  return 1;
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
  if (port->network != nullptr) return port->network->PurgeReceived();
  // The bytes read ahead are received bytes like those in the kernel's
  // queue. (A buffer taken by a read running at the same time is that
  // read's; the caller who overlapped them gets what they asked for.)
  const ReadAheadUse read_ahead(port->read_ahead.get());
  if (read_ahead.buffer() != nullptr) {
    read_ahead.buffer()->Clear();
    read_ahead.buffer()->kernel_queue_empty = true;
  }
  return tcflush(port->fd, TCIFLUSH) == 0;
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
