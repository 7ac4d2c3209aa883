// The rate a terminal runs at, as the kernel reports it, read without the
// library's line code.
#pragma once

#include <cstdint>

namespace qx318::testing {

// The output rate of the terminal behind fd, any rate included (termios2 on
// Linux); 0 where the platform cannot tell or fd is no terminal.
uint32_t OutputRateOf(int fd);

}  // namespace qx318::testing
