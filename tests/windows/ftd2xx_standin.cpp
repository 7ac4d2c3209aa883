// A stand-in for the converter library, for tests only: the description is
// the name of a Win32 serial port ("\\.\COM5"), and each call is the Win32
// serial call of the same name on that port. Under Wine the port is a
// pseudo-terminal with a simulated bus behind it.
//
// Every call is also written to a log that the tests take with
// StandIn_TakeCallLog, so they can see what the library passed through each
// ordinal.
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Test-only: one process, one thread at a time.
std::string call_log;

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...) {
  char entry[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(entry, sizeof entry, format, args);
  va_end(args);
  if (!call_log.empty()) call_log += ' ';
  call_log += entry;
}

const char *NullOrSet(const void *pointer) { return pointer == nullptr ? "null" : "set"; }

}  // namespace

// The converter's own flag for "the name is a USB product description";
// here the description is a port name, so the flag is only checked.
constexpr DWORD kOpenByDescription = 2;

extern "C" {

HANDLE __stdcall FT_W32_CreateFile(const char *description, DWORD access, DWORD share,
                                   SECURITY_ATTRIBUTES *security, DWORD creation, DWORD flags,
                                   HANDLE template_file) {
  Log("CreateFile(%s,%lx,%lu,%s,%lu,%lx,%s)", description, access, share, NullOrSet(security),
      creation, flags, NullOrSet(template_file));
  if ((flags & kOpenByDescription) == 0) return INVALID_HANDLE_VALUE;
  return CreateFileA(description, access, share, security, creation, flags & ~kOpenByDescription,
                     template_file);
}

BOOL __stdcall FT_W32_CloseHandle(HANDLE port) {
  Log("CloseHandle");
  return CloseHandle(port);
}

BOOL __stdcall FT_W32_ReadFile(HANDLE port, void *buffer, DWORD count, DWORD *transferred,
                               OVERLAPPED *overlapped) {
  const BOOL ok = ReadFile(port, buffer, count, transferred, overlapped);
  Log("ReadFile(%lu,%s)=%lu", count, NullOrSet(overlapped), transferred ? *transferred : 0);
  return ok;
}

BOOL __stdcall FT_W32_WriteFile(HANDLE port, const void *buffer, DWORD count, DWORD *transferred,
                                OVERLAPPED *overlapped) {
  const BOOL ok = WriteFile(port, buffer, count, transferred, overlapped);
  Log("WriteFile(%lu,%s)=%lu", count, NullOrSet(overlapped), transferred ? *transferred : 0);
  return ok;
}

BOOL __stdcall FT_W32_GetCommState(HANDLE port, DCB *dcb) {
  Log("GetCommState");
  return GetCommState(port, dcb);
}

// The flags word is logged whole: bits 15-31 come from GetCommState and
// must reach here unchanged.
BOOL __stdcall FT_W32_SetCommState(HANDLE port, DCB *dcb) {
  DWORD flags = 0;
  static_assert(sizeof(DCB) == 28);
  std::memcpy(&flags, reinterpret_cast<const unsigned char *>(dcb) + 8, sizeof flags);
  Log("SetCommState(%lu,%lu,%lx,%u,%u,%u)", dcb->DCBlength, dcb->BaudRate, flags, dcb->ByteSize,
      dcb->Parity, dcb->StopBits);
  return SetCommState(port, dcb);
}

BOOL __stdcall FT_W32_SetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts) {
  Log("SetCommTimeouts(%lu,%lu,%lu,%lu,%lu)", timeouts->ReadIntervalTimeout,
      timeouts->ReadTotalTimeoutMultiplier, timeouts->ReadTotalTimeoutConstant,
      timeouts->WriteTotalTimeoutMultiplier, timeouts->WriteTotalTimeoutConstant);
  return SetCommTimeouts(port, timeouts);
}

BOOL __stdcall FT_W32_SetupComm(HANDLE port, DWORD in_queue, DWORD out_queue) {
  Log("SetupComm(%lu,%lu)", in_queue, out_queue);
  return SetupComm(port, in_queue, out_queue);
}

// Wine's serial driver flushes the kernel's output queue for PURGE_TXABORT,
// where Windows only cancels pending overlapped writes: a request without an
// answer (a parameter write, lock result) that the device has not taken yet
// would be lost to the purge before the next request. This stand-in does
// what the POSIX converter does instead: it discards received bytes that
// nobody has read, and never bytes still on their way out.
BOOL __stdcall FT_W32_PurgeComm(HANDLE port, DWORD flags) {
  Log("PurgeComm(%lu)", flags);
  if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) return PurgeComm(port, PURGE_RXCLEAR);
  DWORD mask = 0;
  return GetCommMask(port, &mask);  // nothing to discard; the handle must still be live
}

BOOL __stdcall FT_W32_SetCommMask(HANDLE port, DWORD mask) {
  Log("SetCommMask(%lu)", mask);
  return SetCommMask(port, mask);
}

// Copies the log (NUL-terminated, truncated to fit) and clears it; returns
// the log's full length. With no buffer it only returns the length.
DWORD __stdcall StandIn_TakeCallLog(char *buffer, DWORD size) {
  const DWORD length = static_cast<DWORD>(call_log.size());
  if (buffer == nullptr || size == 0) return length;
  const size_t copied = call_log.size() < size ? call_log.size() : size - 1;
  std::memcpy(buffer, call_log.data(), copied);
  buffer[copied] = '\0';
  call_log.clear();
  return length;
}

}  // extern "C"
