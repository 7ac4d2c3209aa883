// Network ports without a server worth the name: nobody listening, a
// listener that never speaks, one that hangs up, descriptions that name no
// endpoint. Each fails within its bound, none hangs.
#include "port/posix/network_port.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QX318_RS485.h"
#include "diagnostics/failure.h"
#include "loopback.h"
#include "param_name.h"
#include "wire_oracle.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// The open fails and leaves no handle.
void ExpectOpenFails(const std::string &description) {
  PortHandle handle = QX318_INVALID_PORT;
  EXPECT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 0);
  EXPECT_EQ(handle, QX318_INVALID_PORT);
}

// The open fails within a second and leaves no handle.
void ExpectOpenFailsPromptly(const std::string &description) {
  const auto start = Clock::now();
  ExpectOpenFails(description);
  EXPECT_LT(Since(start), milliseconds(1000));
}

// Failure and its detail of the call just made.
void ExpectFailure(int32_t code, const std::string &detail_part) {
  EXPECT_EQ(QX318_GetLastFailure(), code);
  EXPECT_NE(std::string(QX318_GetLastFailureDetail()).find(detail_part), std::string::npos)
      << QX318_GetLastFailureDetail();
}

const std::vector<std::string> kSchemes = {"tcp://", "rfc2217://"};

TEST(NetworkPort, NobodyListeningFailsTheOpenPromptly) {
  const uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  for (const std::string &scheme : kSchemes) {
    for (const std::string host : {"127.0.0.1", "[::1]"}) {
      const std::string description = scheme + host + ":" + std::to_string(port);
      SCOPED_TRACE(description);
      ExpectOpenFailsPromptly(description);
      ExpectFailure(QX318_FAIL_CONNECTION_REFUSED,
                    description + ": the connection was refused (no server on that port)");
      EXPECT_STREQ(QX318_FailureText(QX318_GetLastFailure()), "connection refused");
    }
  }
}

#ifdef __linux__
// Linux refuses a TCP connect to a multicast or broadcast address with
// ENETUNREACH before any packet leaves, whatever the routes: the one
// unreachable host a test can name on every machine.
TEST(NetworkPort, AnAddressNoConnectionCanReachFailsAsUnreachable) {
  for (const std::string &scheme : kSchemes) {
    for (const std::string host : {"224.0.0.1", "255.255.255.255", "[ff02::1]"}) {
      const std::string description = scheme + host + ":3001";
      SCOPED_TRACE(description);
      ExpectOpenFails(description);
      ExpectFailure(QX318_FAIL_HOST_UNREACHABLE, description + ": the host is unreachable (");
      EXPECT_STREQ(QX318_FailureText(QX318_GetLastFailure()), "host unreachable");
    }
  }
}
#endif

struct ConnectErrorCase {
  const char *name;
  int error;
  int32_t reason;
  const char *detail_part;
};

// Every way a connect can fail, as the errno the kernel gives: most of them
// cannot be brought about on loopback.
const ConnectErrorCase kConnectErrors[] = {
    {"refused", ECONNREFUSED, QX318_FAIL_CONNECTION_REFUSED, "the connection was refused"},
    {"no route to the host", EHOSTUNREACH, QX318_FAIL_HOST_UNREACHABLE, "the host is unreachable"},
    {"no route to the network", ENETUNREACH, QX318_FAIL_HOST_UNREACHABLE,
     "the host is unreachable"},
    {"host down", EHOSTDOWN, QX318_FAIL_HOST_UNREACHABLE, "the host is unreachable"},
    {"network down", ENETDOWN, QX318_FAIL_HOST_UNREACHABLE, "the host is unreachable"},
    {"no source address", EADDRNOTAVAIL, QX318_FAIL_HOST_UNREACHABLE, "the host is unreachable"},
    {"no answer", ETIMEDOUT, QX318_FAIL_CONNECTION, "no answer to the connection within"},
    {"anything else", EPERM, QX318_FAIL_PORT_ERROR, "a socket call failed"},
};

class ConnectErrors : public ::testing::TestWithParam<ConnectErrorCase> {};

