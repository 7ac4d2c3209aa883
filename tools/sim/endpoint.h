// Where the simulated bus meets the host: a pseudo-terminal it creates, or a
// serial device it opens, and an optional stable symlink to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/stop_signal.h"

namespace qx318::sim {

class BusEndpoint {
 public:
  // A new pseudo-terminal in raw mode. The endpoint keeps the slave side
  // open itself, so that a host closing and reopening the slave never
  // leaves the master hung up between two host runs.
  static std::unique_ptr<BusEndpoint> CreatePseudoTerminal(std::string *error);
  // An existing serial device, set to raw 8N1 by the library's own line
  // code; its rate stays as it was until SetRate.
  static std::unique_ptr<BusEndpoint> OpenSerialDevice(const std::string &path, std::string *error);
  ~BusEndpoint();
  BusEndpoint(const BusEndpoint &) = delete;
  BusEndpoint &operator=(const BusEndpoint &) = delete;

  int fd() const { return fd_; }
  // Sets the line to baud, any rate the library accepts, as its converter
  // does; false, the rate unchanged, when the line does not take it.
  bool SetRate(uint32_t baud);
  // The path a host opens: the pseudo-terminal's slave, or the device.
  const std::string &path() const { return path_; }

 private:
  BusEndpoint(int fd, int held_slave, std::string path);
  int fd_;
  int held_slave_;
  std::string path_;
};

// A symlink at link_path to target, removed again on destruction when it
// still points there. An existing symlink at link_path (left by a run that
// was killed) is replaced; any other file there is an error.
class SymlinkGuard {
 public:
  static std::unique_ptr<SymlinkGuard> Create(const std::string &link_path,
                                              const std::string &target, std::string *error);
  ~SymlinkGuard();
  SymlinkGuard(const SymlinkGuard &) = delete;
  SymlinkGuard &operator=(const SymlinkGuard &) = delete;

 private:
  SymlinkGuard(std::string link_path, std::string target);
  std::string link_path_;
  std::string target_;
};

// How a serving loop in another thread is told to stop.
using StopPipe = tools::StopPipe;

}  // namespace qx318::sim
