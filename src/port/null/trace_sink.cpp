// A platform without serial support has nothing to trace: the trace is
// never turned on, and its clock is the standard library's steady clock.
#include <chrono>

#include "port/platform.h"

namespace qx318 {

bool TraceTargetFromEnvironment(char *, size_t) { return false; }

TraceSink OpenTraceSink(const char *) { return kNoTraceSink; }

void WriteTraceLine(TraceSink, const char *, size_t) {}

void CloseTraceSink(TraceSink) {}

uint64_t MonotonicMicroseconds() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(since_start).count());
}

}  // namespace qx318
