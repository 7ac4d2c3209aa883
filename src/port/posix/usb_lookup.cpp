#include "port/posix/usb_lookup.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

namespace qx318::posix {
namespace {

namespace fs = std::filesystem;

bool IsUsbSerialName(const std::string &name) {
  return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

std::vector<std::string> UsbSerialNames(const fs::path &class_dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(class_dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (IsUsbSerialName(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The string as the kernel reports it, without the newline it appends; any
// other trailing character belongs to the product string.
std::string ReadFirstLine(const fs::path &file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The product string of the USB device a tty hangs off: the nearest
// directory above the tty's device that is a USB device (it has idVendor;
// the interface sits between them). A device without a product string has
// none: the hub above it is not asked.
std::optional<std::string> ProductOf(const fs::path &sysfs_root, const fs::path &tty_entry) {
  std::error_code ec;
  const fs::path root = fs::canonical(sysfs_root, ec);
  if (ec) return std::nullopt;
  fs::path dir = fs::canonical(tty_entry / "device", ec);
  if (ec) return std::nullopt;
  while (dir != root && dir.has_relative_path()) {
    if (fs::is_regular_file(dir / "idVendor", ec)) {
      if (!fs::is_regular_file(dir / "product", ec)) return std::nullopt;
      return ReadFirstLine(dir / "product");
    }
    dir = dir.parent_path();
  }
  return std::nullopt;
}

}  // namespace

std::string FindTtyByProductDescription(const std::string &sysfs_root,
                                        const std::string &description) {
  const fs::path class_dir = fs::path(sysfs_root) / "class" / "tty";
  for (const std::string &name : UsbSerialNames(class_dir)) {
    if (ProductOf(sysfs_root, class_dir / name) == description) return name;
  }
  return {};
}

}  // namespace qx318::posix