TEST_P(ConnectErrors, NameTheirOwnReasonAndTheEndpoint) {
  const ConnectErrorCase &c = GetParam();
  const char *description = "tcp://192.0.2.7:3001";
  posix::NetworkFailure failure;
  failure.error = posix::ErrorOfConnect(c.error);
  failure.system_error = c.error;
  ClearConverterFailure();
  posix::NoteNetworkFailure(description, failure, " (reconnecting)");
  EXPECT_EQ(ConverterFailureCode(), c.reason);
  const std::string detail = ThisThreadFailure()->converter_detail;
  EXPECT_EQ(detail.rfind(std::string(description) + ": ", 0), 0u) << detail;
  EXPECT_NE(detail.find(c.detail_part), std::string::npos) << detail;
  EXPECT_NE(detail.find(" (reconnecting)"), std::string::npos) << detail;
}

INSTANTIATE_TEST_SUITE_P(Table, ConnectErrors, ::testing::ValuesIn(kConnectErrors), ParamName());

// A name that does not resolve says nothing about the network: it keeps the
// general code, and the detail tells it from a refused connection.
TEST(NetworkPort, ANameThatDoesNotResolveIsNoConnection) {
  const std::string description = "tcp://qx318-no-such-host.invalid:3001";
  ExpectOpenFails(description);
  ExpectFailure(QX318_FAIL_CONNECTION, description + ": the host name did not resolve");
}

TEST(NetworkPort, DescriptionsThatNameNoEndpointFailWithoutTraffic) {
  const std::vector<std::string> descriptions = {
      "tcp://",          "tcp://127.0.0.1",        "tcp://127.0.0.1:",
      "tcp://:3001",     "tcp://127.0.0.1:0",      "tcp://127.0.0.1:65536",
      "tcp://[::1:3001", "tcp://127.0.0.1:30x1",   "tcp://127.0.0.1:3001/bus",
      "rfc2217://[::1]", "tcp://127.0.0.1:123456", "tcp://[]:3001",
      "tcp://::1:3001",
  };
  for (const std::string &description : descriptions) {
    SCOPED_TRACE(description);
    ExpectOpenFailsPromptly(description);
  }
}

// A server that accepts and then says nothing at all.
TEST(NetworkPort, SilentServerTimesOutWithinTheBound) {
  LoopbackListener listener;
  ASSERT_TRUE(listener.ok());
  const std::string endpoint = "127.0.0.1:" + std::to_string(listener.port());

  // rfc2217: the server never agrees to com port control.
  PortHandle handle = QX318_INVALID_PORT;
  auto start = Clock::now();
  EXPECT_EQ(QX318_OpenPort(("rfc2217://" + endpoint).c_str(), 115200, &handle), 0);
  ExpectFailure(QX318_FAIL_WRONG_PROTOCOL, "did not agree to com port control");
  EXPECT_GE(Since(start), milliseconds(2500));
  EXPECT_LT(Since(start), milliseconds(6000));

  // tcp: the open succeeds (a raw stream has nothing to agree on); a hello
  // gets no answer and fails after the read's time-out.
  ASSERT_EQ(QX318_OpenPort(("tcp://" + endpoint).c_str(), 115200, &handle), 1);
  HelloAnswer answer{};
  start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_NO_ANSWER);
  EXPECT_GE(Since(start), milliseconds(1000));
  EXPECT_LT(Since(start), milliseconds(1100 + 1500 + 300));
  EXPECT_EQ(QX318_ClosePort(handle), 1);
}

// A server that talks Telnet without end but never agrees to com port
// control: the open still ends within its bound.
TEST(NetworkPort, Rfc2217OpenEndsEvenWhenTheServerNeverStopsTalking) {
  LoopbackListener listener;
  ASSERT_TRUE(listener.ok());
  std::atomic<bool> done{false};
  std::thread server([&listener, &done] {
    const int client = accept(listener.fd(), nullptr, nullptr);
    if (client < 0) return;
    const uint8_t nops[] = {0xFF, 0xF1, 0xFF, 0xF1, 0xFF, 0xF1, 0xFF, 0xF1};
    while (!done && send(client, nops, sizeof nops, MSG_NOSIGNAL) > 0) {
    }
    close(client);
  });
  PortHandle handle = QX318_INVALID_PORT;
  const std::string description = "rfc2217://127.0.0.1:" + std::to_string(listener.port());
  const auto start = Clock::now();
  EXPECT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 0);
  EXPECT_LT(Since(start), milliseconds(6000));
  done = true;
  server.join();
}

