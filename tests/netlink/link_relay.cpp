// qx318-link-relay: a network link between two network namespaces, with a
// delay, jitter, loss and a cut, for tests on a kernel without netem.
//
// Usage: qx318-link-relay CLIENT_NS SERVER_NS CONTROL_SOCKET
//
// It makes a TUN device "qxlink0" in each namespace (10.77.0.1 in the
// client's, 10.77.0.2 in the server's, point to point), prints "ready" and
// then moves every packet from one device to the other. Each packet waits
// the one-way delay plus a uniform jitter, but never leaves before the one
// read before it in the same direction, so the order is kept as on a real
// line. The control socket takes one command per connection and answers
// "ok" once it is in force:
//   link DELAY_MS JITTER_MS LOSS SEED   delay, jitter, drop probability and
//                                       the seed of the drops and jitter
//   cut                                 drop everything, in flight too
//   restore                             end the cut
// SIGTERM or SIGINT end it; so does the end of the process that started it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Microseconds = std::chrono::microseconds;

constexpr const char *kDeviceName = "qxlink0";
constexpr const char *kClientAddress = "10.77.0.1";
constexpr const char *kServerAddress = "10.77.0.2";
// More than any TUN packet at the default MTU.
constexpr size_t kPacketLimit = 65536;
// Packets taken from one device per wake-up, so that neither direction
// starves the other.
constexpr int kPacketsPerWake = 64;
// A queue this long is a link far past its capacity: the rest is dropped,
// as a router's queue drops.
constexpr size_t kQueueLimit = 20000;
// A control client that connects and says nothing is given up after this.
constexpr int kControlReadMs = 1000;

// A file descriptor closed when it goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd &operator=(Fd &&other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

bool Fail(const std::string &what) {
  std::fprintf(stderr, "qx318-link-relay: %s: %s\n", what.c_str(), std::strerror(errno));
  return false;
}

struct LinkShape {
  Microseconds delay{0};
  Microseconds jitter{0};
  double loss = 0.0;
};

struct Packet {
  Clock::time_point due;
  std::vector<uint8_t> bytes;
};

// One direction of the link: packets read from one device wait here for
// their time on the other.
struct Direction {
  int from = -1;
  int to = -1;
  std::deque<Packet> queue;
  Clock::time_point last_due{};
};

bool SetAddress(int socket_fd, unsigned long request, const char *address) {
  ifreq request_record{};
  std::strncpy(request_record.ifr_name, kDeviceName, IFNAMSIZ - 1);
  auto *in = reinterpret_cast<sockaddr_in *>(&request_record.ifr_addr);
  in->sin_family = AF_INET;
  if (inet_pton(AF_INET, address, &in->sin_addr) != 1) return false;
  return ioctl(socket_fd, request, &request_record) == 0;
}

// In the namespace at /run/netns/name: a TUN device with local address
// `self` and `peer` at the other end, up. The calling thread is left in
// that namespace.
Fd MakeDevice(const std::string &name, const char *self, const char *peer) {
  const Fd ns(open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
  if (!ns.ok() || setns(ns.get(), CLONE_NEWNET) != 0) {
    Fail("cannot enter network namespace " + name);
    return Fd();
  }
  Fd tun(open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!tun.ok()) {
    Fail("cannot open /dev/net/tun");
    return Fd();
  }
  ifreq device{};
  std::strncpy(device.ifr_name, kDeviceName, IFNAMSIZ - 1);
  device.ifr_flags = IFF_TUN | IFF_NO_PI;
  if (ioctl(tun.get(), TUNSETIFF, &device) != 0) {
    Fail("cannot create the TUN device in " + name);
    return Fd();
  }
  const Fd control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq flags{};
  std::strncpy(flags.ifr_name, kDeviceName, IFNAMSIZ - 1);
  if (!control.ok() || !SetAddress(control.get(), SIOCSIFADDR, self) ||
      !SetAddress(control.get(), SIOCSIFDSTADDR, peer) ||
      !SetAddress(control.get(), SIOCSIFNETMASK, "255.255.255.255") ||
      ioctl(control.get(), SIOCGIFFLAGS, &flags) != 0) {
    Fail("cannot address the TUN device in " + name);
    return Fd();
  }
  flags.ifr_flags = static_cast<short>(flags.ifr_flags | IFF_UP | IFF_RUNNING);
  if (ioctl(control.get(), SIOCSIFFLAGS, &flags) != 0) {
    Fail("cannot bring the TUN device up in " + name);
    return Fd();
  }
  return tun;
}

Fd ListenOn(const std::string &path) {
  Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!fd.ok() || path.size() >= sizeof address.sun_path) return Fd();
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  (void)unlink(path.c_str());
  if (bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(fd.get(), 4) != 0) {
    Fail("cannot listen on " + path);
    return Fd();
  }
  return fd;
}

class Relay {
 public:
  Relay(int client, int server) {
    directions_[0].from = client;
    directions_[0].to = server;
    directions_[1].from = server;
    directions_[1].to = client;
  }

  // Reads what the device holds now, at most kPacketsPerWake packets.
  void Take(Direction &d) {
    uint8_t buffer[kPacketLimit];
    for (int i = 0; i < kPacketsPerWake; ++i) {
      const ssize_t n = read(d.from, buffer, sizeof buffer);
      if (n <= 0) return;
      if (cut_ || Dropped() || d.queue.size() >= kQueueLimit) continue;
      const Clock::time_point due = std::max(Clock::now() + OneWayDelay(), d.last_due);
      d.last_due = due;
      d.queue.push_back(Packet{due, std::vector<uint8_t>(buffer, buffer + n)});
    }
  }

