// A bus behind ser2net on the far side of an emulated network link: two
// network namespaces made for the purpose, joined by qx318-link-relay
// (delay, jitter, loss, cut), a paced qx318-sim and ser2net in the server's
// namespace, and the calling thread moved into the client's, so that the
// library's sockets cross the link. The only addresses used are the two
// ends of that link, inside namespaces this process made.
//
// Everything is taken down again when the NetLink goes (children killed and
// reaped, namespaces deleted), and namespaces that a crashed run left behind
// are removed by the next one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace qx318::test {

inline constexpr const char *kServerAddress = "10.77.0.2";  // the relay's server end
inline constexpr uint16_t kComPortPort = 3001;              // telnet(rfc2217) accepter
inline constexpr uint16_t kRawPort = 3002;                  // raw accepter
inline constexpr uint16_t kUnusedPort = 3999;               // nothing listens there
inline constexpr uint32_t kLineRate = 115200;

struct LinkShape {
  double delay_ms = 0;
  double jitter_ms = 0;
  double loss = 0;  // drop probability per packet and direction
  uint64_t seed = 1;
  double RoundTripMs() const { return 2 * delay_ms; }
};

struct ServerSetup {
  bool nodelay = true;                     // tcp(nodelay=true) in both accepters
  std::vector<std::string> sim_arguments;  // beyond --address 1 --baud 115200
};

// A TCP connection from the calling thread's namespace to port at the
// server end, or -1 when none is made within limit.
int ConnectToServer(uint16_t port, std::chrono::milliseconds limit);

class NetLink {
 public:
  NetLink();
  ~NetLink();
  NetLink(const NetLink &) = delete;
  NetLink &operator=(const NetLink &) = delete;

  // Builds the link with shape, starts the device and the server and moves
  // the calling thread into the client's namespace. False, with the reason
  // in *error, when something is missing or did not come up.
  bool Start(const LinkShape &shape, const ServerSetup &setup, std::string *error);

  // "tcp://10.77.0.2:3002" or "rfc2217://10.77.0.2:3001".
  static std::string Url(const std::string &scheme);
  static std::string UrlOfPort(const std::string &scheme, uint16_t port);

  bool Shape(const LinkShape &shape, std::string *error);
  bool Cut(std::string *error);
  bool Restore(std::string *error);

  // Stops ser2net with signal_number (and reaps it); StartServer brings it
  // back with the same configuration.
  void StopServer(int signal_number);
  bool StartServer(std::string *error);

  // Waits until a client of the accepter on port is served, not turned
  // away while the device is still taken by a client just gone.
  bool WaitUntilServed(uint16_t port, std::string *error);

 private:
  bool Run(const std::vector<std::string> &arguments, std::string *error);
  bool Control(const std::string &command, std::string *error);
  bool WriteServerConfig(const std::string &device, bool nodelay, std::string *error);
  void Leave();

  std::string dir_;
  std::string client_ns_;
  std::string server_ns_;
  std::vector<std::string> made_;  // namespaces to delete
  LinkShape shape_;
  int home_ns_ = -1;  // the thread's namespace before Start
  std::unique_ptr<testing::Child> relay_;
  std::unique_ptr<testing::Child> sim_;
  std::unique_ptr<testing::Child> server_;
};

}  // namespace qx318::test
