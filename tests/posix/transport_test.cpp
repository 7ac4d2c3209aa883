// The one time-out engine behind both transports of the POSIX converter,
// driven through the transport itself: a pseudo-terminal (the serial
// transport) and a loopback connection (the network transport, tcp://). The
// test plays the other end of each. Every case runs on both, so a rule kept
// by one transport and lost by the other shows here.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "loopback.h"
#include "port/posix/network_port.h"
#include "port/posix/serial_transport.h"
#include "pty_device.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr CommTimeouts kNoWait{0xFFFFFFFFu, 0, 0, 0, 0};
constexpr CommTimeouts kWaitForEver{0, 0, 0, 0, 0};
// A total far beyond any bound a case checks: when a read ends well before
// it, something else (the gap, a hang-up) ended it.
constexpr uint32_t kFarTotalMs = 60000;
constexpr auto kLongBeforeTheFarTotal = milliseconds(kFarTotalMs / 2);
constexpr auto kPeerPatience = milliseconds(10000);

// Bytes a device could send: never a Telnet command nor a server's notice.
Bytes Numbered(size_t count, uint8_t first) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((first + i) % 0xF0 + 1);
  return bytes;
}

bool WaitOn(int fd, short events, Clock::time_point give_up) {
  const auto left = std::chrono::duration_cast<milliseconds>(give_up - Clock::now()).count();
  pollfd entry{fd, events, 0};
  return left > 0 && poll(&entry, 1, static_cast<int>(left)) > 0;
}

