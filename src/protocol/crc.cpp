#include "protocol/crc.h"

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

#include "port/platform.h"  // CrcTable(): where the table lives is the platform's
#include "protocol/groups.h"

namespace qx318 {
namespace {

// Slicing by 16: slice k holds, for every byte value, the register after that
// byte followed by k zero bytes. The register of 16 bytes is then the XOR of
// one entry per byte, looked up independently of the others, instead of a
// chain of 16 dependent lookups. Slice 0 is the table the library was loaded
// with; the others are built here, at compile time, the same way (the copy of
// slice 0 below only seeds them).
constexpr int kSlices = 16;
using SliceTable = std::array<uint16_t, kCrcTableSize>;

constexpr std::array<SliceTable, kSlices> MakeSlices() {
  std::array<SliceTable, kSlices> slices{};
  FillCrcTable(slices[0].data());
  for (int k = 1; k < kSlices; ++k) {
    for (int i = 0; i < kCrcTableSize; ++i) {
      const uint16_t previous = slices[k - 1][i];
      slices[k][i] = static_cast<uint16_t>((previous >> 8) ^ slices[0][previous & 0xFF]);
    }
  }
  return slices;
}

constexpr std::array<SliceTable, kSlices> kSlicesTable = MakeSlices();
static_assert(kSlicesTable[0][1] == 0xC0C1 && kSlicesTable[0][255] == 0x4040);

// Four bytes as a number whose lowest 8 bits are the first byte.
inline uint32_t LoadLittleEndian32(const uint8_t *bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
  } else {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  }
}

// The four lookups for the bytes of word that stand `after` bytes before the
// end of the 16-byte block; slice `after` itself is last_slice.
inline uint16_t LookUpWord(uint32_t word, int after, const uint16_t *last_slice) {
  return static_cast<uint16_t>(
      kSlicesTable[after + 3][word & 0xFF] ^ kSlicesTable[after + 2][(word >> 8) & 0xFF] ^
      kSlicesTable[after + 1][(word >> 16) & 0xFF] ^ last_slice[word >> 24]);
}

inline void StoreLittleEndian32(uint32_t word, uint8_t *bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes, &word, sizeof word);
  } else {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
  }
}

// Bit 7 of each of four bytes.
constexpr uint32_t kMarkersOfFourBytes = 0x80808080u;

// Over writable bytes the CRC strips them: bit 7 of every byte is cleared in
// place first and the CRC covers the bytes as cleared, one pass over the
// bytes instead of two.
template <typename Byte>
constexpr bool kStrips = !std::is_const_v<Byte>;

// The CRC over whole 16-byte blocks.
template <typename Byte>
uint16_t UpdateBlocks(uint16_t running, const uint16_t *table, Byte *bytes, uint32_t blocks) {
  for (uint32_t block = 0; block < blocks; ++block, bytes += kSlices) {
    uint32_t words[4];
    for (int w = 0; w < 4; ++w) {
      words[w] = LoadLittleEndian32(bytes + 4 * w);
      if constexpr (kStrips<Byte>) {
        words[w] &= ~kMarkersOfFourBytes;
        StoreLittleEndian32(words[w], bytes + 4 * w);
      }
    }
    // The register meets the first two bytes of the block.
    running = static_cast<uint16_t>(LookUpWord(words[0] ^ running, 12, kSlicesTable[12].data()) ^
                                    LookUpWord(words[1], 8, kSlicesTable[8].data()) ^
                                    LookUpWord(words[2], 4, kSlicesTable[4].data()) ^
                                    LookUpWord(words[3], 0, table));
  }
  return running;
}

template <typename Byte>
uint16_t UpdateTail(uint16_t running, const uint16_t *table, Byte *bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if constexpr (kStrips<Byte>) bytes[i] &= kGroupMask;
    running = static_cast<uint16_t>(table[(bytes[i] ^ running) & 0xFF] ^ (running >> 8));
  }
  return running;
}

template <typename Byte>
bool Update(uint16_t *crc, Byte *bytes, uint32_t count) {
  const uint16_t *table = CrcTable();
  if (crc == nullptr || bytes == nullptr || table == nullptr) return false;
  const uint32_t blocks = count / kSlices;
  const uint16_t running = UpdateBlocks(*crc, table, bytes, blocks);
  *crc = UpdateTail(running, table, bytes + blocks * kSlices, count % kSlices);
  return true;
}

}  // namespace

bool UpdateCrc16(uint16_t *crc, const uint8_t *bytes, uint32_t count) {
  return Update(crc, bytes, count);
}

bool StripMarkersAndUpdateCrc16(uint16_t *crc, uint8_t *bytes, uint32_t count) {
  return Update(crc, bytes, count);
}

uint16_t Crc16(const uint8_t *bytes, uint32_t count) {
  uint16_t crc = 0;
  (void)UpdateCrc16(&crc, bytes, count);
  return crc;
}

}  // namespace qx318
