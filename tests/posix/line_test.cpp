// Opening a pseudo-terminal through the POSIX converter: the line it leaves
// behind (raw 8N1, the caller's rate), exclusive access, and descriptions
// that name nothing or something that is no serial port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "QX318_RS485.h"
#include "port/posix/line_speed.h"
#include "pty_device.h"

namespace qx318::test {
namespace {

namespace fs = std::filesystem;

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

// A scratch folder holding one of each thing a path can name besides a
// serial port.
class NoPortsFolder {
 public:
  NoPortsFolder() {
    std::string pattern = (fs::temp_directory_path() / "qx318-no-ports-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    root_ = pattern;
    std::ofstream(root_ / "regular-file") << "not a port\n";
    std::ofstream(root_ / "read-only-file") << "not a port either\n";
    fs::permissions(root_ / "read-only-file", fs::perms::owner_read);
    fs::create_directory(root_ / "directory");
    ok_ = mkfifo((root_ / "pipe").c_str(), 0600) == 0 && BindSocket(root_ / "socket");
  }
  ~NoPortsFolder() {
    if (socket_ >= 0) close(socket_);
    if (!root_.empty()) fs::remove_all(root_);
  }
  NoPortsFolder(const NoPortsFolder &) = delete;
  NoPortsFolder &operator=(const NoPortsFolder &) = delete;

  bool ok() const { return ok_; }
  std::string operator/(const char *name) const { return (root_ / name).string(); }

 private:
  bool BindSocket(const fs::path &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof address.sun_path) return false;
    std::strcpy(address.sun_path, path.c_str());
    socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return socket_ >= 0 &&
           bind(socket_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
  }

  fs::path root_;
  int socket_ = -1;
  bool ok_ = false;
};

struct NoPortCase {
  const char *name;
  std::string description;
  int32_t reason;
  std::string detail_part;
};

TEST(PtyLine, DescriptionsThatNameNoSerialDeviceFail) {
  const NoPortsFolder folder;
  ASSERT_TRUE(folder.ok());
  const NoPortCase cases[] = {
      {"no USB product", "No Such Converter QX318 #4711", QX318_FAIL_NOT_FOUND,
       "\"No Such Converter QX318 #4711\""},
      {"missing path", "/dev/qx318-no-such-device", QX318_FAIL_NOT_FOUND,
       "/dev/qx318-no-such-device: no such device"},
      {"empty", "", QX318_FAIL_NOT_FOUND, "no converter \"\""},
      {"device that is no terminal", "/dev/null", QX318_FAIL_NOT_SERIAL,
       "/dev/null is not a serial device"},
      {"regular file", folder / "regular-file", QX318_FAIL_NOT_SERIAL,
       folder / "regular-file" + " is not a serial device but a regular file"},
      // Not "permission denied" (a normal user's open would fail so), which
      // would send the user after the file's rights.
      {"read-only file", folder / "read-only-file", QX318_FAIL_NOT_SERIAL,
       folder / "read-only-file" + " is not a serial device but a regular file"},
      {"directory", folder / "directory", QX318_FAIL_NOT_SERIAL,
       folder / "directory" + " is not a serial device but a directory"},
      {"named pipe", folder / "pipe", QX318_FAIL_NOT_SERIAL,
       folder / "pipe" + " is not a serial device but a pipe"},
      {"socket", folder / "socket", QX318_FAIL_NOT_SERIAL,
       folder / "socket" + " is not a serial device but a socket"},
  };
  for (const NoPortCase &c : cases) {
    SCOPED_TRACE(c.name);
    PortHandle port = QX318_INVALID_PORT;
    EXPECT_EQ(QX318_OpenPort(c.description.c_str(), 115200, &port), 0);
    EXPECT_EQ(port, QX318_INVALID_PORT) << "nothing may be stored on failure";
    EXPECT_EQ(QX318_GetLastFailure(), c.reason) << QX318_GetLastFailureDetail();
    EXPECT_NE(std::string(QX318_GetLastFailureDetail()).find(c.detail_part), std::string::npos)
        << QX318_GetLastFailureDetail();
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
