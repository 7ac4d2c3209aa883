#pragma once

#include <cstdint>

#include "QX318_RS485.h"

namespace qx318 {

// Sends command with the one data byte action and accepts the device's
// answer when its first data byte echoes action. The answer's length is not
// examined; an answer with no data bytes never confirms.
bool ConfirmFlash(PortHandle port, int32_t address, int32_t command, uint8_t action);

}  // namespace qx318
