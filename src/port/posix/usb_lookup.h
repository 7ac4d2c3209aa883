// Finding a USB serial device by its USB product description, the name the
// converter is known by on Windows.
#pragma once

#include <string>

namespace qx318::posix {

// The kernel name ("ttyUSB0") of the first serial device, in name order,
// among the ttyUSB* and ttyACM* entries under <sysfs_root>/class/tty whose
// USB device reports exactly description as its product string. Empty when
// none does. sysfs_root is "/sys" on a live system.
std::string FindTtyByProductDescription(const std::string &sysfs_root,
                                        const std::string &description);

}  // namespace qx318::posix
