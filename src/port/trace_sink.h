// What the frame trace needs from the platform: the environment variable, a
// file opened for appending, one write per line, and a microsecond clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx318 {

using TraceSink = intptr_t;
inline constexpr TraceSink kNoTraceSink = -1;

// Copies QX318_TRACE into out; false when it is unset or empty.
bool TraceTargetFromEnvironment(char *out, size_t size);
// "-" is standard error; anything else a file opened for appending.
TraceSink OpenTraceSink(const char *target);
// One write of the whole line, so that concurrent lines never interleave.
void WriteTraceLine(TraceSink sink, const char *line, size_t size);
void CloseTraceSink(TraceSink sink);
uint64_t MonotonicMicroseconds();

}  // namespace qx318
