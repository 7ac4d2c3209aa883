// Every device command end to end: the library on the POSIX converter, a
// simulated device on the far side of a pseudo-terminal. Large answers must
// arrive byte for byte, and requests must reach the device whole.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "QX318_RS485.h"
#include "port_on_pty.h"
#include "pty_device.h"
#include "wire_oracle.h"

namespace qx318::test {
namespace {

using std::chrono::milliseconds;

constexpr uint16_t kMaxPairsInOneFrame = 4095;  // (16383 - 3) / 4

std::vector<uint16_t> ValuePattern(size_t count) {
  std::vector<uint16_t> values(count);
  for (size_t j = 0; j < count; ++j) values[j] = static_cast<uint16_t>((j * 2654435761u) & 0x3FFF);
  return values;
}

// Splits bytes into count chunks, each after a pause well under the port's
// 100 ms gap limit.
std::vector<Chunk> InChunks(const Bytes &bytes, size_t count, milliseconds pause) {
  return InPieces(bytes, (bytes.size() + count - 1) / count, pause, pause);
}

class CommandsOverPty : public PortOnPty<> {
 protected:
  // A device that answers requests of command with answer, sent as chunks.
  void AnswerCommand(uint8_t command, std::vector<Chunk> answer) {
    device_.ServeScripted([command, answer](const Bytes &request) {
      const auto decoded = DecodeRequest(request);
      if (!decoded || !decoded->crc_ok || decoded->command != command) return std::vector<Chunk>{};
      return answer;
    });
  }
  void AnswerCommand(uint8_t command, const Bytes &answer) {
    AnswerCommand(command, std::vector<Chunk>{Chunk{answer, milliseconds(0)}});
  }
};

// The largest measurement a frame can carry: 4095 pairs in 16383 data bytes.
TEST_F(CommandsOverPty, LargestMeasurementArrivesByteForByte) {
  const std::vector<uint16_t> values = ValuePattern(2u * kMaxPairsInOneFrame);
  AnswerCommand(kGetMeasure, AnswerFrame(MeasureData(0x3C, kMaxPairsInOneFrame, values)));

  for (const bool with_capacity : {false, true}) {
    SCOPED_TRACE(with_capacity ? "QX318_GetMeasureEx" : "QX318_GetMeasure");
    MeasureHeader header{};
    std::vector<uint16_t> out(values.size() + 8, 0xBEEF);
    const int32_t result = with_capacity ? QX318_GetMeasureEx(port_, 4, &header, out.data(),
                                                              static_cast<uint32_t>(values.size()))
                                         : QX318_GetMeasure(port_, 4, &header, out.data());
    ASSERT_EQ(result, 1);
    EXPECT_EQ(header.lead_byte, 0x3C);
    EXPECT_EQ(header.pair_count, kMaxPairsInOneFrame);
    EXPECT_EQ(std::vector<uint16_t>(out.begin(),
                                    out.begin() + static_cast<std::ptrdiff_t>(values.size())),
              values);
    EXPECT_EQ(std::vector<uint16_t>(out.end() - 8, out.end()), std::vector<uint16_t>(8, 0xBEEF));
  }
  EXPECT_EQ(device_.requests(),
            (std::vector<Bytes>{ExpectedRequest(4, kGetMeasure), ExpectedRequest(4, kGetMeasure)}));
}

// A device announcing 8000 pairs can carry only what one frame holds. The
// full frame, arriving in pieces, is read to its CRC (the reason is the
// length, not a cut or a CRC mismatch) and refused with nothing written.
TEST_F(CommandsOverPty, MeasurementPromising8000PairsIsReadWholeAndRefused) {
  constexpr uint16_t kPairs = 8000;
  const std::vector<uint16_t> carried = ValuePattern(2u * kMaxPairsInOneFrame);
  const Bytes data = MeasureData(1, kPairs, carried);
  AnswerCommand(kGetMeasure, InChunks(AnswerFrame(data), 8, milliseconds(10)));

  MeasureHeader header;
  std::memset(&header, 0xAB, sizeof header);
  std::vector<uint16_t> out(2u * kPairs, 0xBEEF);
  ASSERT_EQ(QX318_GetMeasureEx(port_, 9, &header, out.data(), 2u * kPairs), 0);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_WRONG_LENGTH);
  EXPECT_EQ(std::string(QX318_GetLastFailureDetail()),
            "answer of " + std::to_string(data.size()) + " data bytes, expected " +
                std::to_string(3 + 4 * kPairs) + " for pair count " + std::to_string(kPairs));
  EXPECT_EQ(header.lead_byte, 0xAB);
  EXPECT_EQ(header.pair_count, 0xABAB);
  EXPECT_EQ(out, std::vector<uint16_t>(2u * kPairs, 0xBEEF));
}

struct ImageDelivery {
  const char *name;
  size_t chunks;
  milliseconds pause;
};

// Keeps the test's listed name free of the struct's raw bytes.
void PrintTo(const ImageDelivery &delivery, std::ostream *out) { *out << delivery.name; }

class ImageOverPty : public CommandsOverPty,
                     public ::testing::WithParamInterface<std::tuple<bool, ImageDelivery>> {};

// 300 rows of 640 pixels, read one row per read call.
TEST_P(ImageOverPty, ImageOf300RowsArrivesByteForByte) {
  const auto &[with_capacity, delivery] = GetParam();
  ImageAnswerFields fields = PatternImage(300, 640, 0x2A5A, 0x0F0F);
  // Bit 7 is set on the wire anyway; 0xFF must arrive as 0x7F.
  fields.pixels[0] = 0xFF;
  fields.pixels.back() = 0xFF;
  AnswerCommand(kGetImage, InChunks(ImageAnswer(fields), delivery.chunks, delivery.pause));

  const size_t pixel_count = fields.pixels.size();
  Bytes pixels(pixel_count + 16, 0xEE);
  ImageHeader header{1, 2, 3, 4};
  const int32_t result = with_capacity ? QX318_GetImageEx(port_, 6, &header, pixels.data(),
                                                          static_cast<uint32_t>(pixel_count))
                                       : QX318_GetImage(port_, 6, &header, pixels.data());
  ASSERT_EQ(result, 1);
  EXPECT_EQ(header.row_count, 300);
  EXPECT_EQ(header.row_length, 640);
  EXPECT_EQ(header.word3, 0x2A5A);
  EXPECT_EQ(header.word4, 0x0F0F);
  Bytes expected = fields.pixels;
  for (uint8_t &pixel : expected) pixel &= 0x7F;
  expected.resize(pixel_count + 16, 0xEE);
  EXPECT_EQ(pixels, expected);
  EXPECT_EQ(device_.requests(), std::vector<Bytes>{ExpectedRequest(6, kGetImage)});
}

INSTANTIATE_TEST_SUITE_P(
    Deliveries, ImageOverPty,
    ::testing::Combine(::testing::Bool(),
                       ::testing::Values(ImageDelivery{"AtOnce", 1, milliseconds(0)},
                                         ImageDelivery{"InPausedPieces", 6, milliseconds(20)})),
    [](const auto &case_info) {
      return std::string(std::get<0>(case_info.param) ? "GetImageEx" : "GetImage") +
             std::get<1>(case_info.param).name;
    });

// A refused image leaves its bytes behind; the next exchange's purge and
// start-byte hunt must get past them.
TEST_F(CommandsOverPty, RefusedImageDoesNotDisturbTheNextExchange) {
  ImageAnswerFields fields;
  fields.row_count = 10;
  fields.row_length = 10;
  fields.pixels = PixelPattern(10, 10);
  const Bytes image = ImageAnswer(fields);
  const Bytes value = AnswerFrame({0x78, 0x2C, 0x51, 0x11, 0x01});
  device_.Serve([image, value](const Bytes &request) {
    const auto decoded = DecodeRequest(request);
    if (!decoded || !decoded->crc_ok) return Bytes{};
    return decoded->command == kGetImage ? image : value;
  });

  Bytes pixels(50, 0xEE);
  ImageHeader header{1, 2, 3, 4};
  EXPECT_EQ(QX318_GetImageEx(port_, 1, &header, pixels.data(), 50), 0);
  EXPECT_EQ(header.row_count, 0);
  EXPECT_EQ(pixels, Bytes(50, 0xEE));

  int32_t angle = 0;
  ASSERT_EQ(QX318_GetRotateAngle(port_, 1, &angle), 1);
  EXPECT_EQ(angle, 0x12345678);
}

// A device that keeps its parameters: each write must arrive whole before the
// read that follows at once, or the device would answer with a stale value
// (or take the read's bytes as the rest of the write).
// Only the device thread touches the stored values.
PtyDevice::Handler ParameterDevice() {
  return [values = std::map<uint8_t, uint32_t>()](const Bytes &request) mutable {
    const auto decoded = DecodeRequest(request);
    if (!decoded || !decoded->crc_ok || decoded->data.empty()) return Bytes{};
    const uint8_t number = decoded->data[0];
    if (decoded->command == kWriteParameter) {
      values[number] = AssembleGroups(decoded->data.data() + 1, decoded->data.size() - 1);
      return Bytes{};
    }
    if (decoded->command != kReadParameter) return Bytes{};
    return AnswerFrame(Groups(values[number], 3));
  };
}

TEST_F(CommandsOverPty, WriteFollowedAtOnceByReadReachesTheDeviceWhole) {
  device_.Serve(ParameterDevice());

  std::vector<Bytes> expected_requests;
  for (uint16_t round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const auto number = static_cast<uint8_t>(round % 7 + 1);
    const auto code = static_cast<ParameterCode>(0x0300 | number);
    const auto value = static_cast<uint16_t>(0x9E37u * (round + 1u));
    ASSERT_EQ(QX318_WriteParameter(port_, 5, code, value), 1);
    uint16_t read_back = 0;
    ASSERT_EQ(QX318_ReadParameter(port_, 5, code, &read_back), 1);
    EXPECT_EQ(read_back, value);
    Bytes write_data{number};
    for (uint8_t group : Groups(value, 3)) write_data.push_back(group);
    expected_requests.push_back(ExpectedRequest(5, kWriteParameter, write_data));
    expected_requests.push_back(ExpectedRequest(5, kReadParameter, {number}));
  }
  EXPECT_EQ(device_.requests(), expected_requests);
}

// One session through every command, each answered as a device would.
TEST_F(CommandsOverPty, EveryCommandInOneSession) {
  const Bytes hello_data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                            0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  ImageAnswerFields image;
  image.row_count = 2;
  image.row_length = 3;
  image.pixels = {1, 2, 3, 4, 5, 6};
  device_.Serve([hello_data, image](const Bytes &request) -> Bytes {
    const auto decoded = DecodeRequest(request);
    if (!decoded || !decoded->crc_ok) return {};
    switch (decoded->command) {
      case kHello:
        return AnswerFrame(hello_data);
      case kReadParameter:
        return AnswerFrame({0x2C, 0x02});
      case kParamsFlash:
      case kAngleFlash:
        return AnswerFrame(decoded->data);
      case kGetMeasure:
        return AnswerFrame(MeasureData(7, 1, {100, 200}));
      case kGetImage:
        return ImageAnswer(image);
      case kRotateAxisXY:
        return AnswerFrame({0x7F, 0x7F, 0x7F, 0x7F, 0x0F});
      case kGetRotateAngle:
        return AnswerFrame({0x78, 0x2C, 0x51, 0x11, 0x01});
      default:
        return {};
    }
  });

  HelloAnswer hello{};
  EXPECT_EQ(QX318_HelloCmd(port_, 2, &hello), 1);
  EXPECT_EQ(hello.value7, 0x0E | 0x0F << 7);
  uint16_t parameter = 0;
  EXPECT_EQ(QX318_ReadParameter(port_, 2, 0x0205, &parameter), 1);
  EXPECT_EQ(parameter, 300);
  EXPECT_EQ(QX318_WriteParameter(port_, 2, 0x0205, 300), 1);
  EXPECT_EQ(QX318_FlushParamsToFlash(port_, 2), 1);
  EXPECT_EQ(QX318_RestoreParamsFromFlash(port_, 2), 1);
  MeasureHeader measure{};
  uint16_t values[2] = {};
  EXPECT_EQ(QX318_GetMeasure(port_, 2, &measure, values), 1);
  EXPECT_EQ(values[1], 200);
  EXPECT_EQ(QX318_LockResult(port_, 2), 1);
  ImageHeader image_header{};
  uint8_t pixels[6] = {};
  EXPECT_EQ(QX318_GetImage(port_, 2, &image_header, pixels), 1);
  EXPECT_EQ(pixels[5], 6);
  int32_t rotation = 0;
  EXPECT_EQ(QX318_RotateAxisXY(port_, 2, &rotation), 1);
  EXPECT_EQ(rotation, -1);
  EXPECT_EQ(QX318_GetRotateAngle(port_, 2, &rotation), 1);
  EXPECT_EQ(rotation, 0x12345678);
  EXPECT_EQ(QX318_FlushAngleToFlash(port_, 2), 1);
  EXPECT_EQ(QX318_RestoreAngleFromFlash(port_, 2), 1);

  // The unanswered commands are written whole too: the device saw each
  // request exactly as sent.
  ASSERT_TRUE(device_.WaitForRequests(12, milliseconds(5000)));
  EXPECT_EQ(device_.requests(),
            (std::vector<Bytes>{
                ExpectedRequest(2, kHello), ExpectedRequest(2, kReadParameter, {0x05}),
                ExpectedRequest(2, kWriteParameter, {0x05, 0x2C, 0x02}),
                ExpectedRequest(2, kParamsFlash, {0x55}), ExpectedRequest(2, kParamsFlash, {0x33}),
                ExpectedRequest(2, kGetMeasure), ExpectedRequest(2, kLockResult),
                ExpectedRequest(2, kGetImage), ExpectedRequest(2, kRotateAxisXY),
                ExpectedRequest(2, kGetRotateAngle), ExpectedRequest(2, kAngleFlash, {0x55}),
                ExpectedRequest(2, kAngleFlash, {0x33})}));
}

}  // namespace
}  // namespace qx318::test
