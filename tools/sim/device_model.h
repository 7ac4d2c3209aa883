// One simulated QX318 device: its parameters, flash memory, measurement,
// image and axis rotation. It is pure logic: it turns one request into at
// most one answer and never touches the bus, so the bus, the tests and the
// host tool's embedded simulation all share it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/wire_format.h"

namespace qx318::sim {

inline constexpr int kParameterCount = 256;
// A parameter nobody has written travels in two groups (14 bits).
inline constexpr uint8_t kDefaultParameterGroups = 2;
inline constexpr uint16_t kDeviceModel = 318;     // hello value1
inline constexpr uint8_t kFirmwareVersion = 12;   // hello value2: 1.2
inline constexpr uint32_t kSerialBase = 3180000;  // hello value3 = base + address
inline constexpr uint16_t kPixelBits = 7;         // image word W4
inline constexpr uint8_t kFrozenFlag = 0x40;      // bit 6 of the measurement lead byte

struct DeviceConfig {
  uint8_t address = 1;
  uint16_t image_rows = 120;
  uint16_t image_row_length = 160;
  uint16_t pair_count = 64;
};

struct ParameterSlot {
  uint16_t value = 0;
  // The group count of the last write: a read answers with as many groups.
  uint8_t groups = kDefaultParameterGroups;
  bool operator==(const ParameterSlot &) const = default;
};

// What the device keeps in flash, and what --state persists.
struct FlashContents {
  std::array<ParameterSlot, kParameterCount> parameters{};
  int32_t angle = 0;
  bool operator==(const FlashContents &) const = default;
};

// The contents of a device fresh from the factory: parameter n holds n.
FlashContents FactoryFlash();

struct Reply {
  std::optional<Answer> answer;  // none for commands without an answer
  std::string request_summary;   // "READ_PARAMETER param 5"
  std::string answer_summary;    // "300"
  bool flash_written = false;    // the bus persists the flash when set
};

// The 7-bit pixel of the test pattern at row, column of image number frame:
// a bright two-pixel border, a disc in the middle shaded top to bottom, and
// a horizontal ramp that moves with the frame number.
uint8_t TestPatternPixel(uint32_t row, uint32_t column, uint32_t rows, uint32_t row_length,
                         uint32_t frame);

class DeviceModel {
 public:
  DeviceModel(DeviceConfig config, uint64_t seed, Clock::time_point epoch);

  uint8_t address() const { return config_.address; }
  const DeviceConfig &config() const { return config_; }

  // Answers one request addressed to this device.
  Reply Handle(const Request &request, Clock::time_point now);

  const FlashContents &flash() const { return flash_; }
  // Puts contents into flash and, as at power-on, into the working set.
  void PowerOnWith(const FlashContents &contents);

  const ParameterSlot &parameter(uint8_t number) const { return working_.parameters[number]; }
  int32_t angle() const { return working_.angle; }
  bool frozen() const { return frozen_.has_value(); }

 private:
  struct Measurement {
    uint8_t lead = 0;
    std::vector<uint16_t> values;  // first, second, first, second, ...
  };

  Reply Hello();
  Reply ReadParameter(const Request &request);
  Reply WriteParameter(const Request &request);
  Reply ParamsFlash(const Request &request);
  Reply GetMeasure(Clock::time_point now);
  Reply GetImage();
  Reply LockResult(Clock::time_point now);
  Reply RotateAxis(Clock::time_point now);
  Reply GetAngle();
  Reply AngleFlash(const Request &request);

  Measurement LiveMeasurement(Clock::time_point now);
  const Measurement &CurrentMeasurement(Clock::time_point now);
  Reply AngleAnswer(std::string request_summary);

  DeviceConfig config_;
  std::mt19937_64 noise_;
  Clock::time_point epoch_;
  FlashContents flash_;
  FlashContents working_;
  std::optional<Measurement> frozen_;
  Measurement scratch_;
  uint32_t measurement_number_ = 0;
  uint32_t image_number_ = 0;
};

}  // namespace qx318::sim
