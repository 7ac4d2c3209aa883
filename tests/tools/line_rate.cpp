// Linux reports a rate termios has no constant for only through termios2,
// whose kernel header clashes with <termios.h>: a file of its own that
// includes neither <termios.h> nor <sys/ioctl.h>.
#include "line_rate.h"

#if defined(__linux__)
#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);
#endif

namespace qx318::testing {

uint32_t OutputRateOf([[maybe_unused]] int fd) {
#if defined(__linux__)
  struct termios2 tio {};
  return ioctl(fd, TCGETS2, &tio) == 0 ? tio.c_ospeed : 0;
#else
  return 0;
#endif
}

}  // namespace qx318::testing
