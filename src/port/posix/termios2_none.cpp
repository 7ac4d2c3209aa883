// Platforms without termios2 run only the rates termios names.
#include <cstdint>

namespace qx318::posix {

bool SetArbitrarySpeed(int, uint32_t) { return false; }

uint32_t ReadArbitrarySpeed(int) { return 0; }

uint32_t ReadInputSpeed(int) { return 0; }

}  // namespace qx318::posix
