#include "port/posix/line_speed.h"

#include <array>
#include <utility>

namespace qx318::posix {
namespace {

constexpr std::array kNamedSpeeds = std::to_array<std::pair<uint32_t, speed_t>>({
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
});

}  // namespace

bool SetNamedSpeed(termios &tio, uint32_t baud) {
#ifdef CIBAUD
  // A separate input rate left from an earlier arbitrary rate would survive
  // cfsetispeed: clear it so that the input runs at the output rate.
  tio.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
#endif
  for (const auto &[rate, speed] : kNamedSpeeds) {
    if (rate == baud) return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0;
  }
  return false;
}

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool ApplySettingsAtRate(int fd, termios settings, uint32_t baud, const termios &previous) {
  const bool named = SetNamedSpeed(settings, baud);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return false;
  termios applied{};
  const bool rate_taken =
      named ? tcgetattr(fd, &applied) == 0 && cfgetospeed(&applied) == cfgetospeed(&settings)
            : SetArbitrarySpeed(fd, baud);
  if (!rate_taken) (void)tcsetattr(fd, TCSANOW, &previous);
  return rate_taken;
}

bool SetRate(int fd, uint32_t baud) {
  termios tio{};
  return tcgetattr(fd, &tio) == 0 && ApplySettingsAtRate(fd, tio, baud, tio);
}

uint32_t NamedSpeedRate(speed_t speed) {
  for (const auto &[rate, named] : kNamedSpeeds) {
    if (named == speed) return rate;
  }
  return 0;
}

}  // namespace qx318::posix