// A server that takes the request and hangs up: the read fails at once,
// not after its time-out. The next exchange starts on a fresh connection
// (the server sees a second client, and its request); once nobody listens,
// the exchange fails at once with the connection's reason.
TEST(NetworkPort, HangUpFailsTheReadAtOnceAndTheNextExchangeConnectsAfresh) {
  auto listener = std::make_unique<LoopbackListener>();
  ASSERT_TRUE(listener->ok());
  std::atomic<int> requests_seen{0};
  std::thread server([&listener, &requests_seen] {
    for (int connection = 0; connection < 2; ++connection) {
      const int client = accept(listener->fd(), nullptr, nullptr);
      if (client < 0) return;
      char request[64];
      if (recv(client, request, sizeof request, 0) > 0) ++requests_seen;
      close(client);
    }
  });
  PortHandle handle = QX318_INVALID_PORT;
  const std::string description = "tcp://127.0.0.1:" + std::to_string(listener->port());
  ASSERT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 1);
  HelloAnswer answer{};
  for (int exchange = 0; exchange < 2; ++exchange) {
    SCOPED_TRACE(exchange);
    const auto start = Clock::now();
    EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
    EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_HUNG_UP);
    EXPECT_LT(Since(start), milliseconds(900));
  }
  server.join();
  EXPECT_EQ(requests_seen, 2);

  listener.reset();
  const auto start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_CONNECTION_REFUSED);
  EXPECT_NE(std::string(QX318_GetLastFailureDetail()).find("refused"), std::string::npos)
      << QX318_GetLastFailureDetail();
  EXPECT_LT(Since(start), milliseconds(900));
  EXPECT_EQ(QX318_ClosePort(handle), 1);
}

constexpr uint8_t kIac = 255;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;
constexpr uint8_t kDo = 253;
constexpr uint8_t kComPort = 44;

// A Telnet server written for one misbehaviour: it agrees to com port
// control, then either hangs up when the line settings come, or confirms
// them and floods the client with option requests without ever reading
// again.
class MisbehavingComPortServer {
 public:
  enum class Plan { kHangUpOnLineSettings, kConfirmThenFloodWithoutReading };

  explicit MisbehavingComPortServer(Plan plan) : plan_(plan) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~MisbehavingComPortServer() {
    done_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_.port(); }

 private:
  void Serve() {
    const int client = accept(listener_.fd(), nullptr, nullptr);
    if (client < 0) return;
    const uint8_t agree[] = {kIac, kDo, kComPort};
    (void)send(client, agree, sizeof agree, MSG_NOSIGNAL);
    std::vector<uint8_t> received;
    // The five settings the client waits for: rate, data size, parity,
    // stop size and flow control (the modem lines go unanswered).
    int confirmed = 0;
    while (!done_ && confirmed < 5) {
      uint8_t chunk[512];
      const ssize_t n = recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      received.insert(received.end(), chunk, chunk + n);
      for (size_t i = 0; i + 4 < received.size(); ++i) {
        if (received[i] != kIac || received[i + 1] != kSb || received[i + 2] != kComPort) continue;
        if (plan_ == Plan::kHangUpOnLineSettings) {
          close(client);
          return;
        }
        size_t end = i + 4;
        while (end + 1 < received.size() && !(received[end] == kIac && received[end + 1] == kSe)) {
          ++end;
        }
        if (end + 1 >= received.size()) break;  // the rest is still on its way
        std::vector<uint8_t> answer(received.begin() + static_cast<long>(i),
                                    received.begin() + static_cast<long>(end) + 2);
        answer[3] = static_cast<uint8_t>(answer[3] + 100);
        (void)send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
        if (received[i + 3] <= 4 || received[i + 3] == 5) ++confirmed;
        received.erase(received.begin(), received.begin() + static_cast<long>(end) + 2);
        i = static_cast<size_t>(-1);
      }
    }
    // Requests for options nobody offers, each of which wants an answer.
    uint8_t flood[3 * 64];
    for (size_t i = 0; i < sizeof flood; i += 3) {
      flood[i] = kIac;
      flood[i + 1] = kDo;
      flood[i + 2] = static_cast<uint8_t>(100 + i / 3);
    }
    while (!done_ && send(client, flood, sizeof flood, MSG_NOSIGNAL) > 0) {
    }
    close(client);
  }

