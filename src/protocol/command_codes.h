#pragma once

#include <cstdint>

namespace qx318 {

inline constexpr int32_t CMD_HELLO = 1;
inline constexpr int32_t CMD_READ_PARAMETER = 2;
inline constexpr int32_t CMD_WRITE_PARAMETER = 3;
inline constexpr int32_t CMD_PARAMS_FLASH = 4;
inline constexpr int32_t CMD_GET_MEASURE = 5;
inline constexpr int32_t CMD_GET_IMAGE = 6;
inline constexpr int32_t CMD_LOCK_RESULT = 9;
inline constexpr int32_t CMD_ROTATE_AXIS_XY = 10;
inline constexpr int32_t CMD_GET_ROTATE_ANGLE = 11;
inline constexpr int32_t CMD_ANGLE_FLASH = 12;

// The data byte of a flash request, echoed by the device as its first
// answer byte.
inline constexpr uint8_t FLASH_SAVE = 0x55;
inline constexpr uint8_t FLASH_RESTORE = 0x33;

}  // namespace qx318
