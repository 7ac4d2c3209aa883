#include "netlink_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace qx318::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kIp = QX318_IP_PATH;
const std::string kSer2net = QX318_SER2NET_PATH;
const std::string kSim = QX318_SIM_PATH;
const std::string kRelay = QX318_RELAY_PATH;

// Names of namespaces this suite makes: the prefix, then the owner's pid.
constexpr const char *kNamespacePrefix = "qx318nl-";
// The run's folder: the prefix, then mkdtemp's six characters.
const std::string kFolderPrefix = "/tmp/qx318-netlink-";
constexpr auto kStartLimit = milliseconds(20000);

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

bool Missing(const std::string &what, std::string *error) {
  *error = what;
  return false;
}

// Namespaces of a run whose process is gone (a crash, a killed ctest):
// whatever still runs in them is killed, then they are deleted.
void RemoveAbandonedNamespaces() {
  std::error_code ignored;
  for (const fs::directory_entry &entry : fs::directory_iterator("/run/netns", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kNamespacePrefix, 0) != 0) continue;
    const std::string rest = name.substr(std::strlen(kNamespacePrefix) + 2);  // past "c-"/"s-"
    const pid_t owner = static_cast<pid_t>(std::atol(rest.c_str()));
    if (owner <= 0 || kill(owner, 0) == 0 || errno != ESRCH) continue;
    const testing::RunResult pids = testing::RunProgram(kIp, {"netns", "pids", name});
    size_t at = 0;
    while (at < pids.out.size()) {
      const pid_t pid = static_cast<pid_t>(std::atol(pids.out.c_str() + at));
      if (pid > 0) kill(pid, SIGKILL);
      at = pids.out.find('\n', at);
      if (at == std::string::npos) break;
      ++at;
    }
    (void)testing::RunProgram(kIp, {"netns", "del", name});
    // The run's folder carries the same tag as its namespaces.
    fs::remove_all(kFolderPrefix + name.substr(name.rfind('-') + 1), ignored);
  }
}

// Whether the server hangs up on a fresh connection within quiet: ser2net
// does so while the device is still taken.
bool HungUpWithin(int fd, milliseconds quiet) {
  const auto start = Clock::now();
  while (Since(start) < quiet) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>((quiet - Since(start)).count())) <= 0) return false;
    char buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
  return false;
}

}  // namespace

int ConnectToServer(uint16_t port, milliseconds limit) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, kServerAddress, &address.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
      errno == EINPROGRESS) {
    pollfd entry{fd, POLLOUT, 0};
    int result = -1;
    socklen_t size = sizeof result;
    if (poll(&entry, 1, static_cast<int>(limit.count())) == 1 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size) == 0 && result == 0) {
      return fd;
    }
  }
  close(fd);
  return -1;
}

NetLink::NetLink() = default;

NetLink::~NetLink() {
  Leave();
  server_.reset();
  sim_.reset();
  relay_.reset();
  for (const std::string &name : made_) (void)testing::RunProgram(kIp, {"netns", "del", name});
  if (!dir_.empty()) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
}

void NetLink::Leave() {
  if (home_ns_ < 0) return;
  (void)setns(home_ns_, CLONE_NEWNET);
  close(home_ns_);
  home_ns_ = -1;
}

std::string NetLink::Url(const std::string &scheme) {
  return UrlOfPort(scheme, scheme == "tcp" ? kRawPort : kComPortPort);
}

std::string NetLink::UrlOfPort(const std::string &scheme, uint16_t port) {
  return scheme + "://" + kServerAddress + ":" + std::to_string(port);
}

bool NetLink::Run(const std::vector<std::string> &arguments, std::string *error) {
  const testing::RunResult result = testing::RunProgram(kIp, arguments);
  if (result.exit_code == 0) return true;
  std::string command = "ip";
  for (const std::string &a : arguments) command += " " + a;
  *error = command + " failed: " + result.err;
  return false;
}

bool NetLink::Start(const LinkShape &shape, const ServerSetup &setup, std::string *error) {
  if (kIp.empty() || access(kIp.c_str(), X_OK) != 0) {
    return Missing("ip (iproute2) is not installed: scripts/ensure-packages.sh linux", error);
  }
  if (kSer2net.empty() || access(kSer2net.c_str(), X_OK) != 0) {
    return Missing("ser2net is not installed: scripts/ensure-packages.sh linux", error);
  }
  if (access("/dev/net/tun", R_OK | W_OK) != 0) {
    return Missing("/dev/net/tun is missing or not usable: the link needs TUN devices", error);
  }
  RemoveAbandonedNamespaces();
  std::string dir = kFolderPrefix + "XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return Missing("no temporary folder", error);
  dir_ = dir;
  const std::string tag = std::to_string(getpid()) + "-" + dir_.substr(kFolderPrefix.size());
  client_ns_ = std::string(kNamespacePrefix) + "c-" + tag;
  server_ns_ = std::string(kNamespacePrefix) + "s-" + tag;
  for (const std::string &name : {client_ns_, server_ns_}) {
    if (!Run({"netns", "add", name}, error)) return false;
    made_.push_back(name);
    if (!Run({"-n", name, "link", "set", "lo", "up"}, error)) return false;
  }

  relay_ = std::make_unique<testing::Child>(
      kRelay, std::vector<std::string>{client_ns_, server_ns_, dir_ + "/relay.sock"},
      dir_ + "/relay.err");
  if (!relay_->started() || relay_->ReadLine(kStartLimit) != "ready") {
    return Missing("the link relay did not start: " + testing::ReadFile(dir_ + "/relay.err"),
                   error);
  }
  if (!Shape(shape, error)) return false;

  // The device runs in the server's namespace too, so that a run that dies
  // leaves nothing behind that the next cannot find.
  std::vector<std::string> sim = {"netns",     "exec", server_ns_, kSim,
                                  "--address", "1",    "--baud",   std::to_string(kLineRate)};
  sim.insert(sim.end(), setup.sim_arguments.begin(), setup.sim_arguments.end());
  sim_ = std::make_unique<testing::Child>(kIp, sim, dir_ + "/sim.err");
  const std::string device = sim_->started() ? sim_->ReadLine(kStartLimit) : std::string();
  if (device.empty()) {
    return Missing("qx318-sim did not start: " + testing::ReadFile(dir_ + "/sim.err"), error);
  }
  if (!WriteServerConfig(device, setup.nodelay, error)) return false;

  home_ns_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int client = open(("/run/netns/" + client_ns_).c_str(), O_RDONLY | O_CLOEXEC);
  const bool entered = home_ns_ >= 0 && client >= 0 && setns(client, CLONE_NEWNET) == 0;
  if (client >= 0) close(client);
  if (!entered) return Missing("cannot enter " + client_ns_ + ": " + std::strerror(errno), error);
  return StartServer(error);
}