  Plan plan_;
  LoopbackListener listener_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(NetworkPort, HangUpDuringTheLineSettingsIsNamed) {
  MisbehavingComPortServer server(MisbehavingComPortServer::Plan::kHangUpOnLineSettings);
  PortHandle handle = QX318_INVALID_PORT;
  const std::string description = "rfc2217://127.0.0.1:" + std::to_string(server.port());
  const auto start = Clock::now();
  EXPECT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 0);
  ExpectFailure(QX318_FAIL_CONNECTION, "hung up while the port was being set up");
  EXPECT_LT(Since(start), milliseconds(1000));
}

// The server's requests pile up unanswered while it does not read; the
// hello still ends within the read's bound (1.1 s and the connection's
// allowance of at most 1.5 s). The next exchange starts on a fresh
// connection, which this server never agrees to: it fails within the
// set-up's bound of 3 s.
TEST(NetworkPort, TelnetFloodFromAServerThatStopsReadingDoesNotStretchAnExchange) {
  MisbehavingComPortServer server(MisbehavingComPortServer::Plan::kConfirmThenFloodWithoutReading);
  PortHandle handle = QX318_INVALID_PORT;
  const std::string description = "rfc2217://127.0.0.1:" + std::to_string(server.port());
  ASSERT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 1)
      << QX318_GetLastFailureDetail();
  HelloAnswer answer{};
  auto start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_NO_ANSWER);
  EXPECT_LT(Since(start), milliseconds(1100 + 1500 + 300));
  start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
  ExpectFailure(QX318_FAIL_WRONG_PROTOCOL, "did not agree to com port control");
  EXPECT_LT(Since(start), milliseconds(3000 + 300));
  EXPECT_EQ(QX318_ClosePort(handle), 1);
}

// ser2net's Telnet accepter greets every client with its option requests;
// a tcp:// port that hears them says so instead of failing on CRCs.
TEST(NetworkPort, TelnetServerBehindARawSchemeIsNamed) {
  LoopbackListener listener;
  ASSERT_TRUE(listener.ok());
  std::atomic<bool> done{false};
  std::thread server([&listener, &done] {
    while (!done) {
      pollfd entry{listener.fd(), POLLIN, 0};
      if (poll(&entry, 1, 20) <= 0) continue;
      const int client = accept(listener.fd(), nullptr, nullptr);
      if (client < 0) return;
      const uint8_t greeting[] = {kIac, 251, 1, kIac, 251, 3, kIac, kDo, kComPort};
      (void)send(client, greeting, sizeof greeting, MSG_NOSIGNAL);
      std::this_thread::sleep_for(milliseconds(300));
      close(client);
    }
  });
  PortHandle handle = QX318_INVALID_PORT;
  const std::string description = "tcp://127.0.0.1:" + std::to_string(listener.port());
  ASSERT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 1);
  HelloAnswer answer{};
  const auto start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
  ExpectFailure(QX318_FAIL_WRONG_PROTOCOL, "rfc2217://");
  EXPECT_LT(Since(start), milliseconds(1000));
  EXPECT_EQ(QX318_ClosePort(handle), 1);
  done = true;
  server.join();
}

// A server that serves another client says so in a line of text and hangs
// up. On rfc2217 it greets with its Telnet commands first, and a busy
// machine may get them, and pieces of the line, in separate segments: each
// way the line is recognised, and the open fails as busy, not as a hang-up.
// (A raw port hands bytes to the answer reader as they come, so there the
// line must come in one piece, as ser2net writes it.)
struct BusyLineCase {
  const char *name;
  const char *scheme;
  std::vector<std::vector<uint8_t>> segments;
};

