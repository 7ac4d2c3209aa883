#include "port/posix/serial_transport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "diagnostics/failure.h"
#include "port/posix/dcb_rules.h"
#include "port/posix/line_speed.h"
#include "port/posix/low_latency.h"
#include "port/posix/usb_lookup.h"

namespace qx318::posix {
namespace {

constexpr char kSysfsRoot[] = "/sys";

// The bytes a serial port has read ahead (ReceiveBuffer), with a flag for
// the one read or purge that may use them at a time. Two exchanges on one
// port at once are the caller's error; the flag keeps even that from sharing
// the buffer: whoever finds it taken goes to the kernel directly, as if there
// were no buffer.
struct ReadAhead {
  ReceiveBuffer buffer;
  std::atomic_flag in_use;  // clear: free
};

// Holds a port's read-ahead buffer for one read or purge, if it is free.
class ReadAheadUse {
 public:
  explicit ReadAheadUse(ReadAhead &read_ahead)
      : held_(!read_ahead.in_use.test_and_set(std::memory_order_acquire) ? &read_ahead : nullptr) {}
  ~ReadAheadUse() {
    if (held_ != nullptr) held_->in_use.clear(std::memory_order_release);
  }
  ReadAheadUse(const ReadAheadUse &) = delete;
  ReadAheadUse &operator=(const ReadAheadUse &) = delete;

  ReceiveBuffer *buffer() const { return held_ != nullptr ? &held_->buffer : nullptr; }

 private:
  ReadAhead *held_;
};

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

// Only for a framing IsOfferedFraming accepts.
void SetFraming(const Dcb &dcb, termios &tio) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= kSizes[dcb.ByteSize - 5];
  if (dcb.Parity == kOddParity) tio.c_cflag |= PARENB | PARODD;
  if (dcb.Parity == kEvenParity) tio.c_cflag |= PARENB;
  if (dcb.StopBits != kOneStopBit) tio.c_cflag |= CSTOPB;
}

void SetFlowControl(const Dcb &dcb, termios &tio) {
  if (UsesHardwareFlowControl(dcb)) tio.c_cflag |= CRTSCTS;
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

uint32_t CurrentBaudRate(int fd, const termios &tio) {
  const uint32_t named = NamedSpeedRate(cfgetospeed(&tio));
  return named != 0 ? named : ReadArbitrarySpeed(fd);
}

// A pseudo-terminal's slave keeps the exclusive flag for as long as its
// master is open, which would refuse every later open by an unprivileged
// user; a real serial device drops the flag at its last close anyway.
bool CloseDevice(int fd) {
  (void)ioctl(fd, TIOCNXCL);
  return close(fd) == 0;
}

class SerialTransport final : public Transport {
 public:
  explicit SerialTransport(int fd) : fd_(fd) {}
  ~SerialTransport() override { (void)Close(); }
  SerialTransport(const SerialTransport &) = delete;
  SerialTransport &operator=(const SerialTransport &) = delete;

  TransferResult Read(uint8_t *bytes, uint32_t count, const CommTimeouts &timeouts) override {
    const ReadAheadUse read_ahead(read_ahead_);
    const TransferResult result =
        read_ahead.buffer() != nullptr
            ? ReadWithTimeouts(fd_, *read_ahead.buffer(), bytes, count, timeouts)
            : ReadWithTimeouts(fd_, bytes, count, timeouts);
    if (result.failed) {
      SetConverterFailure(QX318_FAIL_HUNG_UP, "the port hung up after %u of %u bytes", result.count,
                          count);
    }
    return result;
  }

  TransferResult Write(const uint8_t *bytes, uint32_t count,
                       const CommTimeouts &timeouts) override {
    const TransferResult result = WriteWithTimeouts(fd_, bytes, count, timeouts);
    if (result.failed) {
      SetConverterFailure(QX318_FAIL_HUNG_UP, "the port hung up: request written: %u of %u bytes",
                          result.count, count);
    }
    return result;
  }

  bool LineSettings(Dcb *dcb) override {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    if (baud_rate_ == 0) baud_rate_ = CurrentBaudRate(fd_, tio);
    FillDcb(tio, baud_rate_, dcb);
    return true;
  }

  bool ApplyLineSettings(const Dcb &dcb) override {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    const termios before = tio;
    if (!IsOfferedFraming(dcb)) return false;
    SetFraming(dcb, tio);
    SetFlowControl(dcb, tio);
    if (!ApplySettingsAtRate(fd_, tio, dcb.BaudRate, before)) {
      SetConverterFailure(QX318_FAIL_BAUD_RATE, "%u baud was refused", dcb.BaudRate);
      return false;
    }
    SetModemLines(fd_, dcb);
    baud_rate_ = dcb.BaudRate;
    return true;
  }

  // The bytes read ahead are received bytes like those in the kernel's
  // queue. (A buffer taken by a read running at the same time is that
  // read's; the caller who overlapped them gets what they asked for.)
  bool PurgeReceived() override {
    const ReadAheadUse read_ahead(read_ahead_);
    if (read_ahead.buffer() != nullptr) {
      read_ahead.buffer()->Clear();
      read_ahead.buffer()->kernel_queue_empty = true;
    }
    return tcflush(fd_, TCIFLUSH) == 0;
  }

  bool Close() override {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return CloseDevice(fd);
  }

 private:
  int fd_;
  uint32_t baud_rate_ = 0;
  ReadAhead read_ahead_;
};

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
  const std::string name = FindTtyByProductDescription(kSysfsRoot, description);
  return name.empty() ? std::string() : "/dev/" + name;
}

// What a path names instead of a device; null for a character device, and
// for a path that cannot be looked at (the open says why).
const char *KindOtherThanDevice(const std::string &path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || S_ISCHR(status.st_mode)) return nullptr;
  if (S_ISDIR(status.st_mode)) return "a directory";
  if (S_ISREG(status.st_mode)) return "a regular file";
  if (S_ISFIFO(status.st_mode)) return "a pipe";
  if (S_ISSOCK(status.st_mode)) return "a socket";
  if (S_ISBLK(status.st_mode)) return "a block device";
  return "something else";
}

