// The converter on POSIX systems: a serial device driven through termios.
//
// The description names the device: a path ("/dev/ttyUSB0", a
// pseudo-terminal's slave) opens that device; any other string is the USB
// product description of a ttyUSB/ttyACM device listed in sysfs;
// "tcp://HOST:PORT" and "rfc2217://HOST:PORT" open a serial port served over
// the network (network_port.h). Each handle owns a descriptor or a network
// port, and the time-outs its reads and writes honour.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>

#include "port/converter.h"
#include "port/posix/line_speed.h"
#include "port/posix/network_port.h"
#include "port/posix/timed_io.h"
#include "port/posix/usb_lookup.h"

namespace qx318 {
namespace {

using posix::TransferResult;

constexpr char kSysfsRoot[] = "/sys";

struct PosixPort {
  int fd = -1;  // a serial device; -1 for a network port
  CommTimeouts timeouts{};
  uint32_t baud_rate = 0;
  std::unique_ptr<posix::NetworkPort> network;  // null for a serial device
};

PosixPort *PortOf(PortHandle handle) {
  if (handle == nullptr || handle == QX318_INVALID_PORT) return nullptr;
  return static_cast<PosixPort *>(handle);
}

std::string DevicePathFor(const char *description) {
  if (description[0] == '/') return description;
  const std::string name = posix::FindTtyByProductDescription(kSysfsRoot, description);
  return name.empty() ? std::string() : "/dev/" + name;
}

int OpenSerialDevice(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // The terminal's exclusive mode does not hold against root; the lock
  // refuses a second open through this library by anyone, as the converter
  // opened for no sharing does. Both end with the last close.
  if (!isatty(fd) || ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      !posix::MakeRaw(fd)) {
    close(fd);
    return -1;
  }
  return fd;
}

uint32_t CurrentBaudRate(int fd, const termios &tio) {
  const uint32_t named = posix::NamedSpeedRate(cfgetospeed(&tio));
  return named != 0 ? named : posix::ReadArbitrarySpeed(fd);
}

PortHandle OpenNetworkPort(const char *description) {
  posix::NetworkOpenError error = posix::NetworkOpenError::kNone;
  std::unique_ptr<posix::NetworkPort> network = posix::NetworkPort::Open(description, &error);
  if (network == nullptr) return QX318_INVALID_PORT;
  auto *port = new (std::nothrow) PosixPort{-1, {}, 0, std::move(network)};
  return port != nullptr ? port : QX318_INVALID_PORT;
}

PortHandle PosixCreateFile(const char *description, uint32_t, uint32_t, void *, uint32_t, uint32_t,
                           void *) {
  if (description == nullptr || description[0] == '\0') return QX318_INVALID_PORT;
  if (posix::IsNetworkDescription(description)) return OpenNetworkPort(description);
  try {
    const std::string path = DevicePathFor(description);
    if (path.empty()) return QX318_INVALID_PORT;
    const int fd = OpenSerialDevice(path);
    if (fd < 0) return QX318_INVALID_PORT;
    auto *port = new (std::nothrow) PosixPort{fd, {}, 0, nullptr};
    if (port == nullptr) {
      close(fd);
      return QX318_INVALID_PORT;
    }
    return port;
  } catch (...) {  // a failed allocation in the lookup must not cross into C
    return QX318_INVALID_PORT;
  }
}

Bool32 PosixCloseHandle(PortHandle handle) {
  PosixPort *port = PortOf(handle);
  if (port == nullptr) return 0;
  if (port->network != nullptr) {
    delete port;  // the network port closes its connection
    return 1;
  }
  // A pseudo-terminal's slave keeps the exclusive flag for as long as its
  // master is open, which would refuse every later open by an unprivileged
  // user; a real serial device drops the flag at its last close anyway.
  (void)ioctl(port->fd, TIOCNXCL);
  const int rc = close(port->fd);
  delete port;
  return rc == 0;
}

Bool32 PosixReadFile(PortHandle handle, void *buffer, uint32_t count, uint32_t *transferred,
                     void *) {
  if (transferred != nullptr) *transferred = 0;
  PosixPort *port = PortOf(handle);
  if (port == nullptr || transferred == nullptr || (buffer == nullptr && count != 0)) return 0;
  const TransferResult result =
      port->network != nullptr
          ? port->network->Read(static_cast<uint8_t *>(buffer), count, port->timeouts)
          : posix::ReadWithTimeouts(port->fd, static_cast<uint8_t *>(buffer), count,
                                    port->timeouts);
  *transferred = result.count;
  return !result.failed;
}

Bool32 PosixWriteFile(PortHandle handle, const void *buffer, uint32_t count, uint32_t *transferred,
                      void *) {
  if (transferred != nullptr) *transferred = 0;
  PosixPort *port = PortOf(handle);
  if (port == nullptr || transferred == nullptr || (buffer == nullptr && count != 0)) return 0;
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  const TransferResult result =
      port->network != nullptr ? port->network->Write(bytes, count, port->timeouts)
                               : posix::WriteWithTimeouts(port->fd, bytes, count, port->timeouts);
  *transferred = result.count;
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
  PosixPort *port = PortOf(handle);
  termios tio{};
  if (port == nullptr || dcb == nullptr) return 0;
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
  PosixPort *port = PortOf(handle);
  termios tio{};
  // A rate of 0 would hang the line up instead of setting it.
  if (port == nullptr || dcb == nullptr || dcb->BaudRate == 0) return 0;
  if (port->network != nullptr) return port->network->ApplyLineSettings(*dcb);
  if (tcgetattr(port->fd, &tio) != 0) return 0;
  const termios before = tio;
  if (!SetFraming(*dcb, tio)) return 0;
  SetFlowControl(*dcb, tio);
  if (!posix::ApplySettingsAtRate(port->fd, tio, dcb->BaudRate, before)) return 0;
  SetModemLines(port->fd, *dcb);
  port->baud_rate = dcb->BaudRate;
  return 1;
}

Bool32 PosixSetCommTimeouts(PortHandle handle, CommTimeouts *timeouts) {
  PosixPort *port = PortOf(handle);
  if (port == nullptr || timeouts == nullptr) return 0;
  port->timeouts = *timeouts;
  return 1;
}

// The kernel sizes its own queues; the request only needs a live port.
Bool32 PosixSetupComm(PortHandle handle, uint32_t, uint32_t) { return PortOf(handle) != nullptr; }

// Purging discards the bytes received and not yet read, so that a late answer
// to a failed exchange is never taken for the next one. It never discards
// bytes still waiting to go out: a request that gets no answer (a parameter
// write, lock result) must reach the device in full even when the next
// request follows at once.
Bool32 PosixPurgeComm(PortHandle handle, uint32_t flags) {
  PosixPort *port = PortOf(handle);
  if (port == nullptr) return 0;
  if (!(flags & (kPurgeRxAbort | kPurgeRxClear))) return 1;
  if (port->network != nullptr) return port->network->PurgeReceived();
  return tcflush(port->fd, TCIFLUSH) == 0;
  return 1;
}

// Reads wait through poll, so there are no events to select.
Bool32 PosixSetCommMask(PortHandle handle, uint32_t) { return PortOf(handle) != nullptr; }

constexpr ConverterBackend kPosixConverter{
    PosixCreateFile,   PosixCloseHandle,     PosixReadFile,  PosixWriteFile, PosixGetCommState,
    PosixSetCommState, PosixSetCommTimeouts, PosixSetupComm, PosixPurgeComm, PosixSetCommMask,
};

}  // namespace

const ConverterBackend &Converter() { return kPosixConverter; }

}  // namespace qx318
