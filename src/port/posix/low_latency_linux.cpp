// Linux: ASYNC_LOW_LATENCY through TIOCGSERIAL and TIOCSSERIAL. Only the flag
// changes; every other field goes back as the driver reported it, which is
// what an unprivileged caller may do.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "port/posix/low_latency.h"

namespace qx318::posix {

bool RequestLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
  if (serial.flags & ASYNC_LOW_LATENCY) return true;
  serial.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return false;
  // A driver may accept the request and keep its own mode; only a read-back
  // tells.
  serial_struct applied{};
  return ioctl(fd, TIOCGSERIAL, &applied) == 0 && (applied.flags & ASYNC_LOW_LATENCY) != 0;
}

}  // namespace qx318::posix
