// Systems without termios2 tell only the rates termios names; where speed_t
// is the rate itself (the BSDs, macOS) any rate reads back as it is.
#include <termios.h>

#include <cstdint>
#include <utility>

#include "sim/host_line_rate.h"

namespace qx318::sim {
namespace {

constexpr std::pair<speed_t, uint32_t> kNamedRates[] = {
    {B110, 110},     {B300, 300},     {B600, 600},       {B1200, 1200},
    {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

}  // namespace

uint32_t TerminalLineRate(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return 0;
  const speed_t speed = cfgetospeed(&tio);
  for (const auto &[name, rate] : kNamedRates) {
    if (name == speed) return rate;
  }
  if constexpr (B9600 == 9600) return static_cast<uint32_t>(speed);
  return 0;
}

}  // namespace qx318::sim
