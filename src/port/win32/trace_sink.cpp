#include <windows.h>

#include <cstring>

#include "port/platform.h"

namespace qx318 {

bool TraceTargetFromEnvironment(char *out, size_t size) {
  const DWORD callers_error = GetLastError();
  const DWORD length = GetEnvironmentVariableA("QX318_TRACE", out, static_cast<DWORD>(size));
  SetLastError(callers_error);
  return length != 0 && length < size;
}

TraceSink OpenTraceSink(const char *target) {
  const DWORD callers_error = GetLastError();
  HANDLE file = std::strcmp(target, "-") == 0
                    ? GetStdHandle(STD_ERROR_HANDLE)
                    : CreateFileA(target, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  SetLastError(callers_error);
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return kNoTraceSink;
  return reinterpret_cast<TraceSink>(file);
}

void WriteTraceLine(TraceSink sink, const char *line, size_t size) {
  const DWORD callers_error = GetLastError();
  DWORD written = 0;
  // FILE_APPEND_DATA alone makes every write land whole at the end.
  (void)WriteFile(reinterpret_cast<HANDLE>(sink), line, static_cast<DWORD>(size), &written,
                  nullptr);
  SetLastError(callers_error);
}

void CloseTraceSink(TraceSink sink) {
  if (sink == kNoTraceSink) return;
  auto file = reinterpret_cast<HANDLE>(sink);
  if (file == GetStdHandle(STD_ERROR_HANDLE)) return;
  const DWORD callers_error = GetLastError();
  (void)CloseHandle(file);
  SetLastError(callers_error);
}

uint64_t MonotonicMicroseconds() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER now{};
  (void)QueryPerformanceFrequency(&frequency);
  (void)QueryPerformanceCounter(&now);
  const auto ticks = static_cast<uint64_t>(now.QuadPart);
  const auto per_second = static_cast<uint64_t>(frequency.QuadPart);
  return per_second == 0
             ? 0
             : ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

}  // namespace qx318
