#include "sim/device_model.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "tool_support.h"

namespace qx318::sim {
namespace {

constexpr unsigned kAngleGroups = 5;
constexpr uint8_t kFlashRefused = 0x00;
constexpr uint8_t kLeadCounterMask = 0x3F;

void AppendGroups(std::vector<uint8_t> &out, uint32_t value, unsigned count) {
  for (unsigned i = 0; i < count; ++i) out.push_back(Group(value, i));
}

uint16_t Clamp14(double value) {
  return static_cast<uint16_t>(
      std::clamp(std::lround(value), 0L, static_cast<long>(kMax14BitValue)));
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string FlashActionName(uint8_t action) {
  if (action == FLASH_SAVE) return "save";
  if (action == FLASH_RESTORE) return "restore";
  return fmt::format("action 0x{:02X}", action);
}

// Milli-degrees of the straight line that fits the pairs best: the tilt of
// the profile against the X axis.
int32_t FittedAngle(const std::vector<uint16_t> &values) {
  const size_t n = values.size() / 2;
  if (n < 2) return 0;
  double sx = 0, sz = 0, sxx = 0, sxz = 0;
  for (size_t k = 0; k < n; ++k) {
    const double x = values[2 * k];
    const double z = values[2 * k + 1];
    sx += x;
    sz += z;
    sxx += x * x;
    sxz += x * z;
  }
  const double denominator = static_cast<double>(n) * sxx - sx * sx;
  if (denominator == 0) return 0;
  const double slope = (static_cast<double>(n) * sxz - sx * sz) / denominator;
  return static_cast<int32_t>(std::lround(std::atan(slope) * 180.0 / std::numbers::pi * 1000.0));
}

}  // namespace

FlashContents FactoryFlash() {
  FlashContents contents;
  for (int n = 0; n < kParameterCount; ++n) {
    contents.parameters[static_cast<size_t>(n)].value = static_cast<uint16_t>(n);
  }
  return contents;
}

uint8_t TestPatternPixel(uint32_t row, uint32_t column, uint32_t rows, uint32_t row_length,
                         uint32_t frame) {
  constexpr uint32_t kBorder = 2;
  constexpr uint32_t kWhite = 127;
  if (row < kBorder || column < kBorder || row + kBorder >= rows ||
      column + kBorder >= row_length) {
    return kWhite;
  }
  const int64_t dx = static_cast<int64_t>(column) - row_length / 2;
  const int64_t dy = static_cast<int64_t>(row) - rows / 2;
  const int64_t radius = std::min(rows, row_length) / 4;
  if (dx * dx + dy * dy < radius * radius) {
    return static_cast<uint8_t>(kWhite - row * kWhite / rows);
  }
  return static_cast<uint8_t>((column * 128 / row_length + frame * 8) % 128);
}

DeviceModel::DeviceModel(DeviceConfig config, uint64_t seed, Clock::time_point epoch)
    : config_(config),
      noise_(seed ^ (uint64_t{config.address} << 32)),
      epoch_(epoch),
      flash_(FactoryFlash()),
      working_(flash_) {}

void DeviceModel::PowerOnWith(const FlashContents &contents) {
  flash_ = contents;
  working_ = contents;
}

Reply DeviceModel::Handle(const Request &request, Clock::time_point now) {
  switch (request.command) {
    case CMD_HELLO:
      return Hello();
    case CMD_READ_PARAMETER:
      return ReadParameter(request);
    case CMD_WRITE_PARAMETER:
      return WriteParameter(request);
    case CMD_PARAMS_FLASH:
      return ParamsFlash(request);
    case CMD_GET_MEASURE:
      return GetMeasure(now);
    case CMD_GET_IMAGE:
      return GetImage();
    case CMD_LOCK_RESULT:
      return LockResult(now);
    case CMD_ROTATE_AXIS_XY:
      return RotateAxis(now);
    case CMD_GET_ROTATE_ANGLE:
      return GetAngle();
    case CMD_ANGLE_FLASH:
      return AngleFlash(request);
    default:
      return Reply{std::nullopt, CommandName(request.command) + " (unknown, ignored)", {}, false};
  }
}

Reply DeviceModel::Hello() {
  std::vector<uint8_t> data;
  AppendGroups(data, kDeviceModel, 2);
  AppendGroups(data, kFirmwareVersion, 1);
  AppendGroups(data, kSerialBase + config_.address, 4);
  AppendGroups(data, config_.image_rows, 2);
  AppendGroups(data, config_.image_row_length, 2);
  AppendGroups(data, config_.pair_count, 2);
  AppendGroups(data, config_.address, 2);
  return Reply{FrameAnswer(std::move(data)), "HELLO",
               fmt::format("model {} firmware {} serial {}", kDeviceModel, kFirmwareVersion,
                           kSerialBase + config_.address),
               false};
}

Reply DeviceModel::ReadParameter(const Request &request) {
  if (request.data.size() != 1) {
    return Reply{std::nullopt, "READ_PARAMETER with a malformed request (ignored)", {}, false};
  }
  const uint8_t number = request.data[0];
  const ParameterSlot &slot = working_.parameters[number];
  std::vector<uint8_t> data;
  AppendGroups(data, slot.value, slot.groups);
  return Reply{FrameAnswer(std::move(data)), fmt::format("READ_PARAMETER param {}", number),
               fmt::format("{} ({} groups)", slot.value, slot.groups), false};
}

Reply DeviceModel::WriteParameter(const Request &request) {
  if (request.data.empty()) {
    return Reply{std::nullopt, "WRITE_PARAMETER without a parameter number (ignored)", {}, false};
  }
  const uint8_t number = request.data[0];
  const auto groups = static_cast<uint8_t>(request.data.size() - 1);
  const uint32_t decoded =
      DecodeGroups(request.data.data() + 1, std::min<uint32_t>(groups, kGroupsIn32Bits));
  ParameterSlot &slot = working_.parameters[number];
  slot.value = static_cast<uint16_t>(decoded);
  slot.groups = groups;
  return Reply{std::nullopt,
               fmt::format("WRITE_PARAMETER param {} = {} ({} groups)", number, slot.value, groups),
               {},
               false};
}

Reply DeviceModel::ParamsFlash(const Request &request) {
  if (request.data.empty()) {
    return Reply{std::nullopt, "PARAMS_FLASH without an action (ignored)", {}, false};
  }
  const uint8_t action = request.data[0];
  Reply reply{FrameAnswer({action}), "PARAMS_FLASH " + FlashActionName(action), "done", false};
  if (action == FLASH_SAVE) {
    flash_.parameters = working_.parameters;
    reply.flash_written = true;
  } else if (action == FLASH_RESTORE) {
    working_.parameters = flash_.parameters;
  } else {
    reply.answer = FrameAnswer({kFlashRefused});
    reply.answer_summary = "refused";
  }
  return reply;
}

DeviceModel::Measurement DeviceModel::LiveMeasurement(Clock::time_point now) {
  // A profile across the field of view: a tilted line that rocks slowly, a
  // bump that wanders along it, and sensor noise.
  const double t = Seconds(now - epoch_);
  const double tilt = 0.08 + 0.12 * std::sin(2 * std::numbers::pi * t / 20.0);
  const double bump_at = 8192 + 5000 * std::sin(2 * std::numbers::pi * t / 7.0);
  std::normal_distribution<double> noise(0.0, 20.0);

  Measurement m;
  m.lead = static_cast<uint8_t>(++measurement_number_ & kLeadCounterMask);
  const uint32_t pairs = config_.pair_count;
  m.values.reserve(2 * size_t{pairs});
  for (uint32_t k = 0; k < pairs; ++k) {
    const double x = pairs > 1 ? k * static_cast<double>(kMax14BitValue) / (pairs - 1) : 8191.0;
    const double offset = (x - bump_at) / 1200.0;
    const double z = 8000 + tilt * (x - 8192) + 2500 * std::exp(-offset * offset) + noise(noise_);
    m.values.push_back(Clamp14(x));
    m.values.push_back(Clamp14(z));
  }
  return m;
}

const DeviceModel::Measurement &DeviceModel::CurrentMeasurement(Clock::time_point now) {
  if (frozen_) return *frozen_;
  scratch_ = LiveMeasurement(now);
  return scratch_;
}

Reply DeviceModel::GetMeasure(Clock::time_point now) {
  const Measurement &m = CurrentMeasurement(now);
  std::vector<uint8_t> data;
  data.reserve(3 + 2 * m.values.size());
  AppendGroups(data, m.lead, 1);
  AppendGroups(data, static_cast<uint32_t>(m.values.size() / 2), 2);
  for (const uint16_t v : m.values) AppendGroups(data, v, 2);
  return Reply{FrameAnswer(std::move(data)), "GET_MEASURE",
               fmt::format("lead {} pairs {}{}", m.lead & kLeadCounterMask, m.values.size() / 2,
                           frozen_ ? " (frozen)" : ""),
               false};
}

Reply DeviceModel::LockResult(Clock::time_point now) {
  if (frozen_) {
    frozen_.reset();
    return Reply{std::nullopt, "LOCK_RESULT (measurement live again)", {}, false};
  }
  Measurement m = LiveMeasurement(now);
  m.lead = static_cast<uint8_t>(m.lead | kFrozenFlag);
  frozen_ = std::move(m);
  return Reply{std::nullopt, "LOCK_RESULT (measurement frozen)", {}, false};
}

Reply DeviceModel::GetImage() {
  const uint32_t rows = config_.image_rows;
  const uint32_t length = config_.image_row_length;
  const uint32_t frame = image_number_++ & kMax14BitValue;
  std::vector<uint8_t> pixels(size_t{rows} * length);
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t c = 0; c < length; ++c) {
      pixels[size_t{r} * length + c] = TestPatternPixel(r, c, rows, length, frame);
    }
  }
  return Reply{ImageAnswer(static_cast<uint16_t>(rows), static_cast<uint16_t>(length),
                           static_cast<uint16_t>(frame), kPixelBits, std::move(pixels)),
               "GET_IMAGE", fmt::format("{} x {} pixels, frame {}", rows, length, frame), false};
}

