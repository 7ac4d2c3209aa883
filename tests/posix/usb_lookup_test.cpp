// Finding a serial device by its USB product description in a fake sysfs
// tree laid out as the kernel lays out the real one: /class/tty/<name> is a
// link into /devices, the tty's "device" link points at the usb-serial port
// (ttyUSB) or at the USB interface (ttyACM), and the USB device above the
// interface holds "product".
#include "port/posix/usb_lookup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace qx318::test {
namespace {

namespace fs = std::filesystem;

class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qx318-sysfs-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    outer_ = pattern;
    root_ = outer_ / "sys";
    fs::create_directories(root_ / "class" / "tty");
    // A product file above the root must never be found.
    WriteFile(outer_ / "product", "Outside The Root\n");
  }
  void TearDown() override { fs::remove_all(outer_); }

  static void WriteFile(const fs::path &file, const std::string &text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

  // Registers a tty whose own device directory is tty_dir and whose
  // "device" link points at device_dir, both under /devices.
  void AddTty(const std::string &name, const fs::path &tty_dir, const fs::path &device_dir) {
    const fs::path tty = root_ / "devices" / tty_dir;
    fs::create_directories(tty);
    fs::create_directories(root_ / "devices" / device_dir);
    fs::create_directory_symlink(root_ / "devices" / device_dir, tty / "device");
    fs::create_directory_symlink(tty, root_ / "class" / "tty" / name);
  }

  // A USB-serial converter: product on the USB device, the port below the
  // interface, the tty below the port.
  void AddUsbSerial(const std::string &name, const std::string &usb_device,
                    const std::optional<std::string> &product) {
    const fs::path usb = fs::path("pci0000:00/0000:00:14.0/usb1") / usb_device;
    const fs::path port = usb / (usb_device + ":1.0") / name;
    WriteFile(root_ / "devices" / usb / "idVendor", "0403\n");
    if (product) WriteFile(root_ / "devices" / usb / "product", *product + "\n");
    AddTty(name, port / "tty" / name, port);
  }

  // A CDC-ACM device: the tty's device link points at the interface itself.
  void AddAcm(const std::string &name, const std::string &usb_device, const std::string &product) {
    const fs::path usb = fs::path("pci0000:00/0000:00:14.0/usb1") / usb_device;
    const fs::path interface = usb / (usb_device + ":1.0");
    WriteFile(root_ / "devices" / usb / "idVendor", "1d6b\n");
    WriteFile(root_ / "devices" / usb / "product", product + "\n");
    AddTty(name, interface / "tty" / name, interface);
  }

  std::string Find(const std::string &description) const {
    return posix::FindTtyByProductDescription(root_.string(), description);
  }

  fs::path outer_;
  fs::path root_;
};

TEST_F(FakeSysfs, FindsTheDeviceWhoseProductMatches) {
  AddUsbSerial("ttyUSB0", "1-1", "Other Gadget");
  AddUsbSerial("ttyUSB1", "1-2", "QX318 Converter");
  AddAcm("ttyACM0", "1-3", "QX318 CDC Port");
  // A platform UART with a product file above it is not a USB serial device.
  WriteFile(root_ / "devices" / "platform" / "product", "Platform UART\n");
  AddTty("ttyS0", fs::path("platform/serial8250/tty/ttyS0"), fs::path("platform/serial8250"));

  const struct {
    const char *description;
    const char *expected;
  } cases[] = {
      {"QX318 Converter", "ttyUSB1"},
      {"QX318 CDC Port", "ttyACM0"},
      {"Other Gadget", "ttyUSB0"},
      {"Platform UART", ""},
      {"QX318", ""},  // a prefix is not a match
      {"qx318 converter", ""},
      {"QX318 Converter\n", ""},
      {"Outside The Root", ""},
      {"", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(Find(c.description), c.expected);
  }
}

TEST_F(FakeSysfs, FirstMatchInNameOrderWins) {
  AddUsbSerial("ttyUSB3", "1-4", "Twin");
  AddUsbSerial("ttyUSB1", "1-2", "Twin");
  AddAcm("ttyACM7", "1-5", "Twin");
  EXPECT_EQ(Find("Twin"), "ttyACM7");
}

TEST_F(FakeSysfs, DevicesWithoutAProductAreSkipped) {
  AddUsbSerial("ttyUSB0", "1-1", std::nullopt);
  AddUsbSerial("ttyUSB1", "1-2", "Real One");
  // A tty entry without a device link, like the virtual consoles.
  fs::create_directories(root_ / "devices" / "virtual" / "tty" / "ttyUSB9");
  fs::create_directory_symlink(root_ / "devices" / "virtual" / "tty" / "ttyUSB9",
                               root_ / "class" / "tty" / "ttyUSB9");
  EXPECT_EQ(Find("Real One"), "ttyUSB1");
  EXPECT_EQ(Find("Outside The Root"), "");
}

TEST_F(FakeSysfs, TheProductStringIsComparedExactly) {
  AddUsbSerial("ttyUSB0", "1-1", "Padded Name  ");
  EXPECT_EQ(Find("Padded Name  "), "ttyUSB0");
  EXPECT_EQ(Find("Padded Name"), "");
}

TEST_F(FakeSysfs, ADeviceWithoutAProductIsNotNamedAfterItsHub) {
  // The hub the converter hangs off has a product string of its own.
  const fs::path hub = root_ / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1";
  WriteFile(hub / "idVendor", "1d6b\n");
  WriteFile(hub / "product", "xHCI Host Controller\n");
  AddUsbSerial("ttyUSB0", "1-1", std::nullopt);
  EXPECT_EQ(Find("xHCI Host Controller"), "");
}

TEST_F(FakeSysfs, MissingTreeFindsNothing) {
  EXPECT_EQ(posix::FindTtyByProductDescription((outer_ / "absent").string(), "QX318"), "");
  EXPECT_EQ(Find("QX318"), "");  // the class folder exists but is empty
}

}  // namespace
}  // namespace qx318::test
