// The POSIX converter's table of open ports: what a handle names, checked
// rather than trusted (handle_table.cpp tells how).
#pragma once

#include <cstdint>
#include <memory>

#include "port/converter.h"
#include "port/posix/transport.h"

namespace qx318::posix {

inline constexpr uint32_t kPortSlotCount = 1u << 10;  // ports open at once

// An open port: its transport and the time-outs its reads and writes honour.
struct OpenPort {
  CommTimeouts timeouts{};
  std::unique_ptr<Transport> transport;
};

// Puts an opened port into a free slot and returns its handle;
// QX318_INVALID_PORT when every slot is taken (the port is then left to the
// caller, who closes it by letting it go).
PortHandle ClaimSlot(OpenPort &opened);

// Closes the port a handle names, at once or when its last lease ends;
// false when the handle names no open port, or when closing failed.
bool CloseSlot(PortHandle handle);

struct Slot;

// The port a handle names, held for the length of one operation; false (with
// the failure recorded) when the handle names no open port.
class PortLease {
 public:
  explicit PortLease(PortHandle handle);
  ~PortLease();
  PortLease(const PortLease &) = delete;
  PortLease &operator=(const PortLease &) = delete;

  explicit operator bool() const { return slot_ != nullptr; }
  OpenPort *operator->() const;

 private:
  Slot *slot_ = nullptr;
};

}  // namespace qx318::posix
