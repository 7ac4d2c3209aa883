// An answer the library refuses because it would not fit (an image larger
// than the capacity given to QX318_GetImageEx, an answer frame longer than
// the command's buffer) is read to its declared end and discarded before
// the call returns 0: the caller's outputs stay untouched, and the very next
// call finds a quiet bus even when the refused answer was still on its way.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "QX318_RS485.h"
#include "param_name.h"
#include "port_on_pty.h"
#include "pty_device.h"
#include "wire_oracle.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kAddress = 1;
// Far above what draining these answers takes, far below the time-outs an
// undrained answer would cost the calls after it.
constexpr milliseconds kNoHang{8000};

// A hello answer with value1 318 and value2 12.
Bytes HelloData() {
  Bytes data = Groups(318, 2);
  data.push_back(12);
  data.resize(15, 0x11);
  return data;
}

struct RefusedCase {
  const char *name;
  uint8_t command;                 // the request the long answer goes to
  std::vector<Chunk> (*answer)();  // what the device sends for it
  // Makes the call with outputs it owns; true when it failed and left them
  // as they were.
  std::function<bool(PortHandle)> refused_untouched;
};

void PrintTo(const RefusedCase &c, std::ostream *out) { *out << c.name; }

// The long answers below come in pieces, so that the device is still sending
// when a refusing call returns, unless that call read the answer to its end.

// A 200 x 1000 image, one row every 4 ms: about 0.8 s on the wire, far more
// noise bytes than a start-byte hunt skips.
std::vector<Chunk> LargeImage() {
  return InPieces(ImageAnswer(PatternImage(200, 1000, 1, 7)), 1000, milliseconds(4));
}

// The longest answer frame there is, 16383 data bytes over about 1.3 s.
std::vector<Chunk> LongestFrame() {
  return InPieces(AnswerFrame(Bytes(16383, 0x2A)), 500, milliseconds(40));
}

// 5000 data bytes for a 1024-byte buffer, over about 1.2 s.
std::vector<Chunk> LongAngleAnswer() {
  return InPieces(AnswerFrame(Bytes(5000, 0x05)), 200, milliseconds(50));
}

// 200 data bytes for the 128-byte hello buffer, at once.
std::vector<Chunk> LongHelloAnswer() { return {{AnswerFrame(Bytes(200, 0x01)), milliseconds(0)}}; }

bool ImageRefusedUntouched(PortHandle port) {
  constexpr size_t kCapacity = 1000;  // one row of 200
  constexpr size_t kGuard = 64;
  ImageHeader header{0x1111, 0x2222, 0x3333, 0x4444};
  std::vector<uint8_t> pixels(kCapacity + kGuard, 0xEE);
  const int32_t result = QX318_GetImageEx(port, kAddress, &header, pixels.data(), kCapacity);
  const ImageHeader zero{};
  return result == 0 && std::memcmp(&header, &zero, sizeof header) == 0 &&
         pixels == std::vector<uint8_t>(kCapacity + kGuard, 0xEE);
}

bool ParameterRefusedUntouched(PortHandle port) {
  uint16_t value = 0xBEEF;
  return QX318_ReadParameter(port, kAddress, 0x0205, &value) == 0 && value == 0xBEEF;
}

bool AngleRefusedUntouched(PortHandle port) {
  int32_t value = 0x5A5A5A5A;
  return QX318_GetRotateAngle(port, kAddress, &value) == 0 && value == 0x5A5A5A5A;
}

bool HelloRefusedUntouched(PortHandle port) {
  HelloAnswer answer;
  std::memset(&answer, 0xA5, sizeof answer);
  HelloAnswer before = answer;
  return QX318_HelloCmd(port, kAddress, &answer) == 0 &&
         std::memcmp(&answer, &before, sizeof answer) == 0;
}

std::vector<RefusedCase> RefusedCases() {
  return {
      {"ImageLargerThanTheCapacity", 6, LargeImage, ImageRefusedUntouched},
      {"ParameterAnswerLongerThanItsBuffer", 2, LongestFrame, ParameterRefusedUntouched},
      {"AngleAnswerLongerThanItsBuffer", 11, LongAngleAnswer, AngleRefusedUntouched},
      {"HelloAnswerLongerThanItsBuffer", 1, LongHelloAnswer, HelloRefusedUntouched},
  };
}

class RefusedAnswer : public PortOnPty<::testing::TestWithParam<RefusedCase>> {
 protected:
  void SetUp() override {
    const RefusedCase &c = GetParam();
    const auto long_answer = c.answer;
    const uint8_t refused_command = c.command;
    device_.ServeScripted([=, refused_once = false](const Bytes &request) mutable {
      const auto decoded = DecodeRequest(request);
      if (!decoded || !decoded->crc_ok) return std::vector<Chunk>{};
      if (decoded->command == refused_command && !refused_once) {
        refused_once = true;
        return long_answer();
      }
      if (decoded->command == kHello) {
        return std::vector<Chunk>{{AnswerFrame(HelloData()), milliseconds(0)}};
      }
      return std::vector<Chunk>{};
    });
    PortOnPty::SetUp();
  }
};

TEST_P(RefusedAnswer, TheNextCallAtOnceFindsAQuietBus) {
  const auto start = Clock::now();
  EXPECT_TRUE(GetParam().refused_untouched(port_)) << "not refused, or outputs written";
  EXPECT_LT(Clock::now() - start, kNoHang);

  HelloAnswer answer{};
  ASSERT_EQ(QX318_HelloCmd(port_, kAddress, &answer), 1) << "the refused answer was in the way";
  EXPECT_EQ(answer.value1, 318);
  EXPECT_EQ(answer.value2, 12);
}

INSTANTIATE_TEST_SUITE_P(Pty, RefusedAnswer, ::testing::ValuesIn(RefusedCases()),
                         test::ParamName());

}  // namespace
}  // namespace qx318::test
