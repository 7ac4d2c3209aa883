// The thread's failure record and trace capture on POSIX systems:
// constant-initialised thread storage, there for every thread including
// those that predate the load.
#include "diagnostics/failure.h"
#include "diagnostics/trace.h"

namespace qx318 {

ThreadFailure *ThisThreadFailure() {
  static thread_local ThreadFailure record{};
  return &record;
}

TraceCapture *ThisThreadTrace() {
  static thread_local TraceCapture capture{};
  return &capture;
}

}  // namespace qx318
