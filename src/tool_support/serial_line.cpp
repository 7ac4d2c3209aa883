// The simulator's serial line, set up by the converter's own line code.
#include "port/posix/line_speed.h"
#include "tool_support.h"

namespace qx318::tools {

bool MakeLineRaw(int fd) { return posix::MakeRaw(fd); }

bool SetLineRate(int fd, uint32_t baud) { return posix::SetRate(fd, baud); }

}  // namespace qx318::tools
