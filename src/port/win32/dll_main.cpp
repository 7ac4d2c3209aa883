// The DLL's load and unload entry: its only work is the CRC table.
#include <windows.h>

#include "port/win32/crc_table.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)module;
  (void)reserved;
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return qx318::BuildCrcTable() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      return qx318::ReleaseCrcTable() ? TRUE : FALSE;
    default:  // thread attach and detach: nothing to do
      return TRUE;
  }
}
