// A serial device driven through termios: a path ("/dev/ttyUSB0", a
// pseudo-terminal's slave) or the USB product description of a
// ttyUSB/ttyACM device listed in sysfs.
#pragma once

#include <memory>

#include "port/posix/transport.h"

namespace qx318::posix {

// Opens the device a description names, exclusively and in raw mode; null,
// with the failure recorded, when it cannot.
std::unique_ptr<Transport> OpenSerialTransport(const char *description);

}  // namespace qx318::posix
