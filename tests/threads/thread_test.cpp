// Several threads, each driving its own port against its own device on a
// pseudo-terminal, while one more thread keeps opening and closing ports and
// trying the handles it has closed. Every exchange must bring its own
// device's values, and a closed handle must stay refused. Built with
// ThreadSanitizer (the tsan preset), any report it makes fails the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QX318_RS485.h"
#include "port/converter.h"
#include "pty_device.h"
#include "wire_oracle.h"

namespace qx318::test {
namespace {

constexpr int kWorkers = 4;
constexpr int kRoundsPerWorker = 150;
constexpr int32_t kAddress = 2;
constexpr uint16_t kRows = 6;
constexpr uint16_t kRowLength = 20;

// Everything a device with this mark answers: the values differ from one
// device to the next, so an answer from the wrong port shows.
struct MarkedAnswers {
  uint16_t mark;

  // The mark's two groups open the data and follow its 13th byte, 0x01
  // fills the rest. The data is made at its full size at once: a vector of
  // bytes that grows makes GCC 12 at -O3 report a copy out of bounds.
  Bytes Hello() const {
    const Bytes groups = Groups(mark, 2);
    Bytes data(13 + groups.size(), 0x01);
    std::copy(groups.begin(), groups.end(), data.begin());
    std::copy(groups.begin(), groups.end(), data.begin() + 13);
    return AnswerFrame(data);
  }
  uint16_t Parameter(uint8_t number) const {
    return static_cast<uint16_t>((mark * 31u + number) & 0x3FFF);
  }
  std::vector<uint16_t> MeasureValues() const {
    return {mark, static_cast<uint16_t>(mark + 1), 100, 200};
  }
  ImageAnswerFields Image() const { return PatternImage(kRows, kRowLength, mark, 7); }
  uint32_t Angle() const { return 0x01000000u + mark; }

  Bytes Answer(const Bytes &frame) const {
    const auto request = DecodeRequest(frame);
    if (!request || !request->crc_ok) return {};
    switch (request->command) {
      case 1:
        return Hello();
      case 2:
        return request->data.size() == 1 ? AnswerFrame(Groups(Parameter(request->data[0]), 2))
                                         : Bytes{};
      case 5:
        return AnswerFrame(MeasureData(9, 2, MeasureValues()));
      case 6:
        return ImageAnswer(Image());
      case 11:
        return AnswerFrame(Groups(Angle(), 5));
      default:
        return {};  // write parameter, and anything else: no answer
    }
  }
};

class MarkedDevice {
 public:
  explicit MarkedDevice(uint16_t mark) : answers_{mark} {
    device_.Serve([answers = answers_](const Bytes &frame) { return answers.Answer(frame); });
  }
  const std::string &path() const { return device_.slave_path(); }
  const MarkedAnswers &answers() const { return answers_; }

 private:
  MarkedAnswers answers_;
  PtyDevice device_;
};

// One round of every answered command and a parameter write; counts the
// calls whose result or values were wrong.
int WrongCallsInOneRound(PortHandle port, const MarkedAnswers &expected, uint8_t parameter) {
  int wrong = 0;
  HelloAnswer hello{};
  wrong += QX318_HelloCmd(port, kAddress, &hello) != 1 || hello.value1 != expected.mark ||
           hello.value7 != expected.mark;

  uint16_t value = 0;
  wrong += QX318_ReadParameter(port, kAddress, static_cast<ParameterCode>(0x0200 | parameter),
                               &value) != 1 ||
           value != expected.Parameter(parameter);
  wrong += QX318_WriteParameter(port, kAddress, 0x0205, 300) != 1;

  MeasureHeader header{};
  uint16_t values[8] = {};
  wrong += QX318_GetMeasureEx(port, kAddress, &header, values, 8) != 1 || header.pair_count != 2 ||
           std::vector<uint16_t>(values, values + 4) != expected.MeasureValues();

  ImageHeader image{};
  std::vector<uint8_t> pixels(size_t{kRows} * kRowLength);
  wrong += QX318_GetImageEx(port, kAddress, &image, pixels.data(),
                            static_cast<uint32_t>(pixels.size())) != 1 ||
           image.word3 != expected.mark || pixels != expected.Image().pixels;

  int32_t angle = 0;
  wrong += QX318_GetRotateAngle(port, kAddress, &angle) != 1 ||
           static_cast<uint32_t>(angle) != expected.Angle();
  return wrong;
}

TEST(Threads, EachThreadOnItsOwnPortWhileAnotherOpensAndClosesPorts) {
  // Pseudo-terminals are set up here, one after the other: naming one goes
  // through a buffer the C library shares between threads.
  std::vector<std::unique_ptr<MarkedDevice>> devices;
  for (int w = 0; w < kWorkers; ++w) {
    devices.push_back(std::make_unique<MarkedDevice>(static_cast<uint16_t>(0x100 * (w + 1))));
  }
  MarkedDevice churned(0x3ABC);

  std::atomic<int> wrong_calls{0};
  std::atomic<int> rounds{0};
  std::atomic<int> workers_running{kWorkers};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      const MarkedDevice &device = *devices[static_cast<size_t>(w)];
      PortHandle port = nullptr;
      if (QX318_OpenPort(device.path().c_str(), 115200, &port) != 1) {
        wrong_calls += 1000;
      } else {
        for (int r = 0; r < kRoundsPerWorker; ++r) {
          // Parameters 0-127: the number travels in one 7-bit data byte.
          wrong_calls +=
              WrongCallsInOneRound(port, device.answers(), static_cast<uint8_t>(r % 128));
          ++rounds;
        }
        wrong_calls += QX318_ClosePort(port) != 1;
      }
      --workers_running;
    });
  }

  // Opens, uses and closes a port of its own over and over, and tries every
  // handle it has closed, until the workers are done.
  std::atomic<int> churn_cycles{0};
  std::atomic<int> churn_wrong{0};
  std::thread churn([&] {
    std::vector<PortHandle> closed;
    while (workers_running > 0) {
      PortHandle port = nullptr;
      if (QX318_OpenPort(churned.path().c_str(), 115200, &port) != 1) {
        ++churn_wrong;
        continue;
      }
      HelloAnswer hello{};
      churn_wrong += QX318_HelloCmd(port, kAddress, &hello) != 1 || hello.value1 != 0x3ABC;
      churn_wrong += QX318_ClosePort(port) != 1;
      closed.push_back(port);
      const PortHandle stale = closed[static_cast<size_t>(churn_cycles) % closed.size()];
      churn_wrong += QX318_HelloCmd(stale, kAddress, &hello) != 0;
      churn_wrong += QX318_ClosePort(stale) != 1;
      ++churn_cycles;
    }
  });

  for (std::thread &worker : workers) worker.join();
  churn.join();
  std::printf(
      "%d rounds of 6 calls on %d ports while one more port was opened, used and closed %d "
      "times\n",
      rounds.load(), kWorkers, churn_cycles.load());
  EXPECT_EQ(rounds.load(), kWorkers * kRoundsPerWorker);
  EXPECT_EQ(wrong_calls.load(), 0);
  EXPECT_GT(churn_cycles.load(), 0) << "no port was opened and closed during the exchanges";
  EXPECT_EQ(churn_wrong.load(), 0);
}

