// The flash memories of a bus's devices, kept in a file between runs of the
// simulator, the way a real device keeps its flash across power cycles.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "sim/device_model.h"

namespace qx318::sim {

using FlashByAddress = std::map<uint8_t, FlashContents>;

// Reads the file; a missing file is an empty map. False, with a message,
// when the file exists but cannot be read or understood.
bool LoadState(const std::string &path, FlashByAddress *out, std::string *error);

// Writes the file whole, through a temporary file beside it renamed over
// it, so that a crash never leaves half a file behind. The error names
// path, never the temporary file.
bool SaveState(const std::string &path, const FlashByAddress &state, std::string *error);

}  // namespace qx318::sim
