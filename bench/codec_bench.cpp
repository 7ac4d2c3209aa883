// The protocol's pure computations: the CRC and the 7-bit groups.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "protocol/crc.h"
#include "protocol/groups.h"

namespace {

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131u + 7u) & 0x7F);
  return bytes;
}

void BM_Crc16(benchmark::State &state) {
  const std::vector<uint8_t> bytes = Pattern(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(qx318::Crc16(bytes.data(), static_cast<uint32_t>(bytes.size())));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
// A request, the largest answer frame, a 300 x 640 image, 1 MiB.
BENCHMARK(BM_Crc16)->Arg(13)->Arg(16383)->Arg(192000)->Arg(1 << 20);

// What the image does with each row as it lands: clear bit 7 and run the CRC.
// The work does not depend on the bytes, so the rows already cleared by an
// earlier iteration cost the same.
void BM_StripMarkersAndCrc16(benchmark::State &state) {
  std::vector<uint8_t> bytes = Pattern(static_cast<size_t>(state.range(0)));
  for (uint8_t &byte : bytes) byte |= 0x80;
  for (auto _ : state) {
    uint16_t crc = 0;
    (void)qx318::StripMarkersAndUpdateCrc16(&crc, bytes.data(),
                                            static_cast<uint32_t>(bytes.size()));
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
// A row of a 1024 x 1024 image, and 1 MiB.
BENCHMARK(BM_StripMarkersAndCrc16)->Arg(1024)->Arg(1 << 20);

void BM_DecodeTwoGroupValues(benchmark::State &state) {
  const std::vector<uint8_t> groups = Pattern(16380);
  std::vector<uint16_t> values(groups.size() / 2);
  for (auto _ : state) {
    for (size_t j = 0; j < values.size(); ++j) {
      values[j] = static_cast<uint16_t>(qx318::DecodeGroups(&groups[2 * j], 2));
    }
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_DecodeTwoGroupValues);

}  // namespace
