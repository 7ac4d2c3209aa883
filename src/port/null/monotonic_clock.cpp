// A platform without serial support still times its limits: the standard
// library's steady clock is the one clock every C++ platform has.
#include <chrono>

#include "port/platform.h"

namespace qx318 {

uint64_t MonotonicMilliseconds() {
  const auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since_origin).count());
}

}  // namespace qx318
