// A stand-in for the converter library, for tests only: the description is
// the name of a Win32 serial port ("\\.\COM5"), and each call is the Win32
// serial call of the same name on that port. Under Wine the port is a
// pseudo-terminal with a simulated bus behind it.
//
// Every call is also written to a log that the tests take with
// StandIn_TakeCallLog, so they can see what the library passed through each
// ordinal.
//
// A test can also make the converter misbehave, at ordinals of its own:
// refuse a call, answer with bytes of its choosing, or take only part of a
// request. While such a script runs the converter is cut off from the line:
// requests go nowhere (the test takes them with StandIn_TakeWritten) and
// reads get only the scripted bytes, returning at once with what there is,
// as a read whose time-out has run. StandIn_Reset puts it back on the line.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Test-only state, shared by every thread of the test program: the tests
// call from several threads at once, so every access holds the lock (never
// across a call that may block on the line).
SRWLOCK state_lock = SRWLOCK_INIT;

class StateLock {
 public:
  StateLock() { AcquireSRWLockExclusive(&state_lock); }
  ~StateLock() { ReleaseSRWLockExclusive(&state_lock); }
  StateLock(const StateLock &) = delete;
  StateLock &operator=(const StateLock &) = delete;
};

std::string call_log;

// The misbehaviour a test asked for.
struct Script {
  bool cut_off = false;          // requests and answers are the script's, not the line's
  std::string refused;           // " Name " for each call that fails
  std::string answer;            // sent by the device when the next request is taken
  std::string received;          // arrived, not yet read
  DWORD write_limit = MAXDWORD;  // bytes a write takes at most
  std::string written;           // every request taken while cut off
};
Script script;

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...) {
  char entry[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(entry, sizeof entry, format, args);
  va_end(args);
  const StateLock lock;
  if (!call_log.empty()) call_log += ' ';
  call_log += entry;
}

const char *NullOrSet(const void *pointer) { return pointer == nullptr ? "null" : "set"; }

bool Refused(const char *call) {
  const StateLock lock;
  return script.refused.find(std::string(" ") + call + " ") != std::string::npos;
}

bool CutOff() {
  const StateLock lock;
  return script.cut_off;
}

// Takes a request while cut off: at most the write limit, and the device's
// scripted answer follows it.
DWORD TakeRequest(const void *buffer, DWORD count) {
  const StateLock lock;
  const DWORD taken = std::min(count, script.write_limit);
  script.written.append(static_cast<const char *>(buffer), taken);
  script.received += script.answer;
  script.answer.clear();
  return taken;
}

DWORD ServeScriptedBytes(void *buffer, DWORD count) {
  const StateLock lock;
  const DWORD served = std::min<DWORD>(count, static_cast<DWORD>(script.received.size()));
  std::memcpy(buffer, script.received.data(), served);
  script.received.erase(0, served);
  return served;
}

DWORD CopyOut(std::string &from, char *buffer, DWORD size) {
  const auto length = static_cast<DWORD>(from.size());
  if (buffer == nullptr || size == 0) return length;
  const size_t copied = std::min<size_t>(from.size(), size);
  std::memcpy(buffer, from.data(), copied);
  from.clear();
  return length;
}

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
  if ((flags & kOpenByDescription) == 0 || Refused("CreateFile")) return INVALID_HANDLE_VALUE;
  return CreateFileA(description, access, share, security, creation, flags & ~kOpenByDescription,
                     template_file);
}

BOOL __stdcall FT_W32_CloseHandle(HANDLE port) {
  Log("CloseHandle");
  return CloseHandle(port);
}

BOOL __stdcall FT_W32_ReadFile(HANDLE port, void *buffer, DWORD count, DWORD *transferred,
                               OVERLAPPED *overlapped) {
  BOOL ok = TRUE;
  if (CutOff()) {
    *transferred = ServeScriptedBytes(buffer, count);
  } else {
    ok = ReadFile(port, buffer, count, transferred, overlapped);
  }
  Log("ReadFile(%lu,%s)=%lu", count, NullOrSet(overlapped), transferred ? *transferred : 0);
  return ok;
}

BOOL __stdcall FT_W32_WriteFile(HANDLE port, const void *buffer, DWORD count, DWORD *transferred,
                                OVERLAPPED *overlapped) {
  BOOL ok = TRUE;
  if (CutOff()) {
    *transferred = TakeRequest(buffer, count);
  } else {
    ok = WriteFile(port, buffer, count, transferred, overlapped);
  }
  Log("WriteFile(%lu,%s)=%lu", count, NullOrSet(overlapped), transferred ? *transferred : 0);
  return ok;
}

