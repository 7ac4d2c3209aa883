// A device that stops in the middle of an answer holds no call for long: no
// call waits much more than the one-byte time-out (1.1 s) for a byte that
// does not come, wherever the answer stops, while an answer that keeps
// flowing is read however long it takes. The start-byte hunt keeps its 1.1 s
// bound even when noise trickles in just before it.
//
// The bounds asserted here are generous: they prove that a call does not
// hang, not how fast it gives up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "QX318_RS485.h"
#include "every_command.h"
#include "param_name.h"
#include "port_on_pty.h"
#include "pty_device.h"
#include "wire_oracle.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kAddress = 1;
constexpr uint32_t kLongestFrame = 16383;      // what two length groups hold
constexpr milliseconds kNoHang{3000};          // far above 1.1 s, far below the old waits
constexpr milliseconds kHuntBoundSlack{1800};  // 1.1 s and room for a loaded machine

// A frame header declaring length data bytes, and nothing after it.
Bytes FrameHeader(uint32_t length) {
  Bytes header{0x00};
  AppendMarkedGroups(header, length, 2);
  return header;
}

// An image answer's header: the start byte and the four words.
Bytes ImageHeaderBytes(uint16_t rows, uint16_t row_length) {
  Bytes header{0x00};
  for (uint32_t word : {uint32_t{rows}, uint32_t{row_length}, 0u, 7u}) {
    AppendMarkedGroups(header, word, 2);
  }
  return header;
}

class StoppingDevice : public PortOnPty<> {
 protected:
  // Answers every request with these chunks, then falls silent.
  void AnswerWith(std::vector<Chunk> chunks) {
    device_.ServeScripted([chunks](const Bytes &) { return chunks; });
  }
  void AnswerWith(const Bytes &bytes) { AnswerWith(std::vector<Chunk>{{bytes, milliseconds(0)}}); }

  // Runs the call and returns how long it took; it must fail.
  milliseconds FailingCallTakes(const std::function<int32_t(PortHandle, int32_t)> &call) {
    const auto start = Clock::now();
    EXPECT_EQ(call(port_, kAddress), 0);
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  }
};

// ------------------------------------------- header, then silence, per command

// The longest answer each command's buffer takes: a device that declares
// it and stops has the call wait for data that never comes.
Bytes LongestHeaderFor(const CommandCall &command) {
  switch (command.code) {
    case 1:  // hello
    case 2:  // read parameter
      return FrameHeader(128);
    case 10:  // rotate axis
    case 11:  // rotation angle
      return FrameHeader(1024);
    case 6:  // image: one row as long as a row can be
      return ImageHeaderBytes(1, 16383);
    default:  // flash confirmations, measurement
      return FrameHeader(kLongestFrame);
  }
}

std::vector<CommandCall> AnsweredCommands() {
  std::vector<CommandCall> answered;
  for (CommandCall &command : EveryCommand()) {
    if (command.reads_answer) answered.push_back(std::move(command));
  }
  return answered;
}

class HeaderThenSilence : public StoppingDevice,
                          public ::testing::WithParamInterface<CommandCall> {};

TEST_P(HeaderThenSilence, FailsWithoutWaitingForTheDeclaredLength) {
  AnswerWith(LongestHeaderFor(GetParam()));
  EXPECT_LT(FailingCallTakes(GetParam().call), kNoHang);
  EXPECT_EQ(device_.requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryAnsweredCommand, HeaderThenSilence,
                         ::testing::ValuesIn(AnsweredCommands()), test::ParamName());

// ------------------------------------------- wherever the answer stops

// A whole answer cut after `sent` bytes.
struct StopPoint {
  const char *name;
  bool image;   // the image answer, else a measurement frame
  size_t sent;  // bytes sent before the device stops
};

void PrintTo(const StopPoint &stop, std::ostream *out) { *out << stop.name; }

// The measurement answer: 16383 data bytes (4095 pairs), 16389 bytes in all.
Bytes LongMeasurementAnswer() {
  std::vector<uint16_t> values(2 * 4095);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint16_t>(i * 7 % 16384);
  return AnswerFrame(MeasureData(5, 4095, values));
}

// The image answer: 4 rows of 4000 pixels, 9 header bytes and 3 CRC bytes.
constexpr uint16_t kStopImageRows = 4;
constexpr uint16_t kStopImageRowLength = 4000;
Bytes LongImageAnswer() {
  return ImageAnswer(PatternImage(kStopImageRows, kStopImageRowLength, 0, 7));
}

class AnswerStops : public StoppingDevice, public ::testing::WithParamInterface<StopPoint> {};

TEST_P(AnswerStops, TheCallEndsSoonAfterTheLastByte) {
  const StopPoint stop = GetParam();
  const Bytes whole = stop.image ? LongImageAnswer() : LongMeasurementAnswer();
  ASSERT_LT(stop.sent, whole.size());
  AnswerWith(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(stop.sent)));
  const milliseconds took = FailingCallTakes([&](PortHandle port, int32_t address) {
    if (stop.image) {
      ImageHeader header{};
      std::vector<uint8_t> pixels(size_t{kStopImageRows} * kStopImageRowLength);
      return QX318_GetImageEx(port, address, &header, pixels.data(),
                              static_cast<uint32_t>(pixels.size()));
    }
    MeasureHeader header{};
    std::vector<uint16_t> values(2 * 16383);
    return QX318_GetMeasure(port, address, &header, values.data());
  });
  EXPECT_LT(took, kNoHang);
}

