// GetTickCount64 needs no runtime support from the C++ library, so the DLL
// pulls in no threading runtime for its one clock.
#include <windows.h>

#include "port/platform.h"

namespace qx318 {

uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

}  // namespace qx318