BOOL __stdcall FT_W32_GetCommState(HANDLE port, DCB *dcb) {
  Log("GetCommState");
  return !Refused("GetCommState") && GetCommState(port, dcb);
}

// The flags word is logged whole: bits 15-31 come from GetCommState and
// must reach here unchanged.
BOOL __stdcall FT_W32_SetCommState(HANDLE port, DCB *dcb) {
  DWORD flags = 0;
  static_assert(sizeof(DCB) == 28);
  std::memcpy(&flags, reinterpret_cast<const unsigned char *>(dcb) + 8, sizeof flags);
  Log("SetCommState(%lu,%lu,%lx,%u,%u,%u)", dcb->DCBlength, dcb->BaudRate, flags, dcb->ByteSize,
      dcb->Parity, dcb->StopBits);
  return !Refused("SetCommState") && SetCommState(port, dcb);
}

BOOL __stdcall FT_W32_SetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts) {
  Log("SetCommTimeouts(%lu,%lu,%lu,%lu,%lu)", timeouts->ReadIntervalTimeout,
      timeouts->ReadTotalTimeoutMultiplier, timeouts->ReadTotalTimeoutConstant,
      timeouts->WriteTotalTimeoutMultiplier, timeouts->WriteTotalTimeoutConstant);
  return !Refused("SetCommTimeouts") && SetCommTimeouts(port, timeouts);
}

BOOL __stdcall FT_W32_SetupComm(HANDLE port, DWORD in_queue, DWORD out_queue) {
  Log("SetupComm(%lu,%lu)", in_queue, out_queue);
  return !Refused("SetupComm") && SetupComm(port, in_queue, out_queue);
}

// Wine's serial driver flushes the kernel's output queue for PURGE_TXABORT,
// where Windows only cancels pending overlapped writes: a request without an
// answer (a parameter write, lock result) that the device has not taken yet
// would be lost to the purge before the next request. This stand-in does
// what the POSIX converter does instead: it discards received bytes that
// nobody has read, and never bytes still on their way out.
BOOL __stdcall FT_W32_PurgeComm(HANDLE port, DWORD flags) {
  Log("PurgeComm(%lu)", flags);
  if (Refused("PurgeComm")) return FALSE;
  if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
    {
      const StateLock lock;
      script.received.clear();
    }
    return PurgeComm(port, PURGE_RXCLEAR);
  }
  DWORD mask = 0;
  return GetCommMask(port, &mask);  // nothing to discard; the handle must still be live
}

BOOL __stdcall FT_W32_SetCommMask(HANDLE port, DWORD mask) {
  Log("SetCommMask(%lu)", mask);
  return !Refused("SetCommMask") && SetCommMask(port, mask);
}

// Copies the log (NUL-terminated, truncated to fit) and clears it; returns
// the log's full length. With no buffer it only returns the length.
DWORD __stdcall StandIn_TakeCallLog(char *buffer, DWORD size) {
  const StateLock lock;
  const DWORD length = static_cast<DWORD>(call_log.size());
  if (buffer == nullptr || size == 0) return length;
  const size_t copied = call_log.size() < size ? call_log.size() : size - 1;
  std::memcpy(buffer, call_log.data(), copied);
  buffer[copied] = '\0';
  call_log.clear();
  return length;
}

// From now until StandIn_Reset the named call ("CreateFile", "GetCommState",
// "SetCommState", "SetCommTimeouts", "SetupComm", "PurgeComm",
// "SetCommMask") fails without reaching the port.
void __stdcall StandIn_Refuse(const char *call) {
  const StateLock lock;
  script.refused += std::string(" ") + call + " ";
}

// Cuts the converter off the line; the next request taken is answered with
// these bytes (none: silence).
void __stdcall StandIn_ServeAnswer(const unsigned char *bytes, DWORD size) {
  const StateLock lock;
  script.cut_off = true;
  script.answer.assign(reinterpret_cast<const char *>(bytes), size);
}

// Cuts the converter off the line; each write takes at most count bytes, as
// when the converter's write time-out runs out.
void __stdcall StandIn_LimitWrites(DWORD count) {
  const StateLock lock;
  script.cut_off = true;
  script.write_limit = count;
}

// Copies the bytes of the requests taken while cut off and forgets them;
// returns how many there were. With no buffer it only returns the count.
DWORD __stdcall StandIn_TakeWritten(unsigned char *buffer, DWORD size) {
  const StateLock lock;
  return CopyOut(script.written, reinterpret_cast<char *>(buffer), size);
}

// Back on the line, nothing refused.
void __stdcall StandIn_Reset(void) {
  const StateLock lock;
  script = Script{};
}

}  // extern "C"
