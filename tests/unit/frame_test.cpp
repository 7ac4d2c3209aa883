// Frames on the test double: the request bytes, the answer reader against
// well-formed, odd and broken answers, and the checksum against the wire
// model's bitwise CRC.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_converter.h"
#include "param_name.h"
#include "port/platform.h"
#include "protocol/crc.h"
#include "wire_oracle.h"

namespace qx318 {
namespace {

using fake::FakeConverter;
using fake::Op;
using test::AnswerFrame;
using test::BitwiseCrc16;
using test::Bytes;
using test::Concat;

// ---------------------------------------------------------------- checksum

TEST(Crc, TableMatchesTheBitwiseDefinition) {
  const uint16_t *table = CrcTable();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[0], 0x0000);
  EXPECT_EQ(table[1], 0xC0C1);
  EXPECT_EQ(table[128], 0xA001);
  EXPECT_EQ(table[255], 0x4040);
  for (int i = 0; i < 256; ++i) {
    // One byte i through the register from 0 leaves exactly entry i.
    EXPECT_EQ(table[i], BitwiseCrc16({static_cast<uint8_t>(i)})) << "entry " << i;
  }
}

TEST(Crc, CheckValueOfTheNineDigits) {
  const std::string digits = "123456789";
  const auto *bytes = reinterpret_cast<const uint8_t *>(digits.data());
  EXPECT_EQ(Crc16(bytes, 9), 0xBB3D);
  uint16_t crc = 0;
  ASSERT_TRUE(UpdateCrc16(&crc, bytes, 4));
  ASSERT_TRUE(UpdateCrc16(&crc, bytes + 4, 5));
  EXPECT_EQ(crc, 0xBB3D) << "running the CRC in pieces";
}

TEST(Crc, UpdateRefusesNullPointersAndKeepsTheCrcForNoBytes) {
  const uint8_t byte = 0x42;
  uint16_t crc = 0x1234;
  EXPECT_FALSE(UpdateCrc16(nullptr, &byte, 1));
  EXPECT_FALSE(UpdateCrc16(&crc, nullptr, 1));
  EXPECT_EQ(crc, 0x1234);
  EXPECT_TRUE(UpdateCrc16(&crc, &byte, 0));
  EXPECT_EQ(crc, 0x1234);
  EXPECT_TRUE(UpdateCrc16(&crc, &byte, 1));
  EXPECT_NE(crc, 0x1234);
}

// The table-driven CRC takes the bytes in blocks and a tail; every length
// around the block size, at every offset into a block, from several running
// values, must agree with the bit-by-bit model.
Bytes CrcSample(size_t size) {
  Bytes bytes(size);
  uint32_t state = 0x2545F491u;
  for (uint8_t &byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

std::vector<size_t> CrcLengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 70; ++n) lengths.push_back(n);
  for (size_t n : {127u, 128u, 129u, 255u, 256u, 1000u, 1023u, 1024u, 1025u, 4099u, 65537u})
    lengths.push_back(n);
  return lengths;
}

TEST(Crc, AgreesWithTheBitwiseModelAtEveryLengthAndAlignment) {
  const Bytes sample = CrcSample(65537 + 16);
  for (uint16_t start : {uint16_t{0}, uint16_t{0xFFFF}, uint16_t{0x1234}}) {
    for (size_t length : CrcLengths()) {
      for (size_t offset = 0; offset < 16; ++offset) {
        const Bytes piece(sample.begin() + static_cast<std::ptrdiff_t>(offset),
                          sample.begin() + static_cast<std::ptrdiff_t>(offset + length));
        uint16_t crc = start;
        ASSERT_TRUE(UpdateCrc16(&crc, sample.data() + offset, static_cast<uint32_t>(length)));
        ASSERT_EQ(crc, test::BitwiseCrc16(piece, start))
            << "length " << length << " offset " << offset << " from " << start;
      }
    }
  }
}

TEST(Crc, PiecesOfAnyLengthAddUpToTheWhole) {
  const Bytes sample = CrcSample(5000);
  const uint16_t whole = test::BitwiseCrc16(sample);
  for (uint32_t piece : {1u, 3u, 15u, 16u, 17u, 100u, 1024u}) {
    uint16_t crc = 0;
    for (uint32_t done = 0; done < sample.size(); done += piece) {
      const uint32_t now = std::min<uint32_t>(piece, static_cast<uint32_t>(sample.size()) - done);
      ASSERT_TRUE(UpdateCrc16(&crc, sample.data() + done, now));
    }
    EXPECT_EQ(crc, whole) << "in pieces of " << piece;
  }
}

// Stripping while computing: the bytes in range lose bit 7, the CRC covers
// them as stripped, and the bytes around the range stay as they were.
TEST(Crc, StripAndUpdateClearsBit7AndCoversTheClearedBytes) {
  const Bytes sample = CrcSample(4099 + 32);
  for (size_t length : CrcLengths()) {
    if (length > 4099) continue;
    for (size_t offset : {0u, 1u, 7u, 15u}) {
      Bytes buffer = sample;
      Bytes stripped(sample.begin() + static_cast<std::ptrdiff_t>(offset),
                     sample.begin() + static_cast<std::ptrdiff_t>(offset + length));
      for (uint8_t &byte : stripped) byte &= 0x7F;
      uint16_t crc = 0x0F0F;
      ASSERT_TRUE(
          StripMarkersAndUpdateCrc16(&crc, buffer.data() + offset, static_cast<uint32_t>(length)));
      EXPECT_EQ(crc, test::BitwiseCrc16(stripped, 0x0F0F))
          << "length " << length << " offset " << offset;
      Bytes expected = sample;
      std::copy(stripped.begin(), stripped.end(),
                expected.begin() + static_cast<std::ptrdiff_t>(offset));
      ASSERT_EQ(buffer, expected) << "length " << length << " offset " << offset;
    }
  }
}

TEST(Crc, StripAndUpdateRefusesNullPointersTouchingNothing) {
  uint8_t byte = 0xC2;
  uint16_t crc = 0x1234;
  EXPECT_FALSE(StripMarkersAndUpdateCrc16(nullptr, &byte, 1));
  EXPECT_FALSE(StripMarkersAndUpdateCrc16(&crc, nullptr, 1));
  EXPECT_EQ(crc, 0x1234);
  EXPECT_EQ(byte, 0xC2);
  EXPECT_TRUE(StripMarkersAndUpdateCrc16(&crc, &byte, 0));
  EXPECT_EQ(crc, 0x1234);
  EXPECT_EQ(byte, 0xC2);
}

// ---------------------------------------------------------------- requests

struct RequestCase {
  const char *name;
  int32_t address;
  int32_t command;
  Bytes data;
  Bytes wire;
};

class RequestBytes : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestBytes, GoOutInOneWriteAfterThePurge) {
  const RequestCase &c = GetParam();
  FakeConverter converter;
  ASSERT_TRUE(SendRequest(converter.handle(), c.address, c.command,
                          c.data.empty() ? nullptr : c.data.data(),
                          static_cast<uint32_t>(c.data.size())));
  EXPECT_EQ(converter.ops(), (std::vector<Op>{Op::kPurgeComm, Op::kWriteFile}));
  ASSERT_EQ(converter.Writes().size(), 1u);
  EXPECT_EQ(converter.Writes()[0], c.wire);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, RequestBytes,
    ::testing::Values(
        RequestCase{"HelloToAddress1", 1, 1, {}, {0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}},
        RequestCase{
            "ReadParameter5", 3, 2, {0x05}, {0x03, 0x81, 0x80, 0x82, 0x85, 0xC1, 0xC7, 0x81}},
        RequestCase{"SaveToFlash", 0, 4, {0x55}, {0x00, 0x81, 0x80, 0x84, 0xD5, 0xC2, 0xFF, 0x83}},
        RequestCase{"Address33IsAddress1", 33, 1, {}, {0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}},
        RequestCase{
            "NegativeAddressKeepsLow5Bits", -1, 1, {}, {0x1F, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}},
        RequestCase{
            "CommandKeepsLow8Bits", 1, 0x301, {}, {0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}},
        // The CRC covers the command and the data as supplied, before the
        // marker.
        RequestCase{
            "DataBit7IsTheMarkerOnTheWire", 3, 2, {0x85}, test::ExpectedRequest(3, 2, {0x85})}),
    test::ParamName());

