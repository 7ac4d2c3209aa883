// Opening a pseudo-terminal through the POSIX converter: the line it leaves
// behind (raw 8N1, the caller's rate), exclusive access, and descriptions
// that name nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

#include <string>

#include "QX318_RS485.h"
#include "port/posix/line_speed.h"
#include "pty_device.h"

namespace qx318::test {
namespace {

// Opens and closes port handles for a test, closing whatever is left open.
class OpenPorts {
 public:
  ~OpenPorts() {
    for (PortHandle port : ports_) QX318_ClosePort(port);
  }
  int32_t Open(const std::string &description, uint32_t baud) {
    PortHandle port = nullptr;
    const int32_t result = QX318_OpenPort(description.c_str(), baud, &port);
    if (result == 1) ports_.push_back(port);
    return result;
  }
  void CloseAll() {
    for (PortHandle port : ports_) EXPECT_EQ(QX318_ClosePort(port), 1);
    ports_.clear();
  }

 private:
  std::vector<PortHandle> ports_;
};

// The slave's line settings, read through the master.
termios SlaveSettings(const PtyDevice &device) {
  termios tio{};
  EXPECT_EQ(tcgetattr(device.master_fd(), &tio), 0);
  return tio;
}

struct FlagCheck {
  const char *name;
  tcflag_t termios::*field;
  tcflag_t bits;
  bool set;
};

TEST(PtyLine, OpenLeavesTheLineRaw8N1WithoutFlowControl) {
  PtyDevice device;  // its slave starts cooked: echo, canonical, XON/XOFF, 7E1
  OpenPorts ports;
  ASSERT_EQ(ports.Open(device.slave_path(), 115200), 1);
  const termios tio = SlaveSettings(device);

  const FlagCheck checks[] = {
      {"canonical input", &termios::c_lflag, ICANON, false},
      {"echo", &termios::c_lflag, ECHO | ECHONL, false},
      {"signals", &termios::c_lflag, ISIG, false},
      {"extended input processing", &termios::c_lflag, IEXTEN, false},
      {"CR/NL translation", &termios::c_iflag, ICRNL | INLCR | IGNCR, false},
      {"bit 7 stripping", &termios::c_iflag, ISTRIP, false},
      {"XON/XOFF", &termios::c_iflag, IXON | IXOFF | IXANY, false},
      {"break and parity marking", &termios::c_iflag, BRKINT | PARMRK, false},
      {"output processing", &termios::c_oflag, OPOST, false},
      {"parity", &termios::c_cflag, PARENB, false},
      {"two stop bits", &termios::c_cflag, CSTOPB, false},
      {"hardware flow control", &termios::c_cflag, CRTSCTS, false},
      {"receiver on", &termios::c_cflag, CREAD, true},
      {"modem lines ignored", &termios::c_cflag, CLOCAL, true},
  };
  for (const FlagCheck &check : checks) {
    SCOPED_TRACE(check.name);
    const tcflag_t bits = tio.*check.field & check.bits;
    EXPECT_EQ(bits, check.set ? check.bits : 0);
  }
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

struct Rate {
  uint32_t baud;
  bool named;  // termios has a constant for it
};

void PrintTo(const Rate &rate, std::ostream *out) { *out << rate.baud; }

class PtyBaudRate : public ::testing::TestWithParam<Rate> {};

TEST_P(PtyBaudRate, OpensAtTheCallersRate) {
  const Rate rate = GetParam();
  PtyDevice device;
  OpenPorts ports;
  ASSERT_EQ(ports.Open(device.slave_path(), rate.baud), 1);
  const termios tio = SlaveSettings(device);
  if (rate.named) {
    EXPECT_EQ(posix::NamedSpeedRate(cfgetospeed(&tio)), rate.baud);
  }
#ifdef __linux__
  EXPECT_EQ(posix::ReadArbitrarySpeed(device.master_fd()), rate.baud);
#endif
}

std::vector<Rate> Rates() {
  std::vector<Rate> rates{{9600, true}, {19200, true}, {115200, true}, {230400, true}};
#ifdef __linux__
  // Linux sets any other rate through termios2.
  rates.insert(rates.end(), {{921600, true}, {250000, false}, {31250, false}, {1234567, false}});
#endif
  return rates;
}

INSTANTIATE_TEST_SUITE_P(Pty, PtyBaudRate, ::testing::ValuesIn(Rates()),
                         [](const auto &test) { return std::to_string(test.param.baud); });

#ifdef __linux__
TEST(PtyLine, ANamedRateAfterAnArbitraryOneSetsTheInputRateToo) {
  PtyDevice device;
  {
    OpenPorts ports;
    ASSERT_EQ(ports.Open(device.slave_path(), 250000), 1);
  }
  OpenPorts ports;
  ASSERT_EQ(ports.Open(device.slave_path(), 115200), 1);
  EXPECT_EQ(posix::ReadArbitrarySpeed(device.master_fd()), 115200u);
  EXPECT_EQ(posix::ReadInputSpeed(device.master_fd()), 115200u);
}
#endif

TEST(PtyLine, BaudRateZeroFailsAndLeavesThePortFree) {
  PtyDevice device;
  OpenPorts ports;
  EXPECT_EQ(ports.Open(device.slave_path(), 0), 0);
  EXPECT_EQ(ports.Open(device.slave_path(), 9600), 1) << "the failed open left the port open";
}

TEST(PtyLine, DescriptionsThatNameNoSerialDeviceFail) {
  const char *descriptions[] = {
      "No Such Converter QX318 #4711",  // not a path, matches no USB product
      "/dev/qx318-no-such-device",      // a path that does not exist
      "/dev/null",                      // exists, but is not a terminal
      "",
  };
  for (const char *description : descriptions) {
    SCOPED_TRACE(description);
    PortHandle port = QX318_INVALID_PORT;
    EXPECT_EQ(QX318_OpenPort(description, 115200, &port), 0);
    EXPECT_EQ(port, QX318_INVALID_PORT) << "nothing may be stored on failure";
  }
}

// Child-process results of OpenWithoutAdminRights.
enum ChildResult { kRefused = 0, kOpened = 1, kCannotDrop = 2 };

#ifdef __linux__
// Drops CAP_SYS_ADMIN, which lets root open an exclusive terminal anyway.
bool DropSysAdmin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
  return syscall(SYS_capset, &header, data) == 0;
}
#else
bool DropSysAdmin() { return geteuid() != 0; }
#endif

// Tries QX318_OpenPort in a child process that lacks the right to override
// exclusive access, as any normal user does.
ChildResult OpenWithoutAdminRights(const std::string &path) {
  const pid_t child = fork();
  if (child == 0) {
    if (!DropSysAdmin()) _exit(kCannotDrop);
    PortHandle port = nullptr;
    const int32_t opened = QX318_OpenPort(path.c_str(), 115200, &port);
    if (opened == 1) QX318_ClosePort(port);
    _exit(opened == 1 ? kOpened : kRefused);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return kCannotDrop;
  return static_cast<ChildResult>(WEXITSTATUS(status));
}

TEST(PtyLine, AnOpenPortIsExclusive) {
  PtyDevice device;
  OpenPorts ports;
  ASSERT_EQ(OpenWithoutAdminRights(device.slave_path()), kOpened) << "the port starts free";
  ASSERT_EQ(ports.Open(device.slave_path(), 115200), 1);
  EXPECT_EQ(OpenWithoutAdminRights(device.slave_path()), kRefused);
  EXPECT_EQ(ports.Open(device.slave_path(), 115200), 0) << "admin rights do not share the port";
  ports.CloseAll();
  EXPECT_EQ(OpenWithoutAdminRights(device.slave_path()), kOpened) << "closing freed the port";
  EXPECT_EQ(ports.Open(device.slave_path(), 115200), 1);
}

int OpenDescriptorCount() {
  int count = 0;
  for (int fd = 0; fd < 4096; ++fd) count += fcntl(fd, F_GETFD) != -1;
  return count;
}

TEST(PtyLine, OpenAndCloseLeaveNoDescriptorBehind) {
  PtyDevice device;
  const int before = OpenDescriptorCount();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    PortHandle port = nullptr;
    ASSERT_EQ(QX318_OpenPort(device.slave_path().c_str(), 115200, &port), 1);
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_EQ(QX318_ClosePort(port), 1);
    EXPECT_EQ(OpenDescriptorCount(), before);
  }
  PortHandle port = nullptr;
  EXPECT_EQ(QX318_OpenPort(device.slave_path().c_str(), 0, &port), 0);
  EXPECT_EQ(OpenDescriptorCount(), before) << "a failed open must close what it opened";
}

}  // namespace
}  // namespace qx318::test