// Looked at before the open, which would call a directory a system error, a
// read-only file a permission problem and a socket a missing device.
bool NamesSomethingOtherThanADevice(const std::string &path) {
  const char *kind = KindOtherThanDevice(path);
  if (kind == nullptr) return false;
  SetConverterFailure(QX318_FAIL_NOT_SERIAL, "%s is not a serial device but %s", path.c_str(),
                      kind);
  return true;
}

int OpenSerialDevice(const std::string &path) {
  if (NamesSomethingOtherThanADevice(path)) return -1;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    NoteOpenFailure(path, errno);
    return -1;
  }
  // The terminal's exclusive mode does not hold against root; the lock
  // refuses a second open through this library by anyone, as the converter
  // opened for no sharing does. Both end with the last close.
  if (!isatty(fd)) {
    SetConverterFailure(QX318_FAIL_NOT_SERIAL, "%s is not a serial device", path.c_str());
  } else if (ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    NoteOpenFailure(path, errno);
  } else if (!MakeRaw(fd)) {
    SetConverterFailure(QX318_FAIL_LINE_SETTINGS, "%s refused raw mode", path.c_str());
  } else {
    // Best effort: a converter that keeps its latency timer still works,
    // only slower, and a pseudo-terminal has no such mode.
    (void)RequestLowLatency(fd);
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace

std::unique_ptr<Transport> OpenSerialTransport(const char *description) {
  try {
    const std::string path = DevicePathFor(description);
    if (path.empty()) {
      SetConverterFailure(QX318_FAIL_NOT_FOUND, "no serial device with USB product \"%s\"",
                          description);
      return nullptr;
    }
    const int fd = OpenSerialDevice(path);
    if (fd < 0) return nullptr;
    std::unique_ptr<Transport> transport(new (std::nothrow) SerialTransport(fd));
    if (transport == nullptr) {
      (void)CloseDevice(fd);
      SetConverterFailure(QX318_FAIL_NO_MEMORY, "receive buffer of %s", path.c_str());
    }
    return transport;
  } catch (...) {  // a failed allocation in the lookup must not cross into C
    SetConverterFailure(QX318_FAIL_NO_MEMORY, "device lookup");
    return nullptr;
  }
}

}  // namespace qx318::posix
