#include "protocol/crc.h"

#include "port/platform.h"  // CrcTable(): where the table lives is the platform's

namespace qx318 {

bool UpdateCrc16(uint16_t *crc, const uint8_t *bytes, uint32_t count) {
  const uint16_t *table = CrcTable();
  if (crc == nullptr || bytes == nullptr || table == nullptr) return false;
  uint16_t running = *crc;
  for (uint32_t i = 0; i < count; ++i) {
    running = static_cast<uint16_t>(table[(bytes[i] ^ running) & 0xFF] ^ (running >> 8));
  }
  *crc = running;
  return true;
}

uint16_t Crc16(const uint8_t *bytes, uint32_t count) {
  uint16_t crc = 0;
  (void)UpdateCrc16(&crc, bytes, count);
  return crc;
}

}  // namespace qx318
