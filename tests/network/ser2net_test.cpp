// The library through a real ser2net on loopback: a qx318-sim pseudo-terminal
// served through a raw accepter (tcp://), a Telnet com port accepter
// (rfc2217://) and a raw accepter on ::1; every command family, a 256 x 256
// image full of 0xFF bytes on the wire, a server stopped in the middle of an
// image, and the line settings that an rfc2217:// open applies arriving at
// the served device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QX318_RS485.h"
#include "child_process.h"
#include "loopback.h"
#include "param_name.h"
#include "port/posix/line_speed.h"
#include "pty_device.h"
#include "tool_support.h"

namespace qx318::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::Child;

const std::string kSim = QX318_SIM_PATH;
const std::string kSer2net = QX318_SER2NET_PATH;
const std::string kTool = QX318_TOOL_PATH;

constexpr int32_t kAddress = 1;
constexpr uint16_t kImageSide = 256;
constexpr uint16_t kSimModel = 318;  // what qx318-sim answers as value1
constexpr uint16_t kSimPairs = 64;   // its default pairs per measurement
constexpr uint8_t kWhite = 127;      // its image border
constexpr uint8_t kGetImageCommand = 6;

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

void RequireSer2net() {
  ASSERT_FALSE(kSer2net.empty())
      << "ser2net is not installed; install it with scripts/ensure-packages.sh linux";
  ASSERT_EQ(access(kSer2net.c_str(), X_OK), 0) << kSer2net << " cannot be run";
}

// Connects to a loopback port; -1 when nothing answers.
int ConnectLoopback(uint16_t port, bool ipv6) {
  const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  const socklen_t size = LoopbackAddress(port, ipv6, &address);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), size) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// What a fresh connection hears within quiet of silence (or until the server
// hangs up, which ends it with hung_up set).
std::string Listen(int fd, milliseconds quiet, bool *hung_up) {
  std::string heard;
  *hung_up = false;
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(quiet.count())) <= 0) return heard;
    char buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      *hung_up = true;
      return heard;
    }
    heard.append(buffer, static_cast<size_t>(n));
  }
}

struct Accepter {
  std::string name;     // the connection's alias in the configuration
  std::string gensio;   // e.g. "telnet(rfc2217),tcp"
  std::string address;  // "127.0.0.1" or "::1"
  uint16_t port = 0;
};

// ser2net serving one device through several accepters, from a configuration
// this test writes.
class Ser2net {
 public:
  Ser2net(std::string dir, std::string device, std::string line, std::vector<Accepter> accepters)
      : dir_(std::move(dir)),
        device_(std::move(device)),
        line_(std::move(line)),
        accepters_(std::move(accepters)) {}

  void Start() {
    const std::string config = dir_ + "/ser2net.yaml";
    {
      std::ofstream out(config);
      out << "%YAML 1.1\n---\n";
      for (const Accepter &a : accepters_) {
        out << "connection: &" << a.name << "\n"
            << "    accepter: " << a.gensio << "," << a.address << "," << a.port << "\n"
            << "    connector: serialdev," << device_ << "," << line_ << ",local\n";
      }
    }
    child_ = std::make_unique<Child>(
        kSer2net, std::vector<std::string>{"-n", "-d", "-c", config, "-P", dir_ + "/ser2net.pid"},
        dir_ + "/ser2net.err");
    ASSERT_TRUE(child_->started());
    for (const Accepter &a : accepters_) {
      const auto start = Clock::now();
      int fd = -1;
      while ((fd = ConnectLoopback(a.port, a.address == "::1")) < 0 &&
             Since(start) < milliseconds(10000)) {
        std::this_thread::sleep_for(milliseconds(20));
      }
      ASSERT_GE(fd, 0) << a.name << " never listened: " << testing::ReadFile(dir_ + "/ser2net.err");
      close(fd);
    }
  }

