// The exchanges the network tests and the grid time: hellos, measurements and
// images on one open port, each answer checked against what the simulated
// device holds (its hello values, the measurement frozen by a lock-result,
// its test pattern for the frame the header names). A call that succeeds
// with other values is counted as wrong, apart from the failures.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "QX318_RS485.h"

namespace qx318::test {

// What the simulator serves in these tests (--rows, --row-length, --pairs).
struct DeviceShape {
  uint16_t rows = 256;
  uint16_t row_length = 256;
  uint16_t pairs = 64;
};

struct OperationStats {
  explicit OperationStats(std::string operation) : name(std::move(operation)) {}

  std::string name;
  int calls = 0;
  int failures = 0;
  int wrong = 0;                   // succeeded with values the device did not send
  std::map<int32_t, int> reasons;  // failure code -> count
  std::vector<double> ms;          // time of every call
  std::string first_problem;       // detail of the first failure or wrong answer

  void Add(double ms_taken, bool ok, bool right);
  double Percentile(double p) const;  // of ms, 0 when empty
  std::string Reasons() const;        // "12x3 13x1", "-" when none
};

struct Workload {
  int hellos = 300;
  int measurements = 50;
  int images = 5;
};

struct WorkloadResult {
  OperationStats hello{"hello"};
  OperationStats measure{"measure"};
  OperationStats image{"image"};
};

// Freezes the device's measurement (lock-result) and reads it back: the
// reference every later measurement must equal. False when no measurement
// came within a few tries.
bool FreezeMeasurement(PortHandle port, const DeviceShape &shape, std::vector<uint16_t> *frozen,
                       MeasureHeader *header);

bool HelloIsRight(const HelloAnswer &hello, const DeviceShape &shape);
bool ImageIsRight(const ImageHeader &header, const std::vector<uint8_t> &pixels,
                  const DeviceShape &shape);

WorkloadResult RunWorkload(PortHandle port, const Workload &work, const DeviceShape &shape);

// "| hello | 300 | 0 | 0 | 171.2 | 180.3 |" lines with a header.
std::string StatsTable(const WorkloadResult &result);

}  // namespace qx318::test
