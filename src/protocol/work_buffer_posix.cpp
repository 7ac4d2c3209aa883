#include <cstdlib>

#include "protocol/work_buffer.h"

namespace qx318 {

void *AllocateZeroed(size_t size) { return std::calloc(size == 0 ? 1 : size, 1); }

void ReleaseZeroed(void *block) { std::free(block); }

}  // namespace qx318
