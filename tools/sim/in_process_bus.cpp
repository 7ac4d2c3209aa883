#include "sim/in_process_bus.h"

namespace qx318::sim {

InProcessBus::InProcessBus(BusOptions options) : bus_(std::move(options)) {
  if (!stop_.ok()) {
    error_ = "cannot create the stop pipe";
    return;
  }
  if (!bus_.Start(&error_)) return;
  endpoint_ = BusEndpoint::CreatePseudoTerminal(&error_);
  if (!endpoint_) return;
  serving_ = std::thread([this] {
    std::string serve_error;
    (void)bus_.Serve(endpoint_->fd(), stop_.read_fd(), &serve_error);
  });
}

InProcessBus::~InProcessBus() {
  stop_.Signal();
  if (serving_.joinable()) serving_.join();
}

}  // namespace qx318::sim