// The other end of a transport: a descriptor the test writes the device's
// bytes to and reads the requests from.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual const char *name() const = 0;
  // The transport on this end, open; null when it could not be opened.
  virtual std::unique_ptr<posix::Transport> OpenTransport() = 0;
  virtual int fd() const = 0;
  // The other end goes away: the device unplugged, the server gone.
  virtual void HangUp() = 0;
  // What the transport's purge of unread bytes asks of this end.
  virtual bool FollowPurge() = 0;

  bool Send(const Bytes &bytes) {
    const auto give_up = Clock::now() + kPeerPatience;
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t put = write(fd(), bytes.data() + sent, bytes.size() - sent);
      if (put > 0) {
        sent += static_cast<size_t>(put);
      } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else if (!WaitOn(fd(), POLLOUT, give_up)) {
        return false;
      }
    }
    return true;
  }

  Bytes Receive(size_t count) {
    const auto give_up = Clock::now() + kPeerPatience;
    Bytes bytes(count);
    size_t got = 0;
    while (got < count && WaitOn(fd(), POLLIN, give_up)) {
      const ssize_t n = read(fd(), bytes.data() + got, count - got);
      if (n <= 0 && errno != EAGAIN && errno != EINTR) break;
      if (n > 0) got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

  // One byte at a time, pause apart.
  bool Trickle(const Bytes &bytes, milliseconds pause) {
    for (const uint8_t byte : bytes) {
      std::this_thread::sleep_for(pause);
      if (!Send({byte})) return false;
    }
    return true;
  }
};

class PtyPeer final : public Peer {
 public:
  const char *name() const override { return "pseudo-terminal"; }
  std::unique_ptr<posix::Transport> OpenTransport() override {
    return posix::OpenSerialTransport(device_->slave_path().c_str());
  }
  int fd() const override { return device_ != nullptr ? device_->master_fd() : -1; }
  void HangUp() override { device_.reset(); }
  bool FollowPurge() override { return true; }

 private:
  std::unique_ptr<PtyDevice> device_ = std::make_unique<PtyDevice>();
};

class SocketPeer final : public Peer {
 public:
  ~SocketPeer() override { HangUp(); }
  const char *name() const override { return "loopback connection"; }
  std::unique_ptr<posix::Transport> OpenTransport() override {
    if (!listener_.ok()) return nullptr;
    auto transport = posix::OpenNetworkTransport(
        ("tcp://127.0.0.1:" + std::to_string(listener_.port())).c_str());
    if (transport != nullptr && !Accept()) return nullptr;
    return transport;
  }
  int fd() const override { return connection_; }
  void HangUp() override {
    if (connection_ >= 0) close(connection_);
    connection_ = -1;
  }
  // A byte stream cannot be purged of what is in flight: unread bytes make
  // the purge start a fresh connection, which this end takes.
  bool FollowPurge() override {
    HangUp();
    return Accept();
  }

 private:
  bool Accept() {
    if (!WaitOn(listener_.fd(), POLLIN, Clock::now() + kPeerPatience)) return false;
    connection_ = accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
  }

  LoopbackListener listener_;
  int connection_ = -1;
};

using PeerMaker = std::unique_ptr<Peer> (*)();

class TransportEngine : public ::testing::TestWithParam<PeerMaker> {
 protected:
  void SetUp() override {
    peer_ = GetParam()();
    transport_ = peer_->OpenTransport();
    ASSERT_NE(transport_, nullptr) << peer_->name();
  }
  void TearDown() override {
    // The far end first: a network transport's close waits for the server
    // to close its side.
    peer_->HangUp();
    transport_.reset();
  }

  posix::TransferResult Read(uint32_t count, const CommTimeouts &timeouts, Bytes *into) {
    into->assign(count, 0);
    const auto result = transport_->Read(into->data(), count, timeouts);
    into->resize(result.count);
    return result;
  }

  std::unique_ptr<Peer> peer_;
  std::unique_ptr<posix::Transport> transport_;
};

// One burst read in fields of different sizes: every byte once, in order,
// whether it came from the kernel or from what a read took ahead.
TEST_P(TransportEngine, ABurstReadFieldByFieldLosesAndRepeatsNothing) {
  const Bytes sent = Numbered(1500, 0x10);
  ASSERT_TRUE(peer_->Send(sent));
  Bytes received;
  for (const uint32_t field : {1u, 7u, 64u, 300u, 1000u, 128u}) {
    Bytes part;
    const auto result = Read(field, CommTimeouts{0, 0, 5000, 0, 0}, &part);
    ASSERT_FALSE(result.failed);
    received.insert(received.end(), part.begin(), part.end());
  }
  EXPECT_EQ(received, sent);
}

// A short answer under a far total: the gap after its last byte ends the
// read, with every byte that came.
TEST_P(TransportEngine, TheGapEndsAShortAnswerLongBeforeTheTotal) {
  const Bytes sent = Numbered(3, 0x20);
  ASSERT_TRUE(peer_->Send(sent));
  Bytes received;
  const auto start = Clock::now();
  const auto result = Read(10, CommTimeouts{100, 0, kFarTotalMs, 0, 0}, &received);
  EXPECT_LT(Clock::now() - start, kLongBeforeTheFarTotal) << "the gap did not end the read";
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(received, sent);
}

// Silence: the total (no gap set) and the no-wait setting each end a read
// with nothing and without failing.
TEST_P(TransportEngine, SilenceEndsInTheTotalOrAtOnce) {
  const struct {
    const char *what;
    CommTimeouts timeouts;
  } cases[] = {{"total of 300 ms", CommTimeouts{0, 0, 300, 0, 0}},
               {"per-byte total of 4 x 50 ms", CommTimeouts{0, 50, 0, 0, 0}},
               {"no wait", kNoWait}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes received;
    const auto result = Read(4, c.timeouts, &received);
    EXPECT_FALSE(result.failed);
    EXPECT_TRUE(received.empty());
  }
}

// A device that trickles a byte every 30 ms never lets a 200 ms gap expire:
// the total ends the read, part-way, with the bytes in order.
TEST_P(TransportEngine, TheTotalEndsATrickleTheGapNeverEnds) {
  const Bytes trickle = Numbered(100, 0x30);
  auto writer =
      std::async(std::launch::async, [&] { return peer_->Trickle(trickle, milliseconds(30)); });
  Bytes received;
  const auto result = Read(200, CommTimeouts{200, 0, 600, 0, 0}, &received);
  EXPECT_FALSE(result.failed);
  EXPECT_GE(received.size(), 1u);
  EXPECT_LT(received.size(), trickle.size()) << "the total did not end the read";
  EXPECT_EQ(received, Bytes(trickle.begin(), trickle.begin() + received.size()));
  EXPECT_TRUE(writer.get());
}

// What the far end sent before it went away is read; the read after it
// fails at once, even one that would wait for ever.
TEST_P(TransportEngine, AHangUpFailsTheReadAfterTheLastByte) {
  const Bytes sent = Numbered(5, 0x40);
  ASSERT_TRUE(peer_->Send(sent));
  Bytes received;
  ASSERT_FALSE(Read(5, kWaitForEver, &received).failed);
  EXPECT_EQ(received, sent);
  peer_->HangUp();
  for (const CommTimeouts &timeouts : {kWaitForEver, CommTimeouts{100, 100, kFarTotalMs, 0, 0}}) {
    const auto start = Clock::now();
    const auto result = Read(1, timeouts, &received);
    EXPECT_TRUE(result.failed);
    EXPECT_TRUE(received.empty());
    EXPECT_LT(Clock::now() - start, kLongBeforeTheFarTotal);
  }
}

// A purge drops what came and was not read, the bytes a read took ahead
// included; what comes after it is the next answer, whole.
TEST_P(TransportEngine, APurgeDropsTheUnreadBytesAndKeepsWhatFollows) {
  ASSERT_TRUE(peer_->Send(Numbered(8, 0x50)));
  Bytes received;
  ASSERT_EQ(Read(1, CommTimeouts{0, 0, 5000, 0, 0}, &received).count, 1u);
  ASSERT_TRUE(transport_->PurgeReceived());
  ASSERT_TRUE(peer_->FollowPurge());
  const Bytes next = Numbered(6, 0x60);
  ASSERT_TRUE(peer_->Send(next));
  const auto result =
      Read(static_cast<uint32_t>(next.size()), CommTimeouts{0, 0, 5000, 0, 0}, &received);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(received, next);
}

// A request larger than one system call's worth reaches the far end whole
// and in order, while it reads.
TEST_P(TransportEngine, AWriteArrivesWholeAndInOrder) {
  const Bytes request = Numbered(3000, 0x70);
  auto reader = std::async(std::launch::async, [&] { return peer_->Receive(request.size()); });
  const auto result = transport_->Write(request.data(), static_cast<uint32_t>(request.size()),
                                        CommTimeouts{0, 0, 0, 0, 10000});
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.count, request.size());
  EXPECT_EQ(reader.get(), request);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, TransportEngine,
                         ::testing::Values(
                             +[]() -> std::unique_ptr<Peer> { return std::make_unique<PtyPeer>(); },
                             +[]() -> std::unique_ptr<Peer> {
                               return std::make_unique<SocketPeer>();
                             }),
                         [](const ::testing::TestParamInfo<PeerMaker> &param) {
                           return param.index == 0 ? std::string("Serial") : std::string("Network");
                         });

}  // namespace
}  // namespace qx318::test
