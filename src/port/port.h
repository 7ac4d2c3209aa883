// The two transfer primitives on which the whole protocol rests.
#pragma once

#include <cstdint>

#include "QX318_RS485.h"
#include "port/platform.h"  // the clock and heap the exchanges above rely on

namespace qx318 {

// The time-outs every port gets at open, in milliseconds.
inline constexpr uint32_t kReadIntervalTimeoutMs = 100;
inline constexpr uint32_t kReadTotalTimeoutMultiplierMs = 100;
inline constexpr uint32_t kReadTotalTimeoutConstantMs = 1000;
inline constexpr uint32_t kQueueSize = 1024;

// Purges the converter (its result is not examined), then writes the whole
// buffer in one call. True when the converter reports exactly count bytes
// written.
bool WritePort(PortHandle port, const uint8_t *bytes, uint32_t count);

// Reads exactly count bytes in one call. True when all of them arrived before
// the port's time-outs expired; a read of 0 bytes is true.
bool ReadPort(PortHandle port, uint8_t *bytes, uint32_t count);

}  // namespace qx318
