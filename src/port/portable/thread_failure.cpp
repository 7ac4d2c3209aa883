// The thread's failure record on POSIX systems: constant-initialised thread
// storage, there for every thread including those that predate the load.
#include "diagnostics/failure.h"

namespace qx318 {

ThreadFailure *ThisThreadFailure() {
  static thread_local ThreadFailure record{};
  return &record;
}

}  // namespace qx318
