// Linux reports every rate, the ones termios has no name for included, in
// termios2's c_ospeed (the kernel fills it in for rates set the old way
// too). <asm/termbits.h> defines its own struct termios and clashes with
// <termios.h> and <sys/ioctl.h>, so this file includes neither and declares
// ioctl itself.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include "sim/host_line_rate.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace qx318::sim {

uint32_t TerminalLineRate(int fd) {
  struct termios2 tio {};
  return ioctl(fd, TCGETS2, &tio) == 0 ? tio.c_ospeed : 0;
}

}  // namespace qx318::sim
