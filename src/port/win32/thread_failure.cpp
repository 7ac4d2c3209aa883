// Win32 thread storage rather than C++ thread_local: in this toolchain a
// thread_local would pull in the emulated-TLS runtime, and the DLL must carry
// no threading runtime. Threads that existed before the load get their
// record on their first call.
#include "port/win32/thread_failure.h"

#include <windows.h>

#include "diagnostics/failure.h"

namespace qx318 {
namespace {

// Written at process attach and detach only, under the loader lock.
DWORD failure_slot = FLS_OUT_OF_INDEXES;

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

ThreadFailure *ThisThreadFailure() {
  if (failure_slot == FLS_OUT_OF_INDEXES) return nullptr;
  // The library's own calls must not change the caller's last-error value.
  const DWORD callers_error = GetLastError();
  auto *record = static_cast<ThreadFailure *>(FlsGetValue(failure_slot));
  if (record == nullptr) {
    record =
        static_cast<ThreadFailure *>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(ThreadFailure)));
    if (record != nullptr && !FlsSetValue(failure_slot, record)) {
      (void)LocalFree(record);
      record = nullptr;
    }
  }
  SetLastError(callers_error);
  return record;
}

}  // namespace qx318
