// Whole exchanges through the POSIX converter with a simulated device on a
// pseudo-terminal: the round trip of a small exchange and the throughput of
// the two large answers. A pseudo-terminal has no line rate, so these show
// the library's and the kernel's overhead, not a serial line's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "QX318_RS485.h"
#include "pty_device.h"
#include "wire_oracle.h"

namespace {

using qx318::test::AnswerFrame;
using qx318::test::Bytes;
using qx318::test::DecodeRequest;
using qx318::test::PtyDevice;

constexpr uint8_t kHello = 1;
constexpr uint8_t kGetMeasure = 5;
constexpr uint8_t kGetImage = 6;

// A device that answers one command with a fixed answer.
class Session {
 public:
  Session(uint8_t command, Bytes answer) {
    device_.Serve([command, answer = std::move(answer)](const Bytes &request) {
      const auto decoded = DecodeRequest(request);
      return decoded && decoded->crc_ok && decoded->command == command ? answer : Bytes{};
    });
    ok_ = QX318_OpenPort(device_.slave_path().c_str(), 115200, &port_) == 1;
  }
  ~Session() {
    device_.Stop();
    if (ok_) QX318_ClosePort(port_);
  }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  bool ok() const { return ok_; }
  PortHandle port() const { return port_; }

 private:
  PtyDevice device_;
  PortHandle port_ = nullptr;
  bool ok_ = false;
};

void BM_HelloRoundTripPty(benchmark::State &state) {
  Session session(kHello, AnswerFrame(Bytes(15, 0x11)));
  if (!session.ok()) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  HelloAnswer hello{};
  for (auto _ : state) {
    if (QX318_HelloCmd(session.port(), 1, &hello) != 1) {
      state.SkipWithError("hello failed");
      break;
    }
  }
}
BENCHMARK(BM_HelloRoundTripPty)->UseRealTime();

void BM_MeasurementPty(benchmark::State &state) {
  const auto pairs = static_cast<uint16_t>(state.range(0));
  std::vector<uint16_t> carried(2u * pairs);
  for (uint32_t j = 0; j < carried.size(); ++j) carried[j] = static_cast<uint16_t>(j & 0x3FFF);
  const Bytes data = qx318::test::MeasureData(1, pairs, carried);
  const Bytes answer = AnswerFrame(data);
  Session session(kGetMeasure, answer);
  if (!session.ok()) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  MeasureHeader header{};
  std::vector<uint16_t> values(2u * pairs);
  for (auto _ : state) {
    if (QX318_GetMeasureEx(session.port(), 1, &header, values.data(),
                           static_cast<uint32_t>(values.size())) != 1) {
      state.SkipWithError("measurement failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(answer.size()));
}
BENCHMARK(BM_MeasurementPty)->Arg(4095)->UseRealTime();

Bytes ImageAnswer(uint16_t rows, uint16_t row_length) {
  qx318::test::ImageAnswerFields fields;
  fields.row_count = rows;
  fields.row_length = row_length;
  fields.pixels = qx318::test::PixelPattern(rows, row_length);
  return qx318::test::ImageAnswer(fields);
}

void BM_ImagePty(benchmark::State &state) {
  const auto rows = static_cast<uint16_t>(state.range(0));
  const auto row_length = static_cast<uint16_t>(state.range(1));
  const Bytes answer = ImageAnswer(rows, row_length);
  Session session(kGetImage, answer);
  if (!session.ok()) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  std::vector<uint8_t> pixels(static_cast<size_t>(rows) * row_length);
  ImageHeader header{};
  for (auto _ : state) {
    if (QX318_GetImageEx(session.port(), 1, &header, pixels.data(),
                         static_cast<uint32_t>(pixels.size())) != 1) {
      state.SkipWithError("image failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(answer.size()));
}
BENCHMARK(BM_ImagePty)->Args({300, 640})->UseRealTime();

}  // namespace
