// The converter of a platform without serial support: no converter can be
// opened, and every call on a handle fails and transfers nothing, so every
// exported function fails cleanly (returns 0) instead of the library failing
// to build or link there.
#include "port/converter.h"

namespace qx318 {
namespace {

PortHandle NullCreateFile(const char *, uint32_t, uint32_t, void *, uint32_t, uint32_t, void *) {
  return QX318_INVALID_PORT;
}
Bool32 NullClose(PortHandle) { return 0; }
Bool32 NullRead(PortHandle, void *, uint32_t, uint32_t *transferred, void *) {
  if (transferred != nullptr) *transferred = 0;
  return 0;
}
Bool32 NullWrite(PortHandle, const void *, uint32_t, uint32_t *transferred, void *) {
  if (transferred != nullptr) *transferred = 0;
  return 0;
}
Bool32 NullGetState(PortHandle, Dcb *) { return 0; }
Bool32 NullSetState(PortHandle, Dcb *) { return 0; }
Bool32 NullSetTimeouts(PortHandle, CommTimeouts *) { return 0; }
Bool32 NullSetup(PortHandle, uint32_t, uint32_t) { return 0; }
Bool32 NullFlags(PortHandle, uint32_t) { return 0; }

constexpr ConverterBackend kNullConverter{
    NullCreateFile, NullClose,       NullRead,  NullWrite, NullGetState,
    NullSetState,   NullSetTimeouts, NullSetup, NullFlags, NullFlags,
};

}  // namespace

const ConverterBackend &Converter() { return kNullConverter; }

}  // namespace qx318
