#include "sim/endpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tool_support.h"

namespace qx318::sim {
namespace {

std::string ErrnoText(const std::string &what) { return what + ": " + std::strerror(errno); }

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
  if (slave < 0 || !tools::MakeLineRaw(slave)) {
    *error = ErrnoText(slave_path);
    if (slave >= 0) close(slave);
    close(master);
    return nullptr;
  }
  return std::unique_ptr<BusEndpoint>(new BusEndpoint(master, slave, slave_path));
}

std::unique_ptr<BusEndpoint> BusEndpoint::OpenSerialDevice(const std::string &path,
                                                           std::string *error) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText(path);
    return nullptr;
  }
  if (!tools::MakeLineRaw(fd)) {
    *error = ErrnoText(path + " is not a serial device");
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<BusEndpoint>(new BusEndpoint(fd, -1, path));
}

bool BusEndpoint::SetRate(uint32_t baud) { return tools::SetLineRate(fd_, baud); }

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

}  // namespace qx318::sim
