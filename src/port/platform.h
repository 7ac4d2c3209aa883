// Everything that differs between the platforms the library is built for.
//
// A platform is one folder under src/port/ (posix/, win32/, null/) that
// defines every function below; shared pieces that need nothing beyond the
// C++ standard library live in portable/. Exactly one platform is linked into
// a binary: the CMake cache variable QX318_PLATFORM chooses it, by default
// the one of the system built for. The code above the port layer
// (src/protocol/, src/commands/) reaches the platform only through this
// header, so it holds no platform file and no conditional compilation.
//
// For every function: it never throws (the library is built without
// exceptions on Windows, and nothing may cross into C), it keeps no
// per-caller state, and it may be called from any thread at any time between
// the library's load and unload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx318 {

struct ConverterBackend;  // the seam's table of operations, in port/converter.h

// The converter back end of this binary: the table of the converter's ten
// operations that port.cpp drives (their contracts are in converter.h).
// Never blocks and cannot fail: the table is a constant that outlives every
// call. The operations themselves may block, within the port's time-outs.
// Test programs link the test double (tests/support) instead, which defines
// this function for them.
const ConverterBackend &Converter();

// Milliseconds since an unspecified origin on a clock that never goes back
// (not the wall clock: setting the time must not stretch or cut a limit).
// Used for limits that span several reads. Never blocks, cannot fail,
// thread-safe; the value does not wrap within the life of a process.
uint64_t MonotonicMilliseconds();

// A heap block of size bytes, every byte zero, or null when the platform
// cannot provide it (memory is short): callers treat null as the failure of
// the whole call, before anything is sent. A size of 0 yields a valid
// 1-byte block, so that null always means failure. Does not block beyond the
// heap's own brief lock; thread-safe. On Windows the block comes from
// LocalAlloc(LMEM_ZEROINIT), as it always has.
void *AllocateZeroed(size_t size);

// Hands back a block from AllocateZeroed. Null is ignored. The release
// cannot be reported as failed, and nothing depends on it: the block is not
// used again either way. Never blocks beyond the heap's lock; thread-safe.
void ReleaseZeroed(void *block);

// The 256-entry CRC-16 lookup table (entry i is CrcTableEntry(i) of
// protocol/crc.h), or null when the platform has none at this moment: on
// Windows before the library's process attach or after its detach, or when
// the table's block could not be allocated at attach. A null table makes
// every CRC update, and so every exchange, fail cleanly. Never blocks,
// cannot fail; thread-safe, because the table is written only while no
// exchange can run (at load and unload) and only read in between.
const uint16_t *CrcTable();

// The calling thread's failure record (diagnostics/failure.h): where the
// reason of the thread's last call into the library is kept. Storage that
// exists for every thread, those that predate the library's load included,
// and is never shared between threads. Never blocks; null only when the
// platform could not provide a record for this thread (memory is short),
// in which case reasons go unrecorded and calls still work.
struct ThreadFailure;
ThreadFailure *ThisThreadFailure();

// The calling thread's trace capture (diagnostics/trace.h): the bytes and
// findings of the traced exchange under way. Storage as for the failure
// record, and null under the same condition, in which case the thread's
// exchanges go untraced.
struct TraceCapture;
TraceCapture *ThisThreadTrace();

// The frame trace's outlet. A sink is a handle of the platform's own, or
// kNoTraceSink.
using TraceSink = intptr_t;
inline constexpr TraceSink kNoTraceSink = -1;

// Copies the QX318_TRACE environment variable into out (NUL-terminated,
// cut to size); false when it is unset or empty. Never blocks.
bool TraceTargetFromEnvironment(char *out, size_t size);

// "-" is standard error; anything else names a file opened for appending
// (created when missing). kNoTraceSink when it cannot be opened. May block
// on the file system.
TraceSink OpenTraceSink(const char *target);

// Writes one whole line with one write to the sink, so that lines from
// several threads never interleave within a line. Failures are ignored: the
// trace never makes a call fail. May block on the file system.
void WriteTraceLine(TraceSink sink, const char *line, size_t size);

// Closes a sink from OpenTraceSink; kNoTraceSink and standard error are left
// alone. Never fails.
void CloseTraceSink(TraceSink sink);

// Microseconds on the same never-going-back clock as
// MonotonicMilliseconds, for the trace's timestamps. Never blocks.
uint64_t MonotonicMicroseconds();

}  // namespace qx318
