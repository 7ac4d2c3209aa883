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
// A request, the largest answer frame, a 300 x 640 image.
BENCHMARK(BM_Crc16)->Arg(13)->Arg(16383)->Arg(192000);

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
