// Loopback sockets for the network port tests: a listener on a free port of
// 127.0.0.1 or ::1, and a port number nothing listens on. Never any other
// address.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace qx318::test {

// The loopback address of the family, with port (0: any free one); returns
// the address's size.
inline socklen_t LoopbackAddress(uint16_t port, bool ipv6, sockaddr_storage *address) {
  *address = {};
  if (ipv6) {
    auto &a = reinterpret_cast<sockaddr_in6 &>(*address);
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(port);
    return sizeof a;
  }
  auto &a = reinterpret_cast<sockaddr_in &>(*address);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return sizeof a;
}

class LoopbackListener {
 public:
  explicit LoopbackListener(bool ipv6 = false) {
    fd_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    const int on = 1;
    (void)setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t size = LoopbackAddress(0, ipv6, &address);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
      Close();
      return;
    }
    port_ = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6 &>(address).sin6_port)
                 : ntohs(reinterpret_cast<sockaddr_in &>(address).sin_port);
  }
  ~LoopbackListener() { Close(); }
  LoopbackListener(const LoopbackListener &) = delete;
  LoopbackListener &operator=(const LoopbackListener &) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A port of 127.0.0.1 that was free a moment ago and has no listener now.
inline uint16_t FreeLoopbackPort(bool ipv6 = false) {
  LoopbackListener listener(ipv6);
  return listener.port();
}

}  // namespace qx318::test