  // ser2net lets the device go a moment after a client leaves, and until then
  // refuses a client of another accepter ("device already in use"). Waits,
  // with a probe connection, until a client of accepter is served.
  void WaitUntilServed(const Accepter &accepter) {
    const auto start = Clock::now();
    while (Since(start) < milliseconds(10000)) {
      const int fd = ConnectLoopback(accepter.port, accepter.address == "::1");
      ASSERT_GE(fd, 0);
      bool hung_up = false;
      const std::string heard = Listen(fd, milliseconds(150), &hung_up);
      close(fd);
      if (!hung_up) return;
      std::this_thread::sleep_for(milliseconds(50));
    }
    FAIL() << accepter.name << " kept refusing clients";
  }

  void Stop(int signal_number) {
    if (child_) (void)child_->Stop(signal_number);
    child_.reset();
  }

 private:
  std::string dir_;
  std::string device_;
  std::string line_;
  std::vector<Accepter> accepters_;
  std::unique_ptr<Child> child_;
};

class Ser2netTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RequireSer2net();
    char name[] = "/tmp/qx318-ser2net-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    raw_ = {"qx318raw", "tcp", "127.0.0.1", FreeLoopbackPort()};
    com_port_ = {"qx318rfc2217", "telnet(rfc2217),tcp", "127.0.0.1", FreeLoopbackPort()};
    ipv6_ = {"qx318ipv6", "tcp", "::1", FreeLoopbackPort(true)};
    ASSERT_NE(raw_.port, 0);
    ASSERT_NE(com_port_.port, 0);
    ASSERT_NE(ipv6_.port, 0);
  }
  void TearDown() override {
    if (server_) server_->Stop(SIGTERM);
    server_.reset();
    sim_.reset();
    fs::remove_all(dir_);
  }

  // Starts qx318-sim with arguments and ser2net serving it through every
  // accepter; the line is what ser2net sets before any client asks.
  void Serve(std::vector<std::string> sim_arguments) {
    sim_ = std::make_unique<Child>(kSim, sim_arguments, dir_ + "/sim.err");
    ASSERT_TRUE(sim_->started());
    const std::string pty = sim_->ReadLine(milliseconds(20000));
    ASSERT_FALSE(pty.empty()) << testing::ReadFile(dir_ + "/sim.err");
    server_ = std::make_unique<Ser2net>(dir_, pty, "9600n81",
                                        std::vector<Accepter>{raw_, com_port_, ipv6_});
    server_->Start();
  }

  PortHandle Open(const Accepter &accepter, const std::string &description,
                  uint32_t baud = 115200) {
    server_->WaitUntilServed(accepter);
    PortHandle port = QX318_INVALID_PORT;
    EXPECT_EQ(QX318_OpenPort(description.c_str(), baud, &port), 1) << description;
    return port;
  }

  static std::string Description(const std::string &scheme, const Accepter &a) {
    const std::string host = a.address == "::1" ? "[::1]" : a.address;
    return scheme + "://" + host + ":" + std::to_string(a.port);
  }

  std::string dir_;
  Accepter raw_;
  Accepter com_port_;
  Accepter ipv6_;
  std::unique_ptr<Child> sim_;
  std::unique_ptr<Ser2net> server_;
};

struct Route {
  const char *name;
  const char *scheme;
  const Accepter *accepter;
};

