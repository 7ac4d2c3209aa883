// Zeroed blocks from the C heap, for platforms whose own allocator offers
// nothing more.
#include <cstdlib>

#include "port/platform.h"

namespace qx318 {

void *AllocateZeroed(size_t size) { return std::calloc(size == 0 ? 1 : size, 1); }

void ReleaseZeroed(void *block) { std::free(block); }

}  // namespace qx318
