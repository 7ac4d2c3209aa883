// A simulated bus on a pseudo-terminal, served by a thread of this process:
// the host tool's demo and --simulate, and the tests, talk to it through the
// real library and the real POSIX converter.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "sim/bus.h"
#include "sim/endpoint.h"

namespace qx318::sim {

class InProcessBus {
 public:
  // Check ok() (and error()) before use.
  explicit InProcessBus(BusOptions options);
  ~InProcessBus();  // stops the thread and closes the pseudo-terminal
  InProcessBus(const InProcessBus &) = delete;
  InProcessBus &operator=(const InProcessBus &) = delete;

  bool ok() const { return serving_.joinable(); }
  const std::string &error() const { return error_; }
  // The slave path to open with QX318_OpenPort.
  const std::string &port_path() const { return endpoint_->path(); }
  FaultInjector &faults() { return bus_.faults(); }

 private:
  Bus bus_;
  StopPipe stop_;
  std::unique_ptr<BusEndpoint> endpoint_;
  std::string error_;
  std::thread serving_;
};

}  // namespace qx318::sim
