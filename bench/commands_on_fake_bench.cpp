// Request building and answer parsing with the converter replaced by the
// test double, so that only the library's own work (plus the double's queue
// and call log) is measured. The log is cleared every iteration so that it
// does not grow.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "protocol/frame.h"
#include "wire_oracle.h"

namespace {

using Bytes = std::vector<uint8_t>;

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
  const Bytes answer = qx318::test::AnswerFrame(Bytes(15, 0x11));
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
  std::vector<uint16_t> carried(2u * pairs);
  for (uint32_t j = 0; j < carried.size(); ++j) carried[j] = static_cast<uint16_t>(j & 0x3FFF);
  const Bytes data = qx318::test::MeasureData(1, pairs, carried);
  qx318::fake::FakeConverter converter;
  const Bytes answer = qx318::test::AnswerFrame(data);
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
  qx318::test::ImageAnswerFields fields;
  fields.row_count = rows;
  fields.row_length = row_length;
  fields.pixels = qx318::test::PixelPattern(rows, row_length);
  return qx318::test::ImageAnswer(fields);
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
