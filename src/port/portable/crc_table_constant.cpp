// Where the platform has no library load notification, the CRC table is a
// compile-time constant with the same entries, so it exists before any
// exchange and is never written.
#include <array>

#include "port/platform.h"
#include "protocol/crc.h"

namespace qx318 {
namespace {

constexpr std::array<uint16_t, kCrcTableSize> MakeCrcTable() {
  std::array<uint16_t, kCrcTableSize> table{};
  FillCrcTable(table.data());
  return table;
}

constexpr std::array<uint16_t, kCrcTableSize> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0xC0C1 && kCrcTable[128] == 0xA001 && kCrcTable[255] == 0x4040);

}  // namespace

const uint16_t *CrcTable() { return kCrcTable.data(); }

}  // namespace qx318
