// What a receiver at one line rate makes of bytes sent at another: worked
// out by hand for single bytes, and for whole frames of the wire model at
// the rates a bench mixes up.
#include "sim/uart_resample.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "param_name.h"
#include "wire_oracle.h"

namespace qx318::sim {
namespace {

using Bytes = std::vector<uint8_t>;

struct HandWorked {
  std::string name;
  Bytes sent;
  uint32_t sent_rate;
  uint32_t heard_rate;
  Bytes heard;
};

void PrintTo(const HandWorked &c, std::ostream *os) { *os << c.name; }

class ResampledByHand : public ::testing::TestWithParam<HandWorked> {};

TEST_P(ResampledByHand, GivesTheBytesWorkedOutOnPaper) {
  const HandWorked &c = GetParam();
  EXPECT_EQ(HeardAtRate(c.sent, c.sent_rate, c.heard_rate), c.heard);
}

// A sender's bit at half the receiver's rate spans two of the receiver's.
INSTANTIATE_TEST_SUITE_P(Table, ResampledByHand,
                         ::testing::Values(
                             // Start bit 0 over receiver bits 0-1: data bit 0 samples it (0), the
                             // others sample the 1s of 0xFF, the stop bit at 9.5 reads data bit 3.
                             HandWorked{"FF at 9600 heard at 19200", {0xFF}, 9600, 19200, {0xFE}},
                             // Start and eight 0s are 18 receiver bits: the stop bit reads 0, a
                             // framing error, and the line then stays 1.
                             HandWorked{"00 at 9600 heard at 19200", {0x00}, 9600, 19200, {}},
                             // Sender bits 0-4 are 0, 5-9 are 1; receiver bit k's middle is sender
                             // bit 2k+1: data bit 0 at sender bit 3 reads 0, the rest 1, the stop
                             // bit falls on the idle line.
                             HandWorked{"F0 at 19200 heard at 9600", {0xF0}, 19200, 9600, {0xFE}},
                             // 0x55 alternates every sender bit: the middle of each would-be start
                             // bit is a 1, so no start bit is ever taken.
                             HandWorked{
                                 "55 55 at 19200 heard at 9600", {0x55, 0x55}, 19200, 9600, {}},
                             HandWorked{"nothing sent", {}, 9600, 115200, {}}),
                         test::ParamName());

// Within the few per cent a UART tolerates, every byte value comes through.
TEST(ResampledNearTheRate, EveryByteValueSurvivesTwoPerCent) {
  Bytes every(256);
  for (size_t i = 0; i < every.size(); ++i) every[i] = static_cast<uint8_t>(i);
  for (const auto &[sent, heard] : {std::pair{115200U, 117504U}, std::pair{117504U, 115200U},
                                    std::pair{9600U, 9408U}, std::pair{250000U, 255000U}}) {
    SCOPED_TRACE(std::to_string(sent) + " heard at " + std::to_string(heard));
    EXPECT_EQ(HeardAtRate(every, sent, heard), every);
  }
}

struct Mismatch {
  std::string name;
  uint32_t sent_rate;
  uint32_t heard_rate;
};

void PrintTo(const Mismatch &c, std::ostream *os) { *os << c.name; }

class ResampledFarFromTheRate : public ::testing::TestWithParam<Mismatch> {};

// Neither a request nor an answer of the wire model survives a wrong rate:
// what arrives differs, and no frame of it passes its CRC.
TEST_P(ResampledFarFromTheRate, NoFrameSurvives) {
  const Mismatch &c = GetParam();
  const Bytes hello = test::ExpectedRequest(1, 0x01);
  const Bytes write = test::ExpectedRequest(2, 0x03, test::Groups(0x0314, 3));
  const Bytes answer =
      test::AnswerFrame(test::HelloData({318, 12, 3180001, 120, 160, 64, 1}), 0x01);
  for (const Bytes &frame : {hello, write, answer}) {
    const Bytes heard = HeardAtRate(frame, c.sent_rate, c.heard_rate);
    EXPECT_NE(heard, frame);
    const auto request = test::DecodeRequest(heard);
    EXPECT_FALSE(request && request->crc_ok);
    const auto parsed = test::ParseAnswer(heard);
    EXPECT_FALSE(parsed && parsed->crc_ok);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ResampledFarFromTheRate,
                         ::testing::Values(Mismatch{"9600 heard at 115200", 9600, 115200},
                                           Mismatch{"115200 heard at 9600", 115200, 9600},
                                           Mismatch{"57600 heard at 115200", 57600, 115200},
                                           Mismatch{"230400 heard at 115200", 230400, 115200},
                                           Mismatch{"115200 heard at 19200", 115200, 19200},
                                           Mismatch{"19200 heard at 38400", 19200, 38400},
                                           Mismatch{"6 per cent fast", 115200, 122112},
                                           Mismatch{"10 per cent slow", 115200, 103680}),
                         test::ParamName());

}  // namespace
}  // namespace qx318::sim
