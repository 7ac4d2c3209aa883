#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "port/posix/tcp_tuning.h"

namespace qx318::posix {

std::optional<RoundTrip> RoundTripOf(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
  // The kernel reports microseconds.
  return RoundTrip{info.tcpi_rtt / 1000, info.tcpi_rto / 1000};
}

void AcknowledgeAtOnce(int fd) {
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

std::optional<uint32_t> UnacknowledgedBytes(int fd) {
  int queued = 0;
  if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
  return static_cast<uint32_t>(queued);
}

}  // namespace qx318::posix
