// Win32 thread storage rather than C++ thread_local: in this toolchain a
// thread_local would pull in the emulated-TLS runtime, and the DLL must carry
// no threading runtime. Threads that existed before the load get their
// records on their first call: the failure record and the trace capture in
// one block, so that one slot and one allocation serve both.
#include "port/win32/thread_failure.h"

#include <windows.h>

#include <type_traits>

#include "diagnostics/failure.h"
#include "diagnostics/trace.h"

namespace qx318 {
namespace {

// Written at process attach and detach only, under the loader lock.
DWORD failure_slot = FLS_OUT_OF_INDEXES;

struct ThreadRecords {
  ThreadFailure failure;
  TraceCapture trace;
};
// Made by zeroing a block: no constructor may be needed.
static_assert(std::is_trivial_v<ThreadRecords>);

void WINAPI ReleaseRecord(void *record) {
  if (record != nullptr) (void)LocalFree(record);
}

}  // namespace

bool AllocateFailureSlot() {
  failure_slot = FlsAlloc(ReleaseRecord);
  return failure_slot != FLS_OUT_OF_INDEXES;
}

void ReleaseFailureSlot() {
  if (failure_slot == FLS_OUT_OF_INDEXES) return;
  (void)FlsFree(failure_slot);
  failure_slot = FLS_OUT_OF_INDEXES;
}

namespace {

ThreadRecords *ThisThreadRecords() {
  if (failure_slot == FLS_OUT_OF_INDEXES) return nullptr;
  // The library's own calls must not change the caller's last-error value.
  const DWORD callers_error = GetLastError();
  auto *records = static_cast<ThreadRecords *>(FlsGetValue(failure_slot));
  if (records == nullptr) {
    records =
        static_cast<ThreadRecords *>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(ThreadRecords)));
    if (records != nullptr && !FlsSetValue(failure_slot, records)) {
      (void)LocalFree(records);
      records = nullptr;
    }
  }
  SetLastError(callers_error);
  return records;
}

}  // namespace

ThreadFailure *ThisThreadFailure() {
  ThreadRecords *records = ThisThreadRecords();
  return records == nullptr ? nullptr : &records->failure;
}

TraceCapture *ThisThreadTrace() {
  ThreadRecords *records = ThisThreadRecords();
  return records == nullptr ? nullptr : &records->trace;
}

}  // namespace qx318