std::vector<uint8_t> Text(const char *text) {
  return std::vector<uint8_t>(text, text + std::strlen(text));
}

class BusyServer : public ::testing::TestWithParam<BusyLineCase> {};

TEST_P(BusyServer, ItsLineIsRecognisedHoweverItIsCut) {
  LoopbackListener listener;
  ASSERT_TRUE(listener.ok());
  std::thread server([&listener] {
    const int client = accept(listener.fd(), nullptr, nullptr);
    if (client < 0) return;
    for (const std::vector<uint8_t> &segment : GetParam().segments) {
      (void)send(client, segment.data(), segment.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(milliseconds(30));
    }
    close(client);
  });
  PortHandle handle = QX318_INVALID_PORT;
  const std::string description =
      std::string(GetParam().scheme) + "://127.0.0.1:" + std::to_string(listener.port());
  if (QX318_OpenPort(description.c_str(), 115200, &handle) == 1) {
    // A raw port connects before anything is said; the first exchange hears it.
    HelloAnswer answer{};
    EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
    ExpectFailure(QX318_FAIL_PORT_BUSY, "serves another client");
    EXPECT_EQ(QX318_ClosePort(handle), 1);
  } else {
    ExpectFailure(QX318_FAIL_PORT_BUSY, "serves another client");
  }
  server.join();
}

INSTANTIATE_TEST_SUITE_P(
    Table, BusyServer,
    ::testing::Values(BusyLineCase{"RawInOnePiece", "tcp", {Text("Port already in use\r\n")}},
                      BusyLineCase{"ComPortBehindItsCommands",
                                   "rfc2217",
                                   {{kIac, 251, 1, kIac, 251, 3}, Text("Port already in use\r\n")}},
                      BusyLineCase{
                          "ComPortCutInThree",
                          "rfc2217",
                          {{kIac, 251, 1}, Text("Port's device al"), Text("ready in use\r\n")}}),
    test::ParamName());

// A write followed at once by the close, while bytes the caller never read
// wait in the socket: the close must still end the connection normally
// (ser2net drops what it has not yet passed on when it gets a reset), so
// the server reads the whole request and then an orderly end, never a reset.
TEST(NetworkPort, CloseAfterAWriteEndsTheConnectionInOrder) {
  LoopbackListener listener;
  ASSERT_TRUE(listener.ok());
  std::vector<uint8_t> received;
  bool orderly_end = false;
  std::thread server([&] {
    const int client = accept(listener.fd(), nullptr, nullptr);
    if (client < 0) return;
    std::this_thread::sleep_for(milliseconds(30));
    const uint8_t unread[16] = {0x80, 0x81, 0x82};
    (void)send(client, unread, sizeof unread, MSG_NOSIGNAL);
    std::this_thread::sleep_for(milliseconds(300));
    for (;;) {
      pollfd entry{client, POLLIN, 0};
      if (poll(&entry, 1, 3000) <= 0) break;
      uint8_t chunk[256];
      const ssize_t n = recv(client, chunk, sizeof chunk, 0);
      if (n > 0) {
        received.insert(received.end(), chunk, chunk + n);
        continue;
      }
      orderly_end = n == 0;
      break;
    }
    close(client);
  });
  PortHandle handle = QX318_INVALID_PORT;
  const std::string description = "tcp://127.0.0.1:" + std::to_string(listener.port());
  ASSERT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 1);
  ASSERT_EQ(QX318_WriteParameter(handle, 1, 0x0205, 300), 1);
  std::this_thread::sleep_for(milliseconds(100));
  const auto start = Clock::now();
  EXPECT_EQ(QX318_ClosePort(handle), 1);
  EXPECT_LT(Since(start), milliseconds(2000 + 300));
  server.join();
  EXPECT_TRUE(orderly_end);
  const std::optional<Request> request = DecodeRequest(received);
  ASSERT_TRUE(request.has_value()) << received.size() << " bytes";
  EXPECT_TRUE(request->crc_ok);
  EXPECT_EQ(request->address, 1);
}

}  // namespace
}  // namespace qx318::test