bool NetLink::WriteServerConfig(const std::string &device, bool nodelay, std::string *error) {
  std::ofstream out(dir_ + "/ser2net.yaml");
  const std::string tcp = nodelay ? "tcp(nodelay=true)" : "tcp";
  const std::string connector =
      "serialdev," + device + "," + std::to_string(kLineRate) + "n81,local";
  out << "%YAML 1.1\n---\n";
  const struct {
    const char *name;
    std::string accepter;
  } accepters[] = {
      {"qx318bus", "telnet(rfc2217)," + tcp + "," + std::to_string(kComPortPort)},
      {"qx318raw", tcp + "," + std::to_string(kRawPort)},
  };
  for (const auto &a : accepters) {
    out << "connection: &" << a.name << "\n"
        << "    accepter: " << a.accepter << "\n"
        << "    connector: " << connector << "\n"
        << "    options:\n"
        << "      kickolduser: true\n";
  }
  out.close();
  if (!out) return Missing("cannot write " + dir_ + "/ser2net.yaml", error);
  return true;
}

bool NetLink::StartServer(std::string *error) {
  server_ = std::make_unique<testing::Child>(
      kIp,
      std::vector<std::string>{"netns", "exec", server_ns_, kSer2net, "-n", "-d", "-c",
                               dir_ + "/ser2net.yaml", "-P", dir_ + "/ser2net.pid"},
      dir_ + "/ser2net.err");
  if (!server_->started()) return Missing("ser2net did not start", error);
  for (const uint16_t port : {kComPortPort, kRawPort}) {
    const auto start = Clock::now();
    int fd = -1;
    while ((fd = ConnectToServer(port, milliseconds(1000))) < 0 && Since(start) < kStartLimit) {
      std::this_thread::sleep_for(milliseconds(20));
    }
    if (fd < 0) {
      return Missing("ser2net never listened on port " + std::to_string(port) + ": " +
                         testing::ReadFile(dir_ + "/ser2net.err"),
                     error);
    }
    close(fd);
    if (!WaitUntilServed(port, error)) return false;
  }
  return true;
}

void NetLink::StopServer(int signal_number) {
  if (server_) (void)server_->Stop(signal_number);
  server_.reset();
}

bool NetLink::WaitUntilServed(uint16_t port, std::string *error) {
  // A hang-up needs a round trip to arrive, and ser2net lets the device go
  // about 0.1 s after a client leaves.
  const milliseconds quiet(static_cast<int64_t>(2 * shape_.RoundTripMs()) + 200);
  const auto start = Clock::now();
  while (Since(start) < kStartLimit) {
    const int fd = ConnectToServer(port, milliseconds(3000));
    if (fd < 0) break;
    const bool refused = HungUpWithin(fd, quiet);
    close(fd);
    if (!refused) return true;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return Missing("ser2net kept turning clients of port " + std::to_string(port) + " away", error);
}

bool NetLink::Control(const std::string &command, std::string *error) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir_ + "/relay.sock";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  std::string answer;
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      write(fd, (command + "\n").data(), command.size() + 1) ==
          static_cast<ssize_t>(command.size() + 1)) {
    pollfd entry{fd, POLLIN, 0};
    char buffer[256];
    ssize_t n = 0;
    while (answer.find('\n') == std::string::npos && poll(&entry, 1, 3000) == 1 &&
           (n = read(fd, buffer, sizeof buffer)) > 0) {
      answer.append(buffer, static_cast<size_t>(n));
    }
  }
  if (fd >= 0) close(fd);
  if (answer == "ok\n") return true;
  *error = "the link relay did not take \"" + command + "\": " + answer;
  return false;
}

bool NetLink::Shape(const LinkShape &shape, std::string *error) {
  shape_ = shape;
  return Control("link " + std::to_string(shape.delay_ms) + " " + std::to_string(shape.jitter_ms) +
                     " " + std::to_string(shape.loss) + " " + std::to_string(shape.seed),
                 error);
}

bool NetLink::Cut(std::string *error) { return Control("cut", error); }
bool NetLink::Restore(std::string *error) { return Control("restore", error); }

}  // namespace qx318::test
