#include "port/win32/crc_table.h"

#include <windows.h>

#include <cstdint>

#include "port/platform.h"
#include "protocol/crc.h"

namespace qx318 {
namespace {

constexpr SIZE_T kCrcTableBytes = kCrcTableSize * sizeof(uint16_t);
static_assert(kCrcTableBytes == 512);

// The library's only mutable state. It is written at process attach and
// detach, when the loader lock keeps every other thread out, and read-only
// in between, so exchanges on any thread may use it without a lock.
uint16_t *crc_table = nullptr;

}  // namespace

const uint16_t *CrcTable() { return crc_table; }

bool BuildCrcTable() {
  auto *block = static_cast<uint16_t *>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, kCrcTableBytes));
  if (block == nullptr) return false;
  FillCrcTable(block);
  crc_table = block;
  return true;
}

bool ReleaseCrcTable() {
  if (crc_table == nullptr) return false;
  // LocalFree hands the block back when it cannot release it.
  if (LocalFree(crc_table) != nullptr) return false;
  crc_table = nullptr;
  return true;
}

}  // namespace qx318