void EveryCommandFamily(PortHandle port) {
  HelloAnswer hello{};
  ASSERT_EQ(QX318_HelloCmd(port, kAddress, &hello), 1);
  EXPECT_EQ(hello.value1, kSimModel);
  EXPECT_EQ(hello.value4, kImageSide);
  EXPECT_EQ(hello.value5, kImageSide);
  EXPECT_EQ(hello.value7, kAddress);

  // 0x3FFF travels as two 0x7F groups, 0xFF on the wire with the marker
  // bit: an rfc2217:// write must double each, a read undouble them.
  constexpr ParameterCode kCode = 0x0205;
  constexpr uint16_t kSaved = 0x3FFF;
  uint16_t value = 0;
  ASSERT_EQ(QX318_WriteParameter(port, kAddress, kCode, kSaved), 1);
  ASSERT_EQ(QX318_ReadParameter(port, kAddress, kCode, &value), 1);
  EXPECT_EQ(value, kSaved);
  ASSERT_EQ(QX318_FlushParamsToFlash(port, kAddress), 1);
  ASSERT_EQ(QX318_WriteParameter(port, kAddress, kCode, 9), 1);
  ASSERT_EQ(QX318_ReadParameter(port, kAddress, kCode, &value), 1);
  EXPECT_EQ(value, 9);
  ASSERT_EQ(QX318_RestoreParamsFromFlash(port, kAddress), 1);
  ASSERT_EQ(QX318_ReadParameter(port, kAddress, kCode, &value), 1);
  EXPECT_EQ(value, kSaved);

  MeasureHeader measure{};
  std::vector<uint16_t> values(2 * kSimPairs);
  ASSERT_EQ(QX318_GetMeasureEx(port, kAddress, &measure, values.data(),
                               static_cast<uint32_t>(values.size())),
            1);
  EXPECT_EQ(measure.pair_count, kSimPairs);

  // The white border is 127, sent as 0xFF: the image's CRC and length only
  // hold when every one of those came through undoubled.
  ImageHeader header{};
  std::vector<uint8_t> pixels(size_t{kImageSide} * kImageSide, 0xEE);
  ASSERT_EQ(QX318_GetImageEx(port, kAddress, &header, pixels.data(),
                             static_cast<uint32_t>(pixels.size())),
            1);
  EXPECT_EQ(header.row_count, kImageSide);
  EXPECT_EQ(header.row_length, kImageSide);
  for (size_t column = 0; column < kImageSide; ++column) {
    ASSERT_EQ(pixels[column], kWhite) << column;
    ASSERT_EQ(pixels[pixels.size() - 1 - column], kWhite) << column;
  }
  for (const uint8_t pixel : pixels) ASSERT_LE(pixel, 127);
}

TEST_F(Ser2netTest, EveryCommandFamilyThroughEachAccepter) {
  Serve(
      {"--address", "1", "--rows", "256", "--row-length", "256", "--state", dir_ + "/flash.json"});
  const std::vector<Route> routes = {
      {"raw", "tcp", &raw_},
      {"rfc2217", "rfc2217", &com_port_},
      {"raw over IPv6", "tcp", &ipv6_},
  };
  for (const Route &route : routes) {
    SCOPED_TRACE(route.name);
    const Accepter &accepter = *route.accepter;
    const PortHandle port = Open(accepter, Description(route.scheme, accepter));
    if (port == QX318_INVALID_PORT) continue;
    EveryCommandFamily(port);
    EXPECT_EQ(QX318_ClosePort(port), 1);
  }
}

// The same device opened again and again: every open is a connection of its
// own, and nothing of the last one is left over.
TEST_F(Ser2netTest, EachOpenConnectsAfresh) {
  Serve({"--address", "1", "--rows", "4", "--row-length", "4"});
  for (int round = 0; round < 3; ++round) {
    for (const Route &route :
         {Route{"raw", "tcp", &raw_}, Route{"rfc2217", "rfc2217", &com_port_}}) {
      SCOPED_TRACE(std::string(route.name) + " round " + std::to_string(round));
      const Accepter &accepter = *route.accepter;
      const PortHandle port = Open(accepter, Description(route.scheme, accepter));
      if (port == QX318_INVALID_PORT) continue;
      HelloAnswer hello{};
      EXPECT_EQ(QX318_HelloCmd(port, kAddress, &hello), 1);
      EXPECT_EQ(hello.value1, kSimModel);
      EXPECT_EQ(QX318_ClosePort(port), 1);
    }
  }
}

// While one client holds the device, ser2net turns a client of another
// accepter away with a line of text and hangs up: the open through either
// scheme says the port is busy instead of failing on the text as an answer
// (tcp://) or calling the hang-up a refusal of com port control.
TEST_F(Ser2netTest, ADeviceHeldByAnotherClientIsReportedBusy) {
  Serve({"--address", "1", "--rows", "4", "--row-length", "4"});
  const PortHandle holder = Open(ipv6_, Description("tcp", ipv6_));
  ASSERT_NE(holder, QX318_INVALID_PORT);
  HelloAnswer hello{};
  ASSERT_EQ(QX318_HelloCmd(holder, kAddress, &hello), 1);

  PortHandle port = QX318_INVALID_PORT;
  EXPECT_EQ(QX318_OpenPort(Description("rfc2217", com_port_).c_str(), 115200, &port), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_PORT_BUSY) << QX318_GetLastFailureDetail();

  ASSERT_EQ(QX318_OpenPort(Description("tcp", raw_).c_str(), 115200, &port), 1);
  EXPECT_EQ(QX318_HelloCmd(port, kAddress, &hello), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_PORT_BUSY) << QX318_GetLastFailureDetail();
  EXPECT_EQ(QX318_ClosePort(port), 1);
  EXPECT_EQ(QX318_ClosePort(holder), 1);
}

