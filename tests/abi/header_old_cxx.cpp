// Built as C++98 with -pedantic: the header must serve hosts whose compilers
// predate C++11, with its layout checks still active.
#include "QX318_RS485.h"

int qx318_header_old_cxx_uses_the_types(const MeasureHeader &measure, PortHandle port) {
  return static_cast<int>(measure.pair_count) + (port == QX318_INVALID_PORT ? 1 : 0);
}
