// Line speeds: the rates termios names, and other rates where the kernel
// takes them (Linux termios2 with BOTHER, kept in a file of its own because
// its kernel headers clash with <termios.h>).
#pragma once

#include <termios.h>

#include <cstdint>

namespace qx318::posix {

// Puts baud into tio when termios has a constant for it; false otherwise.
bool SetNamedSpeed(termios &tio, uint32_t baud);

// The rate of a termios speed constant, or 0 when it names no rate.
uint32_t NamedSpeedRate(speed_t speed);

// Sets an arbitrary rate on fd after its other settings have been applied.
// False where the platform has no way to, or the device refuses the rate.
bool SetArbitrarySpeed(int fd, uint32_t baud);

// The output rate fd runs at, as the kernel reports it; 0 when unknown.
uint32_t ReadArbitrarySpeed(int fd);

// The input rate fd runs at, as the kernel reports it; 0 when unknown.
uint32_t ReadInputSpeed(int fd);

}  // namespace qx318::posix