// The host tool passes the description through: a scan over the network
// finds the simulated devices as it would on a local port.
TEST_F(Ser2netTest, HostToolScansThroughEachAccepter) {
  Serve({"--address", "1,3", "--rows", "4", "--row-length", "4"});
  for (const Route &route : {Route{"raw", "tcp", &raw_}, Route{"rfc2217", "rfc2217", &com_port_}}) {
    SCOPED_TRACE(route.name);
    server_->WaitUntilServed(*route.accepter);
    const testing::RunResult scan = testing::RunProgram(
        kTool, {"--port", Description(route.scheme, *route.accepter), "scan", "--last", "3"});
    EXPECT_EQ(scan.exit_code, 0) << scan.err;
    EXPECT_NE(scan.out.find("address  1:"), std::string::npos) << scan.out;
    EXPECT_NE(scan.out.find("address  3:"), std::string::npos) << scan.out;
    EXPECT_EQ(scan.out.find("address  2:"), std::string::npos) << scan.out;
  }
}

struct StopCase {
  const char *name;
  const char *scheme;
  int signal_number;
};

class Ser2netStopTest : public Ser2netTest, public ::testing::WithParamInterface<StopCase> {};

// The server goes away while an image streams in: the call fails promptly
// (the connection's end is seen at once, well inside the read's time-out),
// stores no header, every later call on the handle fails as fast, and the
// next open, once a server is back, works. The device is scripted: it sends
// the header and the first 32 rows of a 256 x 256 image and nothing more,
// and the server is stopped from the row progress once 16 rows are in, so
// the stop falls in the middle of the image however loaded the machine is.
TEST_P(Ser2netStopTest, ServerStoppedInTheMiddleOfAnImage) {
  constexpr uint32_t kRowsSent = 32;
  constexpr uint32_t kRowsBeforeStop = 16;
  constexpr uint16_t kHelloModel = 4242;
  const Bytes image =
      ImageAnswer({kImageSide, kImageSide, 0, 7, PixelPattern(kImageSide, kImageSide), 0x01, 0, 0});
  const Bytes first_rows(
      image.begin(),
      image.begin() + static_cast<std::ptrdiff_t>(kImageHeaderSize + kRowsSent * kImageSide));
  PtyDevice device;
  device.Serve([&](const Bytes &frame) {
    const std::optional<Request> request = DecodeRequest(frame);
    if (!request || request->command == kGetImageCommand) return first_rows;
    return AnswerFrame(HelloData({kHelloModel, 1, 2, 3, 4, 5, 6}), 0x01);
  });
  server_ = std::make_unique<Ser2net>(dir_, device.slave_path(), "115200n81",
                                      std::vector<Accepter>{raw_, com_port_});
  server_->Start();
  const Accepter &accepter = std::string(GetParam().scheme) == "tcp" ? raw_ : com_port_;
  const std::string description = Description(GetParam().scheme, accepter);
  const PortHandle port = Open(accepter, description);
  ASSERT_NE(port, QX318_INVALID_PORT);

  Clock::time_point stopped_at{};
  uint32_t rows_seen = 0;
  std::vector<uint8_t> pixels(size_t{kImageSide} * kImageSide);
  ImageHeader header{1, 2, 3, 4};
  const int32_t result = tools::FetchImage(
      port, kAddress, &header, [&pixels](uint32_t, uint32_t) { return pixels.data(); },
      [&](uint32_t rows_done, uint32_t) {
        rows_seen = rows_done;
        if (rows_done == kRowsBeforeStop) {
          server_->Stop(GetParam().signal_number);
          stopped_at = Clock::now();
        }
      });
  const auto returned_at = Clock::now();
  EXPECT_EQ(result, 0);
  ASSERT_NE(stopped_at, Clock::time_point{})
      << "the image failed before the server stopped, after " << rows_seen << " rows";
  EXPECT_LE(rows_seen, kRowsSent);
  // A local port gives up 100 ms after its device falls silent; the end of
  // the connection is seen at once. A generous bound that proves no wait.
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(returned_at - stopped_at), milliseconds(1000));
  EXPECT_EQ(header.word4, 0);
  EXPECT_EQ(header.word3, 0);
  EXPECT_EQ(header.row_length, 0);
  EXPECT_EQ(header.row_count, 0);

  HelloAnswer hello{};
  const auto again = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(port, kAddress, &hello), 0);
  EXPECT_LT(Since(again), milliseconds(500));
  EXPECT_EQ(QX318_ClosePort(port), 1);

  server_->Start();
  const PortHandle fresh = Open(accepter, description);
  ASSERT_NE(fresh, QX318_INVALID_PORT);
  EXPECT_EQ(QX318_HelloCmd(fresh, kAddress, &hello), 1);
  EXPECT_EQ(hello.value1, kHelloModel);
  EXPECT_EQ(QX318_ClosePort(fresh), 1);
}

