// The demo: a simulated bus in this process on a pseudo-terminal, driven
// through the real library and the real POSIX converter, one step of each
// kind, each printed as it happens.
#include "host/demo.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "QX318_RS485.h"
#include "host/commands.h"
#include "host/image_file.h"
#include "sim/in_process_bus.h"
#include "tool_support.h"

namespace qx318::host {
namespace {

constexpr int kFirstDevice = 1;
constexpr int kSecondDevice = 2;
constexpr int kScanLast = 3;
constexpr ParameterCode kDemoCode = 0x0205;  // parameter 5 in two groups
constexpr uint16_t kSavedValue = 300;
constexpr uint16_t kScratchValue = 777;
constexpr const char *kImageFile = "qx318-demo.png";

class Demo {
 public:
  Demo(PortHandle port, bool progress) : port_(port), progress_(progress) {}

  bool Run() {
    return Scan() && Hello() && Parameters() && Measure() && Lock() && Image() && Rotation() &&
           RestoreAngle();
  }

 private:
  static bool Step(bool ok, const std::string &done, const std::string &failed) {
    if (ok) {
      fmt::print("  ok  {}\n", done);
    } else {
      fmt::print(stderr, "qx318 demo: FAILED: {}\n", failed);
    }
    std::fflush(stdout);
    return ok;
  }

  bool Scan() {
    fmt::print("Scanning addresses 0-{} (a silent address costs the 1.1 s answer time-out)\n",
               kScanLast);
    std::vector<int> found;
    for (int address = 0; address <= kScanLast; ++address) {
      HelloAnswer answer{};
      if (QX318_HelloCmd(port_, address, &answer) == 1) found.push_back(address);
    }
    return Step(found == std::vector<int>{kFirstDevice, kSecondDevice},
                fmt::format("devices answer at addresses {}", fmt::join(found, ", ")),
                "the scan did not find the two simulated devices");
  }

  bool Hello() {
    HelloAnswer a{};
    const bool ok = QX318_HelloCmd(port_, kFirstDevice, &a) == 1;
    return Step(ok,
                fmt::format("hello from address {}: model {}, firmware {}, serial {}", kFirstDevice,
                            a.value1, a.value2, a.value3),
                "hello");
  }

  bool ReadsBack(uint16_t expected, const std::string &what) {
    uint16_t value = 0;
    const bool ok =
        QX318_ReadParameter(port_, kFirstDevice, kDemoCode, &value) == 1 && value == expected;
    return Step(ok, fmt::format("{}: parameter 5 reads {}", what, value),
                fmt::format("{}: parameter 5 read {} instead of {}", what, value, expected));
  }

  bool Parameters() {
    return Step(QX318_WriteParameter(port_, kFirstDevice, kDemoCode, kSavedValue) == 1,
                fmt::format("wrote {} to parameter 5 (code 0x{:04X})", kSavedValue, kDemoCode),
                "write parameter") &&
           ReadsBack(kSavedValue, "read back") &&
           Step(QX318_FlushParamsToFlash(port_, kFirstDevice) == 1, "saved parameters to flash",
                "save parameters") &&
           Step(QX318_WriteParameter(port_, kFirstDevice, kDemoCode, kScratchValue) == 1,
                fmt::format("overwrote parameter 5 with {}", kScratchValue), "write parameter") &&
           ReadsBack(kScratchValue, "after overwriting") &&
           Step(QX318_RestoreParamsFromFlash(port_, kFirstDevice) == 1,
                "restored parameters from flash", "restore parameters") &&
           ReadsBack(kSavedValue, "after restoring");
  }

  bool Measure() {
    MeasureHeader header{};
    std::vector<uint16_t> values(2 * kMax14BitValue);
    const bool ok = QX318_GetMeasureEx(port_, kFirstDevice, &header, values.data(),
                                       static_cast<uint32_t>(values.size())) == 1 &&
                    header.pair_count >= 2;
    return Step(ok,
                fmt::format("measurement: {} pairs, first ({}, {}), second ({}, {})",
                            header.pair_count, values[0], values[1], values[2], values[3]),
                "measurement");
  }

  bool Measurement(MeasureHeader *header, std::vector<uint16_t> *values) {
    values->assign(2 * kMax14BitValue, 0);
    return QX318_GetMeasureEx(port_, kFirstDevice, header, values->data(),
                              static_cast<uint32_t>(values->size())) == 1;
  }

