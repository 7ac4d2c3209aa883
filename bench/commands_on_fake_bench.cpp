// Request building and answer parsing with the converter replaced by the
// test double, so that only the library's own work (plus the double's queue
// and call log) is measured. The log is cleared every iteration so that it
// does not grow.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "protocol/crc.h"
#include "protocol/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Groups(uint32_t value, int count) {
  Bytes groups;
  for (int i = 0; i < count; ++i) groups.push_back(static_cast<uint8_t>((value >> (7 * i)) & 0x7F));
  return groups;
}

void BM_SendRequest(benchmark::State &state) {
  qx318::fake::FakeConverter converter;
  const Bytes data(static_cast<size_t>(state.range(0)), 0x2A);
  for (auto _ : state) {
    benchmark::DoNotOptimize(qx318::SendRequest(converter.handle(), 3, 3, data.data(),
                                                static_cast<uint32_t>(data.size())));
    converter.ClearLog();
  }
}
// No data (most commands) and the write-parameter maximum.
BENCHMARK(BM_SendRequest)->Arg(0)->Arg(12);

void BM_HelloOnFake(benchmark::State &state) {
  qx318::fake::FakeConverter converter;
  const Bytes answer = qx318::fake::AnswerFrame(Bytes(15, 0x11));
  HelloAnswer hello{};
  for (auto _ : state) {
    converter.QueueAnswer(answer);
    if (QX318_HelloCmd(converter.handle(), 1, &hello) != 1) {
      state.SkipWithError("hello failed");
      break;
    }
    converter.ClearLog();
  }
}
BENCHMARK(BM_HelloOnFake);

void BM_MeasureOnFake(benchmark::State &state) {
  const auto pairs = static_cast<uint16_t>(state.range(0));
  Bytes data{1};
  for (uint8_t group : Groups(pairs, 2)) data.push_back(group);
  for (uint32_t j = 0; j < 2u * pairs; ++j) {
    for (uint8_t group : Groups(j & 0x3FFF, 2)) data.push_back(group);
  }
  qx318::fake::FakeConverter converter;
  const Bytes answer = qx318::fake::AnswerFrame(data);
  MeasureHeader header{};
  std::vector<uint16_t> values(2u * pairs);
  for (auto _ : state) {
    converter.QueueAnswer(answer);
    if (QX318_GetMeasureEx(converter.handle(), 1, &header, values.data(),
                           static_cast<uint32_t>(values.size())) != 1) {
      state.SkipWithError("measurement failed");
      break;
    }
    converter.ClearLog();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(answer.size()));
}
BENCHMARK(BM_MeasureOnFake)->Arg(2)->Arg(4095);

Bytes ImageAnswer(uint16_t rows, uint16_t row_length) {
  Bytes wire{0x00};
  const auto marked = [&wire](uint32_t value, int count) {
    for (uint8_t group : Groups(value, count)) wire.push_back(static_cast<uint8_t>(group | 0x80));
  };
  marked(rows, 2);
  Bytes covered;
  for (uint16_t word : {row_length, uint16_t{0}, uint16_t{0}}) {
    marked(word, 2);
    for (uint8_t group : Groups(word, 2)) covered.push_back(group);
  }
  for (uint32_t i = 0; i < static_cast<uint32_t>(rows) * row_length; ++i) {
    const auto pixel = static_cast<uint8_t>(i & 0x7F);
    wire.push_back(static_cast<uint8_t>(pixel | 0x80));
    covered.push_back(pixel);
  }
  marked(qx318::Crc16(covered.data(), static_cast<uint32_t>(covered.size())), 3);
  return wire;
}

void BM_ImageOnFake(benchmark::State &state) {
  const auto rows = static_cast<uint16_t>(state.range(0));
  const auto row_length = static_cast<uint16_t>(state.range(1));
  qx318::fake::FakeConverter converter;
  const Bytes answer = ImageAnswer(rows, row_length);
  std::vector<uint8_t> pixels(static_cast<size_t>(rows) * row_length);
  ImageHeader header{};
  for (auto _ : state) {
    converter.QueueAnswer(answer);
    if (QX318_GetImageEx(converter.handle(), 1, &header, pixels.data(),
                         static_cast<uint32_t>(pixels.size())) != 1) {
      state.SkipWithError("image failed");
      break;
    }
    converter.ClearLog();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(answer.size()));
}
BENCHMARK(BM_ImageOnFake)->Args({300, 640});

}  // namespace
