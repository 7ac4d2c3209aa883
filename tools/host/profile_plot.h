// A measurement drawn as a picture a person reads at a glance: the pairs as
// a line with points (first value across, second value up), axes with ticks
// and numbers, and a title naming the device, the pair count and the time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qx318::host {

inline constexpr int kPlotWidth = 900;
inline constexpr int kPlotHeight = 540;

struct ProfilePlot {
  int address = 1;
  std::vector<std::pair<uint16_t, uint16_t>> pairs;
  std::string time_utc;   // when the measurement was taken
  uint64_t sequence = 0;  // 0: a single measurement, no number in the title
};

// Whether this build draws plots: cairo is optional (tools/CMakeLists.txt,
// QX318_WITH_PLOT), and without it --plot is refused before anything runs.
bool ProfilePlotBuiltIn();

// The usage error --plot gets in a build without plots.
inline constexpr const char *kNoPlotSupport =
    "this build of qx318 has no plot support (built without cairo); --plot does not apply";

// Writes the plot as a kPlotWidth x kPlotHeight PNG at path. The picture is
// drawn into a temporary file beside path and renamed over it, so that a
// viewer watching path never sees half a picture. On failure, false with a
// message naming the file.
bool WriteProfilePlot(const std::string &path, const ProfilePlot &plot, std::string *error);

// Hands back the font caches the drawing filled (cairo's and fontconfig's),
// which live until the process ends otherwise; call once, when no more plots
// will be drawn, so that a leak checker sees only real leaks.
void ReleasePlotCaches();

}  // namespace qx318::host
