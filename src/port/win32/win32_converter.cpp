// The converter on Windows: the converter library itself. Every operation
// is handed to its Win32-compatible call unchanged; what the calls do with
// the line, the queues and the time-outs is the converter library's.
#include "port/converter.h"
#include "port/win32/ftd2xx_imports.h"

namespace qx318 {
namespace {

// The seam's operations use the compiler's default calling convention, the
// converter's calls __stdcall, so each gets a one-line forwarder.
PortHandle Win32CreateFile(const char *description, uint32_t access, uint32_t share, void *security,
                           uint32_t creation, uint32_t flags, void *template_file) {
  return FT_W32_CreateFile(description, access, share, security, creation, flags, template_file);
}

Bool32 Win32CloseHandle(PortHandle port) { return FT_W32_CloseHandle(port); }

Bool32 Win32ReadFile(PortHandle port, void *buffer, uint32_t count, uint32_t *transferred,
                     void *overlapped) {
  return FT_W32_ReadFile(port, buffer, count, transferred, overlapped);
}

Bool32 Win32WriteFile(PortHandle port, const void *buffer, uint32_t count, uint32_t *transferred,
                      void *overlapped) {
  return FT_W32_WriteFile(port, buffer, count, transferred, overlapped);
}

Bool32 Win32GetCommState(PortHandle port, Dcb *dcb) { return FT_W32_GetCommState(port, dcb); }

Bool32 Win32SetCommState(PortHandle port, Dcb *dcb) { return FT_W32_SetCommState(port, dcb); }

Bool32 Win32SetCommTimeouts(PortHandle port, CommTimeouts *timeouts) {
  return FT_W32_SetCommTimeouts(port, timeouts);
}

Bool32 Win32SetupComm(PortHandle port, uint32_t in_queue, uint32_t out_queue) {
  return FT_W32_SetupComm(port, in_queue, out_queue);
}

Bool32 Win32PurgeComm(PortHandle port, uint32_t flags) { return FT_W32_PurgeComm(port, flags); }

Bool32 Win32SetCommMask(PortHandle port, uint32_t mask) { return FT_W32_SetCommMask(port, mask); }

constexpr ConverterBackend kWin32Converter{
    Win32CreateFile,   Win32CloseHandle,     Win32ReadFile,  Win32WriteFile, Win32GetCommState,
    Win32SetCommState, Win32SetCommTimeouts, Win32SetupComm, Win32PurgeComm, Win32SetCommMask,
};

}  // namespace

const ConverterBackend &Converter() { return kWin32Converter; }

}  // namespace qx318
