// The DLL's load and unload entry: the CRC table and the slot for each
// thread's failure record.
#include <windows.h>

#include "port/win32/crc_table.h"
#include "port/win32/thread_failure.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)module;
  (void)reserved;
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      if (!qx318::BuildCrcTable()) return FALSE;
      // Without the slot calls still work; only their reasons go unrecorded.
      (void)qx318::AllocateFailureSlot();
      return TRUE;
    case DLL_PROCESS_DETACH:
      qx318::ReleaseFailureSlot();
      return qx318::ReleaseCrcTable() ? TRUE : FALSE;
    default:  // thread attach and detach: nothing to do
      return TRUE;
  }
}