  // The first lock freezes the result, two readings are then equal and
  // flagged; the second lock lets the profile move again.
  bool Lock() {
    if (!Step(QX318_LockResult(port_, kFirstDevice) == 1, "locked the result", "lock result")) {
      return false;
    }
    MeasureHeader first{};
    MeasureHeader second{};
    std::vector<uint16_t> first_values;
    std::vector<uint16_t> second_values;
    const bool frozen = Measurement(&first, &first_values) &&
                        Measurement(&second, &second_values) &&
                        (first.lead_byte & sim::kFrozenFlag) != 0 && first_values == second_values;
    return Step(frozen, "locked: two measurements are equal and carry the frozen flag",
                "locked measurements differ or lack the frozen flag") &&
           Step(QX318_LockResult(port_, kFirstDevice) == 1, "locked again to release the result",
                "lock result");
  }

  bool Image() {
    ImageHeader header{};
    std::vector<uint8_t> pixels;
    const auto buffer_for = [&pixels](uint32_t rows, uint32_t length) {
      pixels.assign(std::max<size_t>(size_t{rows} * length, 1), 0);
      return pixels.data();
    };
    const auto show_rows = [](uint32_t done, uint32_t total) {
      fmt::print(stderr, "\r      image rows {}/{}", done, total);
      std::fflush(stderr);
    };
    const bool fetched =
        tools::FetchImage(port_, kFirstDevice, &header, buffer_for,
                          progress_ ? tools::RowProgress(show_rows) : tools::RowProgress()) == 1;
    if (progress_) fmt::print(stderr, "\r\033[K");
    std::string error;
    const bool ok = fetched && WriteImageFile(kImageFile, ImageFormat::kPng, pixels.data(),
                                              header.row_count, header.row_length, &error);
    return Step(ok,
                fmt::format("image {} x {} (frame {}) saved as {}", header.row_count,
                            header.row_length, header.word3, kImageFile),
                fetched ? "writing the image: " + error : "image transfer");
  }

  bool Rotation() {
    // Each call runs before the text that shows its result is formatted.
    int32_t rotated = 0;
    const bool rotated_ok = QX318_RotateAxisXY(port_, kFirstDevice, &rotated) == 1;
    if (!Step(
            rotated_ok,
            fmt::format("rotated the XY axes: angle {} (milli-degrees in the simulation)", rotated),
            "rotate axis")) {
      return false;
    }
    int32_t read = 0;
    const bool read_ok = QX318_GetRotateAngle(port_, kFirstDevice, &read) == 1 && read == rotated;
    saved_angle_ = read;
    return Step(read_ok, fmt::format("read the angle back: {}", read), "read the angle") &&
           Step(QX318_FlushAngleToFlash(port_, kFirstDevice) == 1, "saved the angle to flash",
                "save the angle");
  }

  bool RestoreAngle() {
    if (!Step(QX318_RestoreAngleFromFlash(port_, kFirstDevice) == 1,
              "restored the angle from flash", "restore the angle")) {
      return false;
    }
    int32_t read = 0;
    const bool ok = QX318_GetRotateAngle(port_, kFirstDevice, &read) == 1 && read == saved_angle_;
    return Step(ok, fmt::format("angle after restoring: {}, the saved one", read),
                fmt::format("angle after restoring is {}, saved was {}", read, saved_angle_));
  }

  PortHandle port_;
  bool progress_;
  int32_t saved_angle_ = 0;
};

}  // namespace

int RunDemo(uint32_t baud, bool progress) {
  sim::BusOptions options;
  options.devices.clear();
  for (const int address : {kFirstDevice, kSecondDevice}) {
    sim::DeviceConfig config;
    config.address = static_cast<uint8_t>(address);
    config.image_rows = 96;
    config.image_row_length = 128;
    config.pair_count = 32;
    options.devices.push_back(config);
  }
  options.wire.baud = baud;  // the image arrives at the speed of a real line
  sim::InProcessBus bus(std::move(options));
  if (!bus.ok()) {
    fmt::print(stderr, "qx318 demo: cannot start the simulated bus: {}\n", bus.error());
    return kExitDevice;
  }
  fmt::print("Simulated bus with devices at addresses {} and {} on {}, {} baud\n", kFirstDevice,
             kSecondDevice, bus.port_path(), baud);
  const Target target{bus.port_path(), baud, kFirstDevice};
  return RunOnPort("demo", target, OutputStyle{false, false, progress}, [](const Call &call) {
    if (!Demo(call.port(), call.style().progress).Run()) return kExitDevice;
    fmt::print("Demo finished: every library function ran against the simulated bus.\n");
    return kExitOk;
  });
}

}  // namespace qx318::host
