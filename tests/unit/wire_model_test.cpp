// The wire model every other test takes its expected frames from, held
// against frames written out by hand. This binary links nothing of the
// library and has no path to its headers: the model stays independent.
#include <gtest/gtest.h>

#include <string>

#include "wire_oracle.h"

namespace qx318::test {
namespace {

TEST(WireModel, CrcIsCrc16Arc) {
  const std::string digits = "123456789";
  const Bytes bytes(digits.begin(), digits.end());
  EXPECT_EQ(BitwiseCrc16(bytes), 0xBB3D);
  EXPECT_EQ(BitwiseCrc16(Bytes(bytes.begin() + 4, bytes.end()),
                         BitwiseCrc16(Bytes(bytes.begin(), bytes.begin() + 4))),
            0xBB3D)
      << "carried over from earlier bytes";
  EXPECT_EQ(BitwiseCrc16({}), 0x0000);
  EXPECT_EQ(BitwiseCrc16({0x01}), 0xC0C1);
  EXPECT_EQ(BitwiseCrc16({0x80}), 0xA001);
}

TEST(WireModel, GroupsAreSevenBitsLeastSignificantFirst) {
  EXPECT_EQ(Groups(300, 2), (Bytes{0x2C, 0x02}));
  EXPECT_EQ(Groups(0x12345678, 5), (Bytes{0x78, 0x2C, 0x51, 0x11, 0x01}));
  const Bytes all_ones(6, 0xFF);
  EXPECT_EQ(AssembleGroups(all_ones.data(), 2), 16383u) << "bit 7 is the marker";
  EXPECT_EQ(AssembleGroups(all_ones.data(), 5), 0xFFFFFFFFu) << "the fifth group's top bits";
  EXPECT_EQ(AssembleGroups(all_ones.data(), 6), 0xFFFFFFFFu) << "a sixth group carries nothing";
}

TEST(WireModel, RequestsAsWrittenOutByHand) {
  EXPECT_EQ(ExpectedRequest(1, 1), (Bytes{0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}));
  EXPECT_EQ(ExpectedRequest(33, 1), ExpectedRequest(1, 1)) << "5 address bits";
  EXPECT_EQ(ExpectedRequest(3, 2, {0x05}), (Bytes{0x03, 0x81, 0x80, 0x82, 0x85, 0xC1, 0xC7, 0x81}));
  EXPECT_EQ(ExpectedRequest(0, 4, {0x55}), (Bytes{0x00, 0x81, 0x80, 0x84, 0xD5, 0xC2, 0xFF, 0x83}));
}

TEST(WireModel, DecodesItsOwnRequestsAndRefusesMisshapenOnes) {
  const auto request = DecodeRequest(ExpectedRequest(21, 3, {0x05, 0x2C, 0x02}));
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->address, 21);
  EXPECT_EQ(request->command, 3);
  EXPECT_EQ(request->data, (Bytes{0x05, 0x2C, 0x02}));
  EXPECT_TRUE(request->crc_ok);