INSTANTIATE_TEST_SUITE_P(EachWay, Ser2netStopTest,
                         ::testing::Values(StopCase{"raw_killed", "tcp", SIGKILL},
                                           StopCase{"raw_terminated", "tcp", SIGTERM},
                                           StopCase{"rfc2217_killed", "rfc2217", SIGKILL},
                                           StopCase{"rfc2217_terminated", "rfc2217", SIGTERM}),
                         test::ParamName());

// The served device's own line, read on the pseudo-terminal's master while
// the client is connected.
struct ServedLine {
  uint32_t baud = 0;
  tcflag_t cflag = 0;
  tcflag_t iflag = 0;
};

ServedLine ReadServedLine(int master) {
  ServedLine line;
  termios tio{};
  if (tcgetattr(master, &tio) != 0) return line;
  line.baud = posix::NamedSpeedRate(cfgetospeed(&tio));
  if (line.baud == 0) line.baud = posix::ReadArbitrarySpeed(master);
  line.cflag = tio.c_cflag;
  line.iflag = tio.c_iflag;
  return line;
}

// ser2net starts the device at 9600 baud, two stop bits, XON/XOFF; an
// rfc2217:// open must leave it at the caller's rate, one stop bit, no flow
// control. (A pseudo-terminal always reads back 8 bits without parity, so
// data size and parity cannot show here.) A tcp:// open cannot reach the
// line, which keeps what the server set.
TEST_F(Ser2netTest, LineSettingsOfAnRfc2217OpenReachTheServedDevice) {
  PtyDevice device;
  server_ = std::make_unique<Ser2net>(dir_, device.slave_path(), "9600n82,XONXOFF",
                                      std::vector<Accepter>{raw_, com_port_});
  server_->Start();
  for (const uint32_t baud : {57600u, 250000u, 115200u}) {
    SCOPED_TRACE(baud);
    const PortHandle port = Open(com_port_, Description("rfc2217", com_port_), baud);
    if (port == QX318_INVALID_PORT) continue;
    const ServedLine line = ReadServedLine(device.master_fd());
    EXPECT_EQ(line.baud, baud);
    EXPECT_EQ(line.cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(QX318_ClosePort(port), 1);
  }

  const PortHandle port = Open(raw_, Description("tcp", raw_), 57600);
  ASSERT_NE(port, QX318_INVALID_PORT);
  const ServedLine line = ReadServedLine(device.master_fd());
  EXPECT_EQ(line.baud, 9600u);
  EXPECT_NE(line.cflag & CSTOPB, 0u);
  EXPECT_NE(line.iflag & IXON, 0u);
  EXPECT_EQ(QX318_ClosePort(port), 1);
}

}  // namespace
}  // namespace qx318::test
