// Platforms without a low-latency request run the driver's own pacing.
#include "port/posix/low_latency.h"

namespace qx318::posix {

bool RequestLowLatency(int) { return false; }

}  // namespace qx318::posix
