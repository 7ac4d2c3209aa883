#include "sim/endpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qx318::sim {
namespace {

std::string ErrnoText(const std::string &what) { return what + ": " + std::strerror(errno); }

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string SlaveName(int master) {
#if defined(__linux__)
  char name[128] = {};
  return ptsname_r(master, name, sizeof name) == 0 ? std::string(name) : std::string();
#else
  const char *name = ptsname(master);
  return name != nullptr ? std::string(name) : std::string();
#endif
}

speed_t SpeedConstant(uint32_t baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

std::string LinkTarget(const std::string &link_path) {
  char buffer[4096] = {};
  const ssize_t n = readlink(link_path.c_str(), buffer, sizeof buffer - 1);
  return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

BusEndpoint::BusEndpoint(int fd, int held_slave, std::string path)
    : fd_(fd), held_slave_(held_slave), path_(std::move(path)) {}

BusEndpoint::~BusEndpoint() {
  if (held_slave_ >= 0) close(held_slave_);
  if (fd_ >= 0) close(fd_);
}

std::unique_ptr<BusEndpoint> BusEndpoint::CreatePseudoTerminal(std::string *error) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    *error = ErrnoText("posix_openpt");
    return nullptr;
  }
  (void)fcntl(master, F_SETFD, FD_CLOEXEC);
  std::string slave_path;
  if (grantpt(master) != 0 || unlockpt(master) != 0 || (slave_path = SlaveName(master)).empty() ||
      !SetNonBlocking(master)) {
    *error = ErrnoText("pseudo-terminal set-up");
    close(master);
    return nullptr;
  }
  const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0 || !MakeRaw(slave)) {
    *error = ErrnoText(slave_path);
    if (slave >= 0) close(slave);
    close(master);
    return nullptr;
  }
  return std::unique_ptr<BusEndpoint>(new BusEndpoint(master, slave, slave_path));
}

std::unique_ptr<BusEndpoint> BusEndpoint::OpenSerialDevice(const std::string &path, uint32_t baud,
                                                           std::string *error) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText(path);
    return nullptr;
  }
  termios tio{};
  const speed_t speed = SpeedConstant(baud);
  if (!MakeRaw(fd) || tcgetattr(fd, &tio) != 0) {
    *error = ErrnoText(path + " is not a serial device");
    close(fd);
    return nullptr;
  }
  if (speed != B0) {
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
      *error = ErrnoText(path + ": cannot set the line speed");
      close(fd);
      return nullptr;
    }
  }
  return std::unique_ptr<BusEndpoint>(new BusEndpoint(fd, -1, path));
}

SymlinkGuard::SymlinkGuard(std::string link_path, std::string target)
    : link_path_(std::move(link_path)), target_(std::move(target)) {}

SymlinkGuard::~SymlinkGuard() {
  if (LinkTarget(link_path_) == target_) (void)unlink(link_path_.c_str());
}

std::unique_ptr<SymlinkGuard> SymlinkGuard::Create(const std::string &link_path,
                                                   const std::string &target, std::string *error) {
  struct stat info {};
  if (lstat(link_path.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      *error = link_path + " exists and is not a symlink";
      return nullptr;
    }
    (void)unlink(link_path.c_str());
  }
  if (symlink(target.c_str(), link_path.c_str()) != 0) {
    *error = ErrnoText(link_path);
    return nullptr;
  }
  return std::unique_ptr<SymlinkGuard>(new SymlinkGuard(link_path, target));
}

StopPipe::StopPipe() {
  int fds[2] = {-1, -1};
  if (pipe(fds) != 0) return;
  for (const int fd : fds) {
    (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    (void)SetNonBlocking(fd);
  }
  read_fd_ = fds[0];
  write_fd_ = fds[1];
}

StopPipe::~StopPipe() {
  if (read_fd_ >= 0) close(read_fd_);
  if (write_fd_ >= 0) close(write_fd_);
}

void StopPipe::Signal() {
  const char byte = 1;
  if (write_fd_ >= 0) (void)!write(write_fd_, &byte, 1);
}

}  // namespace qx318::sim