TEST(Request, LargestFrameCarriesLength16383) {
  FakeConverter converter;
  const Bytes data(16383, 0x11);
  ASSERT_TRUE(SendRequest(converter.handle(), 2, 3, data.data(), 16383));
  const Bytes wire = converter.Writes().at(0);
  ASSERT_EQ(wire.size(), 16383u + 7);
  EXPECT_EQ(wire[1], 0xFF);
  EXPECT_EQ(wire[2], 0xFF);
}

TEST(Request, UnframeableRequestsSendNothing) {
  FakeConverter converter;
  const Bytes data(16384, 0x11);
  EXPECT_FALSE(SendRequest(converter.handle(), 2, 3, data.data(), 16384));
  EXPECT_FALSE(SendRequest(converter.handle(), 2, 3, nullptr, 1));
  EXPECT_TRUE(converter.calls().empty());
}

TEST(Request, ShortWriteFails) {
  FakeConverter converter;
  converter.ShortCount(Op::kWriteFile, 6);
  EXPECT_FALSE(SendRequest(converter.handle(), 1, 1, nullptr, 0));
}

// ----------------------------------------------------------------- answers

constexpr uint32_t kCapacity = 16;
constexpr uint8_t kGuard = 0xEE;
constexpr uint32_t kUntouchedLength = 0xDEADBEEF;