  EXPECT_FALSE(DecodeRequest(WithCrcGroupFlipped(ExpectedRequest(1, 1)))->crc_ok);
  EXPECT_FALSE(DecodeRequest(CutShort(ExpectedRequest(1, 1)))) << "shorter than its length";
  Bytes unmarked = ExpectedRequest(1, 2, {0x05});
  unmarked[4] = 0x05;
  EXPECT_FALSE(DecodeRequest(unmarked)) << "a data byte without the marker";
}

TEST(WireModel, AnswersAsWrittenOutByHand) {
  EXPECT_EQ(AnswerFrame({0x55}), (Bytes{0x00, 0x81, 0x80, 0xD5, 0xC0, 0xFF, 0x80}));
  EXPECT_EQ(AnswerFrame({}), (Bytes{0x00, 0x80, 0x80, 0x80, 0x80, 0x80}));
  EXPECT_EQ(AnswerFrame({0x55}, 0x6D).front(), 0x6D);
  // A measurement: lead 1, 2 pairs (100, 200) and (300, 16383).
  const Bytes data = MeasureData(1, 2, {100, 200, 300, 16383});
  EXPECT_EQ(data, (Bytes{0x01, 0x02, 0x00, 0x64, 0x00, 0x48, 0x01, 0x2C, 0x02, 0x7F, 0x7F}));
  EXPECT_EQ(AnswerFrame(data), (Bytes{0x00, 0x8B, 0x80, 0x81, 0x82, 0x80, 0xE4, 0x80, 0xC8, 0x81,
                                      0xAC, 0x82, 0xFF, 0xFF, 0xD8, 0xCA, 0x80}));
}

TEST(WireModel, ParsesAnswersAsAReaderDoes) {
  const Bytes wire = AnswerFrame({0x78, 0x2C, 0x51, 0x11, 0x01}, 0x5A);
  const auto answer = ParseAnswer(Concat({{0xFF, 0x80}, wire, {0x01, 0x02}}));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->data, (Bytes{0x78, 0x2C, 0x51, 0x11, 0x01}));
  EXPECT_TRUE(answer->crc_ok);
  EXPECT_FALSE(ParseAnswer(WithCrcGroupFlipped(wire, 2))->crc_ok);
  EXPECT_FALSE(ParseAnswer(CutShort(wire))) << "the last CRC group never came";
  EXPECT_FALSE(ParseAnswer(Concat({Bytes(kMaxSkippedNoise + 1, 0x80), wire})))
      << "noise beyond the hunt's bound";
  EXPECT_TRUE(ParseAnswer(Concat({Bytes(kMaxSkippedNoise, 0x80), wire})));
}

TEST(WireModel, HelloFieldsInTheirGroups) {
  const std::array<uint32_t, 7> values = {16383, 0x2A, 0x0FFFFFFF, 129, 0x2000, 0x55, 128};
  const Bytes data = HelloData(values);
  EXPECT_EQ(data, (Bytes{0x7F, 0x7F, 0x2A, 0x7F, 0x7F, 0x7F, 0x7F, 0x01, 0x01, 0x00, 0x40, 0x55,
                         0x00, 0x00, 0x01}));
  EXPECT_EQ(HelloValues(data), values);
}

TEST(WireModel, ImageAnswerAsWrittenOutByHand) {
  ImageAnswerFields fields;
  fields.row_count = 2;
  fields.row_length = 3;
  fields.word3 = 0x1ABC;
  fields.word4 = 0x0123;
  fields.pixels = {0x01, 0x02, 0xFF, 0x40, 0x00, 0x7F};
  const Bytes wire = ImageAnswer(fields);
  EXPECT_EQ(wire, (Bytes{0x00, 0x82, 0x80, 0x83, 0x80, 0xBC, 0xB5, 0xA3, 0x82, 0x81, 0x82, 0xFF,
                         0xC0, 0x80, 0xFF, 0xEF, 0xD3, 0x82}));

  const auto image = ParseImageAnswer(Concat({{0x80, 0x9C}, wire}));
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->words[0], 2);
  EXPECT_EQ(image->words[1], 3);
  EXPECT_EQ(image->words[2], 0x1ABC);
  EXPECT_EQ(image->words[3], 0x0123);
  EXPECT_EQ(image->pixels_at, 2 + kImageHeaderSize);
  EXPECT_EQ(image->pixel_count, 6u);
  EXPECT_TRUE(image->crc_ok);

  Bytes other_w1 = wire;
  other_w1[1] = 0x81;  // W1 1: one row, then the next row's bytes as CRC
  EXPECT_FALSE(ParseImageAnswer(other_w1)->crc_ok);
  fields.crc_xor = 0x0001;
  EXPECT_FALSE(ParseImageAnswer(ImageAnswer(fields))->crc_ok);
  EXPECT_FALSE(ParseImageAnswer(CutShort(wire))->crc_ok) << "the CRC never came";
  EXPECT_FALSE(ParseImageAnswer(Bytes(wire.begin(), wire.begin() + 8))) << "no whole header";
}

}  // namespace
}  // namespace qx318::test
