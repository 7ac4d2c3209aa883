#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "port/platform.h"

namespace qx318 {

bool TraceTargetFromEnvironment(char *out, size_t size) {
  const char *value = std::getenv("QX318_TRACE");
  if (value == nullptr || value[0] == '\0' || std::strlen(value) >= size) return false;
  std::strcpy(out, value);
  return true;
}

TraceSink OpenTraceSink(const char *target) {
  if (std::strcmp(target, "-") == 0) return STDERR_FILENO;
  const int saved = errno;
  const int fd = open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  errno = saved;  // the caller's errno is not the library's to change
  return fd < 0 ? kNoTraceSink : fd;
}

void WriteTraceLine(TraceSink sink, const char *line, size_t size) {
  const int saved = errno;
  // O_APPEND makes each write land whole at the end, even from several
  // processes; a short write to a full disk loses the rest of the line.
  (void)!write(static_cast<int>(sink), line, size);
  errno = saved;
}

void CloseTraceSink(TraceSink sink) {
  if (sink == kNoTraceSink || sink == STDERR_FILENO) return;
  const int saved = errno;
  (void)close(static_cast<int>(sink));
  errno = saved;
}

uint64_t MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace qx318