class Answer : public ::testing::Test {
 protected:
  // Runs ReceiveAnswer on wire with a kCapacity buffer followed by guard
  // bytes.
  bool Receive(const Bytes &wire, uint32_t capacity = kCapacity) {
    converter_.AddReceivedBytes(wire);
    buffer_.assign(capacity + kGuardBytes, kGuard);
    length_ = kUntouchedLength;
    return ReceiveAnswer(converter_.handle(), buffer_.data(), capacity, &length_);
  }

  Bytes Data() const { return Bytes(buffer_.begin(), buffer_.begin() + length_); }

  bool GuardsIntact(uint32_t capacity = kCapacity) const {
    for (size_t i = capacity; i < buffer_.size(); ++i) {
      if (buffer_[i] != kGuard) return false;
    }
    return true;
  }

  std::vector<uint32_t> ReadCounts() const {
    std::vector<uint32_t> counts;
    for (const fake::Call &call : converter_.calls()) {
      if (call.op == Op::kReadFile) counts.push_back(call.count);
    }
    return counts;
  }

  static constexpr size_t kGuardBytes = 32;
  FakeConverter converter_;
  Bytes buffer_;
  uint32_t length_ = kUntouchedLength;
};

struct GoodAnswer {
  const char *name;
  Bytes wire;
  Bytes data;
};

class AcceptedAnswer : public Answer, public ::testing::WithParamInterface<GoodAnswer> {};

TEST_P(AcceptedAnswer, YieldsTheDataBytes) {
  const GoodAnswer &c = GetParam();
  ASSERT_TRUE(Receive(c.wire));
  EXPECT_EQ(length_, c.data.size());
  EXPECT_EQ(Data(), c.data);
  EXPECT_TRUE(GuardsIntact());
  EXPECT_EQ(converter_.ReceivedBytesLeft(), 0u) << "the whole frame is read, nothing more";
}

const Bytes kData55 = {0x55};
const Bytes kWire55 = {0x00, 0x81, 0x80, 0xD5, 0xC0, 0xFF, 0x80};  // CRC 0x3FC0
const Bytes kSixteen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x7D, 0x7E, 0x7F};

