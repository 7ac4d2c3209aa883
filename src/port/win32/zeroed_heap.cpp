// Work buffers come from the process heap through LocalAlloc, zero-filled by
// the heap itself.
#include <windows.h>

#include "port/platform.h"

namespace qx318 {

void *AllocateZeroed(size_t size) {
  return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size == 0 ? 1 : size);
}

void ReleaseZeroed(void *block) {
  if (block != nullptr) (void)LocalFree(block);
}

}  // namespace qx318
