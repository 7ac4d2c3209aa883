#pragma once

#include <cstdint>

namespace qx318::host {

// Starts a simulated bus in this process and walks through every library
// function against it. Returns the exit status.
int RunDemo(uint32_t baud, bool progress);

}  // namespace qx318::host