INSTANTIATE_TEST_SUITE_P(
    Frames, AcceptedAnswer,
    ::testing::Values(
        GoodAnswer{"OneDataByte", kWire55, kData55},
        GoodAnswer{"NoData", {0x00, 0x80, 0x80, 0x80, 0x80, 0x80}, {}},
        GoodAnswer{"NoiseBeforeTheStartByte", Concat({{0xFF, 0x80, 0xC3, 0xD5}, kWire55}), kData55},
        GoodAnswer{"StartByteValueIgnored", {0x7F, 0x81, 0x80, 0xD5, 0xC0, 0xFF, 0x80}, kData55},
        GoodAnswer{"LengthBytesWithoutMarker", {0x00, 0x01, 0x00, 0xD5, 0xC0, 0xFF, 0x80}, kData55},
        GoodAnswer{"CrcBytesWithoutMarker", {0x00, 0x81, 0x80, 0xD5, 0x40, 0x7F, 0x00}, kData55},
        GoodAnswer{"DataByteWithoutMarker", {0x00, 0x81, 0x80, 0x55, 0xC0, 0xFF, 0x80}, kData55},
        GoodAnswer{"SpareCrcBitsSet", {0x00, 0x81, 0x80, 0xD5, 0xC0, 0xFF, 0xFC}, kData55},
        GoodAnswer{"FillsTheBufferExactly", AnswerFrame(kSixteen), kSixteen}),
    test::ParamName());

TEST_F(Answer, NoDataLeavesTheLengthBytesInTheBuffer) {
  ASSERT_TRUE(Receive({0x00, 0x80, 0x80, 0x80, 0x80, 0x80}));
  EXPECT_EQ(length_, 0u);
  EXPECT_EQ(buffer_[0], 0x80);
  EXPECT_EQ(buffer_[1], 0x80);
}

struct BadAnswer {
  const char *name;
  Bytes wire;
};

class RejectedAnswer : public Answer, public ::testing::WithParamInterface<BadAnswer> {};

TEST_P(RejectedAnswer, FailsWithoutStoringALength) {
  EXPECT_FALSE(Receive(GetParam().wire));
  EXPECT_EQ(length_, kUntouchedLength);
  EXPECT_TRUE(GuardsIntact());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, RejectedAnswer,
    ::testing::Values(BadAnswer{"Nothing", {}}, BadAnswer{"OnlyNoise", {0x80, 0xFF, 0xC1}},
                      BadAnswer{"OnlyTheStartByte", {0x00}},
                      BadAnswer{"HalfTheLength", {0x00, 0x81}},
                      BadAnswer{"NoData", {0x00, 0x82, 0x80}},
                      BadAnswer{"PartOfTheData", {0x00, 0x82, 0x80, 0xD5}},
                      BadAnswer{"NoCrc", {0x00, 0x81, 0x80, 0xD5}},
                      BadAnswer{"PartOfTheCrc", {0x00, 0x81, 0x80, 0xD5, 0xC0, 0xFF}},
                      BadAnswer{"CrcGroup1Wrong", {0x00, 0x81, 0x80, 0xD5, 0xC1, 0xFF, 0x80}},
                      BadAnswer{"CrcGroup2Wrong", {0x00, 0x81, 0x80, 0xD5, 0xC0, 0xFE, 0x80}},
                      BadAnswer{"CrcGroup3Wrong", {0x00, 0x81, 0x80, 0xD5, 0xC0, 0xFF, 0x81}},
                      BadAnswer{"DataCorrupted", {0x00, 0x81, 0x80, 0xD4, 0xC0, 0xFF, 0x80}},
                      BadAnswer{"LengthCorrupted", {0x00, 0x82, 0x80, 0xD5, 0xC0, 0xFF, 0x80}},
                      BadAnswer{"OneMoreThanTheCapacity", AnswerFrame(Bytes(17, 0x2A))},
                      BadAnswer{"LargestDeclaredLength", {0x00, 0xFF, 0xFF, 0x81, 0x82, 0x83}}),
    test::ParamName());

// A read failing or coming up short at each stage of the frame ends the
// answer at once.
struct Stage {
  const char *name;
  int read;  // which read of the frame: start byte, length, data, CRC
  uint32_t count;
};

