// The line's settings: raw 8N1, and line speeds, the rates termios names and
// other rates where the kernel takes them (Linux termios2 with BOTHER, kept
// in a file of its own because its kernel headers clash with <termios.h>).
// The converter and the simulator's serial endpoint both set their line here.
#pragma once

#include <termios.h>

#include <cstdint>

namespace qx318::posix {

// Raw 8N1 on fd: no flow control, no echo, no line processing; reads are
// paced by poll, so VMIN and VTIME are 0. The rate stays as it was.
bool MakeRaw(int fd);

// Applies settings to fd at baud: a rate termios names goes in with them,
// any other through termios2 afterwards. tcsetattr succeeds when any part of
// a change took and drivers round or refuse rates silently, so the rate is
// read back; when it did not take, fd gets previous back. False when the
// settings or the rate were not taken.
bool ApplySettingsAtRate(int fd, termios settings, uint32_t baud, const termios &previous);

// Sets only the rate of fd, as ApplySettingsAtRate does; any other setting
// stays as it was.
bool SetRate(int fd, uint32_t baud);

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