constexpr size_t kMeasureFrame = 3 + kLongestFrame + 3;
constexpr size_t kImageHeader = 9;
constexpr size_t kImagePixels = size_t{kStopImageRows} * kStopImageRowLength;

INSTANTIATE_TEST_SUITE_P(
    Pty, AnswerStops,
    ::testing::Values(StopPoint{"AfterTheStartByte", false, 1},
                      StopPoint{"AfterTheLength", false, 3},
                      StopPoint{"InsideTheData", false, 3 + 9000},
                      StopPoint{"BeforeTheCrc", false, kMeasureFrame - 3},
                      StopPoint{"InsideTheCrc", false, kMeasureFrame - 1},
                      StopPoint{"ImageAfterTheRowCount", true, 3},
                      StopPoint{"ImageAfterTheHeader", true, kImageHeader},
                      StopPoint{"ImageBetweenTwoRows", true, kImageHeader + kStopImageRowLength},
                      StopPoint{"ImageInsideARow", true,
                                kImageHeader + 2 * kStopImageRowLength + 7},
                      StopPoint{"ImageBeforeTheCrc", true, kImageHeader + kImagePixels}),
    test::ParamName());

// ------------------------------------------- answers that keep flowing

// Sent in small pieces with short pauses, these answers take longer than the
// one-byte time-out in all, and arrive whole: the call must take them.
TEST_F(StoppingDevice, AMeasurementThatTricklesInForLongerThanOneSecondIsTaken) {
  constexpr uint16_t kPairs = 700;
  std::vector<uint16_t> values(2 * kPairs);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint16_t>(i * 13 % 16384);
  AnswerWith(InPieces(AnswerFrame(MeasureData(9, kPairs, values)), 50, milliseconds(25)));

  MeasureHeader header{};
  std::vector<uint16_t> received(2 * kPairs + 1, 0xEEEE);
  const auto start = Clock::now();
  ASSERT_EQ(QX318_GetMeasureEx(port_, kAddress, &header, received.data(),
                               static_cast<uint32_t>(received.size())),
            1);
  EXPECT_GT(Clock::now() - start, milliseconds(1100)) << "the answer did not trickle";
  EXPECT_EQ(header.lead_byte, 9);
  EXPECT_EQ(header.pair_count, kPairs);
  received.pop_back();
  EXPECT_EQ(received, values);
}

TEST_F(StoppingDevice, AnImageRowThatTricklesInForLongerThanOneSecondIsTaken) {
  const ImageAnswerFields fields = PatternImage(1, 3000, 3, 7);
  AnswerWith(InPieces(ImageAnswer(fields), 50, milliseconds(25)));

  ImageHeader header{};
  std::vector<uint8_t> pixels(fields.pixels.size());
  ASSERT_EQ(QX318_GetImageEx(port_, kAddress, &header, pixels.data(),
                             static_cast<uint32_t>(pixels.size())),
            1);
  EXPECT_EQ(header.row_count, 1);
  EXPECT_EQ(header.row_length, 3000);
  EXPECT_EQ(pixels, fields.pixels);
}

// ------------------------------------------- the start-byte hunt's time bound

struct SlowNoise {
  const char *name;
  std::vector<Chunk> chunks;
};

void PrintTo(const SlowNoise &noise, std::ostream *out) { *out << noise.name; }

std::vector<SlowNoise> SlowNoises() {
  std::vector<Chunk> steady;
  for (int i = 0; i < 50; ++i) steady.push_back({Bytes{0xFF}, milliseconds(60)});
  return {
      // One noise byte shortly before the hunt's bound, then silence.
      {"OneByteJustBeforeTheBound", {{Bytes{0xC5}, milliseconds(1000)}}},
      // Noise that never stops, each byte well inside the gap.
      {"SteadyTrickle", steady},
  };
}

class HuntTimeBound : public StoppingDevice, public ::testing::WithParamInterface<SlowNoise> {};

TEST_P(HuntTimeBound, EndsAboutOneByteTimeOutAfterTheRequest) {
  AnswerWith(GetParam().chunks);
  HelloAnswer answer{};
  const auto start = Clock::now();
  EXPECT_EQ(QX318_HelloCmd(port_, kAddress, &answer), 0);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, milliseconds(1000)) << "the hunt gave up before its bound";
  EXPECT_LT(took, kHuntBoundSlack);
}

INSTANTIATE_TEST_SUITE_P(Pty, HuntTimeBound, ::testing::ValuesIn(SlowNoises()), test::ParamName());

}  // namespace
}  // namespace qx318::test
