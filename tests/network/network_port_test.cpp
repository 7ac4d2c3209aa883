// Network ports without a server worth the name: nobody listening, a
// listener that never speaks, one that hangs up, descriptions that name no
// endpoint. Each fails within its bound, none hangs.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "QX318_RS485.h"
#include "loopback.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// The open fails within a second and leaves no handle.
void ExpectOpenFailsPromptly(const std::string &description) {
  PortHandle handle = QX318_INVALID_PORT;
  const auto start = Clock::now();
  EXPECT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 0);
  EXPECT_EQ(handle, QX318_INVALID_PORT);
  EXPECT_LT(Since(start), milliseconds(1000));
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
    }
  }
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
  EXPECT_GE(Since(start), milliseconds(2500));
  EXPECT_LT(Since(start), milliseconds(6000));

  // tcp: the open succeeds (a raw stream has nothing to agree on); a hello
  // gets no answer and fails after the read's time-out.
  ASSERT_EQ(QX318_OpenPort(("tcp://" + endpoint).c_str(), 115200, &handle), 1);
  HelloAnswer answer{};
  start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
  EXPECT_GE(Since(start), milliseconds(1000));
  EXPECT_LT(Since(start), milliseconds(6000));
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
// not after its time-out, and so does everything after it on that handle.
TEST(NetworkPort, HangUpFailsTheReadAtOnce) {
  LoopbackListener listener;
  ASSERT_TRUE(listener.ok());
  std::thread server([&listener] {
    const int client = accept(listener.fd(), nullptr, nullptr);
    if (client < 0) return;
    char request[64];
    (void)recv(client, request, sizeof request, 0);
    close(client);
  });
  PortHandle handle = QX318_INVALID_PORT;
  const std::string description = "tcp://127.0.0.1:" + std::to_string(listener.port());
  ASSERT_EQ(QX318_OpenPort(description.c_str(), 115200, &handle), 1);
  HelloAnswer answer{};
  auto start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
  EXPECT_LT(Since(start), milliseconds(900));
  server.join();
  start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(handle, 1, &answer), 0);
  EXPECT_LT(Since(start), milliseconds(900));
  EXPECT_EQ(QX318_ClosePort(handle), 1);
}

}  // namespace
}  // namespace qx318::test
