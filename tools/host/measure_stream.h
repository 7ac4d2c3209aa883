// Continuous measurement: `qx318 measure --every MS`, with a record per
// measurement (time-stamped and numbered), failures counted by the library's
// reason instead of ending the run, a status line on a terminal, a summary
// at the end, an output file flushed per measurement and a profile plot.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/commands.h"

namespace qx318::host {

struct MeasureStreamOptions {
  std::optional<uint32_t> every_ms;  // 0: as fast as the bus allows
  std::optional<uint64_t> count;
  std::optional<double> duration_s;
  bool stop_on_failure = false;
  std::string output;  // empty: standard output
  std::string plot;    // empty: no plot
};

// True when the options ask for more than the plain one-shot measurement.
bool WantsMeasureStream(const MeasureStreamOptions &options);

// A usage problem of the options, or empty.
std::string MeasureStreamProblem(const MeasureStreamOptions &options, const OutputStyle &style);

// Runs the measurements; 0 when none failed, 1 otherwise (or when the port,
// the output file or the plot could not be used).
int RunMeasureStream(const Target &target, const OutputStyle &style,
                     const MeasureStreamOptions &options);

}  // namespace qx318::host
