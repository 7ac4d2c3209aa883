// Linux takes any rate through termios2 with BOTHER. <asm/termbits.h> defines
// its own struct termios and clashes with <termios.h> and <sys/ioctl.h>, so
// this file includes neither and declares ioctl itself.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace qx318::posix {

bool SetArbitrarySpeed(int fd, uint32_t baud) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  if (ioctl(fd, TCSETS2, &tio) != 0) return false;
  // The driver may round or refuse the rate silently; only a read-back tells.
  struct termios2 applied {};
  if (ioctl(fd, TCGETS2, &applied) != 0) return false;
  return applied.c_ospeed == baud;
}

uint32_t ReadArbitrarySpeed(int fd) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return tio.c_ospeed;
}

uint32_t ReadInputSpeed(int fd) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return tio.c_ispeed;
}

}  // namespace qx318::posix
