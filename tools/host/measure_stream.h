// `qx318 measure`: one measurement, or (`--every MS`) a stream, of one device
// or of several polled in turn on the one port, with a record per
// measurement (time-stamped, numbered, with its address), failures counted
// by the library's reason instead of ending the run, a status line on a
// terminal, a summary per device at the end, an output file flushed per
// measurement and a profile plot per device.
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
  std::string output;   // empty: standard output
  bool append = false;  // add to output (the header only into an empty file)
  std::string plot;     // empty: no plot
};

// True when the options ask for more than the plain one-shot measurement:
// its text then carries the record's number and time too.
bool WantsMeasureStream(const MeasureStreamOptions &options);

// The subcommand's usage check: a problem of the options, or empty.
std::string MeasureProblem(const MeasureStreamOptions &options, const OutputStyle &style);

// `measure`: one record, or a stream of them (measurement_record.h), into
// standard output or --output. Fails (1) when any measurement failed, or
// the output file or the plot could not be used.
Body Measure(MeasureStreamOptions options);

}  // namespace qx318::host
