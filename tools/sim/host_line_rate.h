// The line rate the host set on the simulator's pseudo-terminal. Both ends
// of a pseudo-terminal share one set of terminal settings, so the master
// the simulator serves on reports the rate the library set on the slave.
#pragma once

#include <cstdint>

namespace qx318::sim {

// The output rate of the terminal behind fd in bits per second, a rate
// termios has no name for included where the system has termios2; 0 when
// fd is no terminal or the rate cannot be told.
uint32_t TerminalLineRate(int fd);

}  // namespace qx318::sim
