// The profile plot in a build without cairo: measure refuses --plot up
// front (MeasureStreamProblem), so these are reached only by a caller that
// skipped that check, which then gets the same reason.
#include "host/profile_plot.h"

namespace qx318::host {

bool ProfilePlotBuiltIn() { return false; }

bool WriteProfilePlot(const std::string &, const ProfilePlot &, std::string *error) {
  if (error != nullptr) *error = kNoPlotSupport;
  return false;
}

void ReleasePlotCaches() {}

}  // namespace qx318::host
