#include "workload.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "sim/device_model.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kAddress = 1;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string Detail() {
  return std::to_string(QX318_GetLastFailure()) + " " + QX318_GetLastFailureDetail();
}

}  // namespace

void OperationStats::Add(double ms_taken, bool ok, bool right) {
  ++calls;
  ms.push_back(ms_taken);
  if (!ok) {
    ++failures;
    ++reasons[QX318_GetLastFailure()];
    if (first_problem.empty()) first_problem = "failed: " + Detail();
  } else if (!right) {
    ++wrong;
    if (first_problem.empty()) first_problem = "succeeded with wrong values";
  }
}

double OperationStats::Percentile(double p) const {
  if (ms.empty()) return 0;
  std::vector<double> sorted = ms;
  std::sort(sorted.begin(), sorted.end());
  const auto at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

std::string OperationStats::Reasons() const {
  if (reasons.empty()) return "-";
  std::string text;
  for (const auto &[code, count] : reasons) {
    if (!text.empty()) text += " ";
    text += std::to_string(code) + "x" + std::to_string(count);
  }
  return text;
}

bool HelloIsRight(const HelloAnswer &hello, const DeviceShape &shape) {
  return hello.value1 == sim::kDeviceModel && hello.value2 == sim::kFirmwareVersion &&
         hello.value3 == sim::kSerialBase + kAddress && hello.value4 == shape.rows &&
         hello.value5 == shape.row_length && hello.value6 == shape.pairs &&
         hello.value7 == kAddress;
}

bool ImageIsRight(const ImageHeader &header, const std::vector<uint8_t> &pixels,
                  const DeviceShape &shape) {
  if (header.row_count != shape.rows || header.row_length != shape.row_length ||
      header.word4 != sim::kPixelBits) {
    return false;
  }
  for (uint32_t r = 0; r < shape.rows; ++r) {
    for (uint32_t c = 0; c < shape.row_length; ++c) {
      if (pixels[size_t{r} * shape.row_length + c] !=
          sim::TestPatternPixel(r, c, shape.rows, shape.row_length, header.word3)) {
        return false;
      }
    }
  }
  return true;
}

bool FreezeMeasurement(PortHandle port, const DeviceShape &shape, std::vector<uint16_t> *frozen,
                       MeasureHeader *header) {
  frozen->assign(size_t{2} * shape.pairs, 0);
  if (QX318_LockResult(port, kAddress) != 1) return false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (QX318_GetMeasureEx(port, kAddress, header, frozen->data(),
                           static_cast<uint32_t>(frozen->size())) == 1) {
      return header->pair_count == shape.pairs && (header->lead_byte & sim::kFrozenFlag) != 0;
    }
  }
  return false;
}

WorkloadResult RunWorkload(PortHandle port, const Workload &work, const DeviceShape &shape) {
  WorkloadResult result;
  std::vector<uint16_t> frozen;
  MeasureHeader frozen_header{};
  const bool have_reference = FreezeMeasurement(port, shape, &frozen, &frozen_header);

  for (int i = 0; i < work.hellos; ++i) {
    HelloAnswer hello{};
    const auto start = Clock::now();
    const bool ok = QX318_HelloCmd(port, kAddress, &hello) == 1;
    result.hello.Add(MsSince(start), ok, HelloIsRight(hello, shape));
  }
  std::vector<uint16_t> values(frozen.size());
  for (int i = 0; i < work.measurements; ++i) {
    MeasureHeader header{};
    std::fill(values.begin(), values.end(), 0);
    const auto start = Clock::now();
    const bool ok = QX318_GetMeasureEx(port, kAddress, &header, values.data(),
                                       static_cast<uint32_t>(values.size())) == 1;
    const bool right = have_reference && header.pair_count == frozen_header.pair_count &&
                       header.lead_byte == frozen_header.lead_byte && values == frozen;
    result.measure.Add(MsSince(start), ok, right);
  }
  std::vector<uint8_t> pixels(size_t{shape.rows} * shape.row_length);
  for (int i = 0; i < work.images; ++i) {
    ImageHeader header{};
    const auto start = Clock::now();
    const bool ok = QX318_GetImageEx(port, kAddress, &header, pixels.data(),
                                     static_cast<uint32_t>(pixels.size())) == 1;
    result.image.Add(MsSince(start), ok, ImageIsRight(header, pixels, shape));
  }
  if (!have_reference) result.measure.first_problem += " (no frozen reference measurement)";
  // Leaves the device's measurement live again.
  (void)QX318_LockResult(port, kAddress);
  return result;
}

std::string StatsTable(const WorkloadResult &result) {
  std::string table =
      "| operation | calls | failed | wrong | failure codes | median ms | p95 ms | max ms |\n"
      "|---|---|---|---|---|---|---|---|\n";
  for (const OperationStats *s : {&result.hello, &result.measure, &result.image}) {
    char line[256];
    std::snprintf(line, sizeof line, "| %s | %d | %d | %d | %s | %.1f | %.1f | %.1f |\n",
                  s->name.c_str(), s->calls, s->failures, s->wrong, s->Reasons().c_str(),
                  s->Percentile(0.5), s->Percentile(0.95), s->Percentile(1.0));
    table += line;
  }
  return table;
}

}  // namespace qx318::test