// Closing a port while another thread waits inside a read on it is the
// caller's error, but it must not bring the process down nor leave the port
// behind: the read ends as it would, the close is finished when the read
// returns, the rest of that call is refused, and the device can be opened
// again at once (its descriptor, and with it its lock, is gone).
TEST(Threads, ClosingAPortThatAnotherThreadIsReadingFromIsFinishedAfterTheRead) {
  PtyDevice device;
  device.ServeScripted([](const Bytes &) {
    return std::vector<Chunk>{{MarkedAnswers{0x1234}.Hello(), std::chrono::milliseconds(600)}};
  });
  PortHandle port = nullptr;
  ASSERT_EQ(QX318_OpenPort(device.slave_path().c_str(), 115200, &port), 1);

  std::atomic<int32_t> result{-1};
  std::thread reader([&] {
    HelloAnswer hello{};
    result = QX318_HelloCmd(port, kAddress, &hello);
  });
  ASSERT_TRUE(device.WaitForRequests(1, std::chrono::milliseconds(5000)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reader waits for its answer
  EXPECT_EQ(QX318_ClosePort(port), 1);
  reader.join();
  EXPECT_EQ(result.load(), 0) << "the call went on with a port closed under it";

  PortHandle again = nullptr;
  ASSERT_EQ(QX318_OpenPort(device.slave_path().c_str(), 115200, &again), 1)
      << "the closed port was never let go";
  HelloAnswer hello{};
  EXPECT_EQ(QX318_HelloCmd(again, kAddress, &hello), 1);
  EXPECT_EQ(hello.value1, 0x1234);
  EXPECT_EQ(QX318_ClosePort(again), 1);
}

// Two reads at once on one port are the caller's error too. The port's
// read-ahead buffer serves one of them at a time; the other reads the kernel
// directly. Between them, and what is left afterwards, every byte the device
// sent arrives exactly once (under ThreadSanitizer: without a race).
TEST(Threads, TwoReadsAtOnceOnOnePortShareNoBuffer) {
  PtyDevice device;
  PortHandle port = nullptr;
  ASSERT_EQ(QX318_OpenPort(device.slave_path().c_str(), 115200, &port), 1);
  const ConverterBackend &converter = Converter();
  // Each read ends 100 ms after its last byte, or 300 ms after it began.
  CommTimeouts timeouts{100, 0, 300, 0, 0};
  ASSERT_TRUE(converter.set_comm_timeouts(port, &timeouts));

  Bytes sent(64 * 1024);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + i / 256);
  std::map<uint8_t, size_t> expected;
  for (uint8_t byte : sent) ++expected[byte];

  std::vector<Bytes> got(2);
  const auto read_until_quiet = [&](Bytes &into, uint32_t piece) {
    Bytes buffer(piece);
    for (;;) {
      uint32_t received = 0;
      (void)converter.read_file(port, buffer.data(), piece, &received, nullptr);
      if (received == 0) return;
      into.insert(into.end(), buffer.begin(), buffer.begin() + received);
    }
  };
  std::thread writer([&] { EXPECT_TRUE(device.WriteAll(sent)); });
  std::thread small([&] { read_until_quiet(got[0], 3); });
  std::thread large([&] { read_until_quiet(got[1], 5000); });
  writer.join();
  small.join();
  large.join();

  std::map<uint8_t, size_t> arrived;
  for (const Bytes &bytes : got) {
    for (uint8_t byte : bytes) ++arrived[byte];
  }
  EXPECT_EQ(got[0].size() + got[1].size(), sent.size());
  EXPECT_EQ(arrived, expected) << "a byte was lost or came twice";
  EXPECT_EQ(QX318_ClosePort(port), 1);
}

}  // namespace
}  // namespace qx318::test