Reply DeviceModel::AngleAnswer(std::string request_summary) {
  std::vector<uint8_t> data;
  AppendGroups(data, static_cast<uint32_t>(working_.angle), kAngleGroups);
  return Reply{FrameAnswer(std::move(data)), std::move(request_summary),
               fmt::format("{}", working_.angle), false};
}

Reply DeviceModel::RotateAxis(Clock::time_point now) {
  working_.angle = FittedAngle(CurrentMeasurement(now).values);
  return AngleAnswer("ROTATE_AXIS_XY");
}

Reply DeviceModel::GetAngle() { return AngleAnswer("GET_ROTATE_ANGLE"); }

Reply DeviceModel::AngleFlash(const Request &request) {
  if (request.data.empty()) {
    return Reply{std::nullopt, "ANGLE_FLASH without an action (ignored)", {}, false};
  }
  const uint8_t action = request.data[0];
  Reply reply{FrameAnswer({action}), "ANGLE_FLASH " + FlashActionName(action), "done", false};
  if (action == FLASH_SAVE) {
    flash_.angle = working_.angle;
    reply.flash_written = true;
  } else if (action == FLASH_RESTORE) {
    working_.angle = flash_.angle;
  } else {
    reply.answer = FrameAnswer({kFlashRefused});
    reply.answer_summary = "refused";
  }
  return reply;
}

}  // namespace qx318::sim