class BrokenRead : public Answer, public ::testing::WithParamInterface<Stage> {};

TEST_P(BrokenRead, ShortCountFails) {
  const Stage stage = GetParam();
  converter_.ShortCount(Op::kReadFile, stage.count, stage.read);
  EXPECT_FALSE(Receive(AnswerFrame({1, 2, 3})));
  EXPECT_EQ(length_, kUntouchedLength);
  EXPECT_EQ(ReadCounts().size(), static_cast<size_t>(stage.read)) << "read on after the failure";
}

TEST_P(BrokenRead, FailedCallFails) {
  const Stage stage = GetParam();
  converter_.FailCall(Op::kReadFile, stage.read);
  EXPECT_FALSE(Receive(AnswerFrame({1, 2, 3})));
  EXPECT_EQ(length_, kUntouchedLength);
  EXPECT_EQ(ReadCounts().size(), static_cast<size_t>(stage.read)) << "read on after the failure";
}

INSTANTIATE_TEST_SUITE_P(Frames, BrokenRead,
                         ::testing::Values(Stage{"StartByte", 1, 0}, Stage{"Length", 2, 1},
                                           Stage{"Data", 3, 2}, Stage{"Crc", 4, 2}),
                         test::ParamName());

TEST_F(Answer, ReadsTheFrameFieldByField) {
  ASSERT_TRUE(Receive(Concat({{0xF0, 0xF1}, AnswerFrame({1, 2, 3, 4, 5})})));
  EXPECT_EQ(ReadCounts(), (std::vector<uint32_t>{1, 1, 1, 2, 5, 3}));
}

// An oversize answer fails, but only after it has been read to its declared
// end (data and CRC) through the buffer's own room, piece by piece: nothing
// past the buffer is written, and what follows the answer stays unread.
TEST_F(Answer, OversizeAnswerIsReadToItsEndWithinTheBuffer) {
  Bytes oversize{0x00, 0x80 | (200 & 0x7F), 0x80 | (200 >> 7)};  // L = 200
  oversize.insert(oversize.end(), 200, 0xB3);
  oversize.insert(oversize.end(), {0x80, 0x80, 0x80});
  const Bytes next_answer{0x00, 0x81};
  EXPECT_FALSE(Receive(Concat({oversize, next_answer}), 128));
  EXPECT_EQ(ReadCounts(), (std::vector<uint32_t>{1, 2, 128, 75}));
  EXPECT_EQ(converter_.ReceivedBytesLeft(), next_answer.size());
  EXPECT_TRUE(GuardsIntact(128));
  EXPECT_EQ(length_, kUntouchedLength);
}

TEST_F(Answer, NoiseUpToTheBoundIsSkipped) {
  ASSERT_TRUE(Receive(Concat({Bytes(kMaxSkippedNoiseBytes, 0xFF), kWire55})));
  EXPECT_EQ(Data(), kData55);
}

TEST_F(Answer, NoiseBeyondTheBoundFails) {
  EXPECT_FALSE(Receive(Concat({Bytes(kMaxSkippedNoiseBytes + 1, 0xFF), kWire55})));
  EXPECT_EQ(length_, kUntouchedLength);
  EXPECT_EQ(ReadCounts().size(), kMaxSkippedNoiseBytes + 1) << "the hunt read past its bound";
}

TEST_F(Answer, MissingArgumentsReadNothing) {
  converter_.AddReceivedBytes(kWire55);
  uint8_t buffer[16] = {};
  uint32_t length = kUntouchedLength;
  EXPECT_FALSE(ReceiveAnswer(converter_.handle(), nullptr, 16, &length));
  EXPECT_FALSE(ReceiveAnswer(converter_.handle(), buffer, 16, nullptr));
  EXPECT_FALSE(ReceiveAnswer(converter_.handle(), buffer, 1, &length)) << "room for the length";
  EXPECT_EQ(length, kUntouchedLength);
  EXPECT_TRUE(converter_.calls().empty());
}

}  // namespace
}  // namespace qx318