  // Hands over every packet whose time has come.
  void Deliver(Direction &d) {
    const Clock::time_point now = Clock::now();
    while (!d.queue.empty() && d.queue.front().due <= now) {
      const std::vector<uint8_t> &bytes = d.queue.front().bytes;
      // A device that will not take a packet loses it, as a line would.
      if (write(d.to, bytes.data(), bytes.size()) < 0) ++refused_;
      d.queue.pop_front();
    }
  }

  // Time until the next packet is due; none when both queues are empty.
  std::optional<Clock::duration> NextDue() const {
    std::optional<Clock::time_point> earliest;
    for (const Direction &d : directions_) {
      if (d.queue.empty()) continue;
      if (!earliest || d.queue.front().due < *earliest) earliest = d.queue.front().due;
    }
    if (!earliest) return std::nullopt;
    return std::max(Clock::duration::zero(), *earliest - Clock::now());
  }

  // One command from the control socket; the answer to send back.
  std::string Command(const std::string &line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "cut") {
      cut_ = true;
      for (Direction &d : directions_) d.queue.clear();
      return "ok\n";
    }
    if (verb == "restore") {
      cut_ = false;
      return "ok\n";
    }
    if (verb == "link") {
      double delay_ms = 0;
      double jitter_ms = 0;
      double loss = 0;
      uint64_t seed = 0;
      if (!(words >> delay_ms >> jitter_ms >> loss >> seed) || delay_ms < 0 || jitter_ms < 0 ||
          jitter_ms > delay_ms || loss < 0 || loss > 1) {
        return "error: link DELAY_MS JITTER_MS LOSS SEED, jitter at most the delay\n";
      }
      shape_.delay = Microseconds(static_cast<int64_t>(delay_ms * 1000));
      shape_.jitter = Microseconds(static_cast<int64_t>(jitter_ms * 1000));
      shape_.loss = loss;
      random_.seed(seed);
      return "ok\n";
    }
    return "error: unknown command\n";
  }

  Direction &direction(int i) { return directions_[static_cast<size_t>(i)]; }

 private:
  bool Dropped() {
    return shape_.loss > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < shape_.loss;
  }
  Microseconds OneWayDelay() {
    if (shape_.jitter.count() == 0) return shape_.delay;
    const int64_t j = shape_.jitter.count();
    return shape_.delay + Microseconds(std::uniform_int_distribution<int64_t>(-j, j)(random_));
  }

  Direction directions_[2];
  uint64_t refused_ = 0;
  LinkShape shape_;
  bool cut_ = false;
  std::mt19937_64 random_{1};
};

// Serves one control connection: one line in, one line out.
void ServeControl(int listener, Relay &relay) {
  const Fd client(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!client.ok()) return;
  std::string line;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kControlReadMs);
  while (line.find('\n') == std::string::npos && line.size() < 256 && Clock::now() < deadline) {
    pollfd entry{client.get(), POLLIN, 0};
    if (poll(&entry, 1, kControlReadMs) <= 0) break;
    char buffer[128];
    const ssize_t n = read(client.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  const std::string answer = relay.Command(line);
  // A client gone before the answer has nothing to learn from it.
  if (write(client.get(), answer.data(), answer.size()) < 0) return;
}

// Relays until SIGTERM or SIGINT.
int Run(int client, int server, int listener, int signals) {
  Relay relay(client, server);
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    pollfd entries[4] = {
        {client, POLLIN, 0}, {server, POLLIN, 0}, {listener, POLLIN, 0}, {signals, POLLIN, 0}};
    const std::optional<Clock::duration> due = relay.NextDue();
    timespec wait{};
    if (due) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*due).count();
      wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    const int ready = ppoll(entries, 4, due ? &wait : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) {
      Fail("poll");
      return 1;
    }
    if (entries[3].revents != 0) return 0;
    if (entries[0].revents & POLLIN) relay.Take(relay.direction(0));
    if (entries[1].revents & POLLIN) relay.Take(relay.direction(1));
    if (entries[2].revents & POLLIN) ServeControl(listener, relay);
    relay.Deliver(relay.direction(0));
    relay.Deliver(relay.direction(1));
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: qx318-link-relay CLIENT_NS SERVER_NS CONTROL_SOCKET\n");
    return 2;
  }
  // Never outlive the test that started it.
  (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  const Fd signals(sigprocmask(SIG_BLOCK, &stop, nullptr) == 0 ? signalfd(-1, &stop, SFD_CLOEXEC)
                                                               : -1);
  const Fd home(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
  if (!signals.ok() || !home.ok()) {
    Fail("signals or /proc/self/ns/net");
    return 1;
  }
  const Fd client = MakeDevice(argv[1], kClientAddress, kServerAddress);
  if (!client.ok()) return 1;
  const Fd server = MakeDevice(argv[2], kServerAddress, kClientAddress);
  if (!server.ok()) return 1;
  if (setns(home.get(), CLONE_NEWNET) != 0) {
    Fail("cannot return to the first network namespace");
    return 1;
  }
  const std::string control_path = argv[3];
  const Fd listener = ListenOn(control_path);
  if (!listener.ok()) return 1;
  const int status = Run(client.get(), server.get(), listener.get(), signals.get());
  (void)unlink(control_path.c_str());
  return status;
}
