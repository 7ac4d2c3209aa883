// The simulator's frame code against the byte vectors the library's own
// tests use, so that both ends of the wire agree byte for byte.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/faults.h"
#include "sim/wire_format.h"
#include "wire_oracle.h"

namespace qx318::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

struct RequestVector {
  uint8_t address;
  uint8_t command;
  Bytes data;
  Bytes wire;
};

// Stable test names: gtest would otherwise print the case's bytes.
void PrintTo(const RequestVector &v, std::ostream *os) {
  *os << "address " << int{v.address} << " command " << int{v.command};
}

class RequestVectors : public ::testing::TestWithParam<RequestVector> {};

TEST_P(RequestVectors, EncodeAndParseAgreeWithTheLibrarysFrames) {
  const RequestVector &v = GetParam();
  EXPECT_EQ(EncodeRequest(v.address, v.command, v.data), v.wire);

  RequestParser parser;
  const auto now = Clock::now();
  RequestParser::Result last;
  for (const uint8_t b : v.wire) last = parser.Feed(b, now);
  ASSERT_EQ(last.outcome, RequestParser::Outcome::kRequest);
  EXPECT_EQ(last.request.address, v.address);
  EXPECT_EQ(last.request.command, v.command);
  EXPECT_EQ(last.request.data, v.data);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, RequestVectors,
    ::testing::Values(
        RequestVector{1, 1, {}, {0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83}},
        RequestVector{3, 2, {0x05}, {0x03, 0x81, 0x80, 0x82, 0x85, 0xC1, 0xC7, 0x81}},
        RequestVector{0, 4, {0x55}, {0x00, 0x81, 0x80, 0x84, 0xD5, 0xC2, 0xFF, 0x83}},
        RequestVector{
            1, 3, {0x05, 0x2C, 0x02}, {0x01, 0x83, 0x80, 0x83, 0x85, 0xAC, 0x82, 0x8D, 0x89, 0x81}},
        RequestVector{1, 10, {}, {0x01, 0x80, 0x80, 0x8A, 0x80, 0x8F, 0x80}},
        RequestVector{1, 12, {0x55}, {0x01, 0x81, 0x80, 0x8C, 0xD5, 0xC5, 0xFF, 0x80}}));

TEST(AnswerEncoding, MatchesTheLibrarysAnswerVectors) {
  EXPECT_EQ(EncodeAnswer(FrameAnswer({0x55}), 0),
            (Bytes{0x00, 0x81, 0x80, 0xD5, 0xC0, 0xFF, 0x80}));
  EXPECT_EQ(EncodeAnswer(FrameAnswer({}), 0), (Bytes{0x00, 0x80, 0x80, 0x80, 0x80, 0x80}));
  const Bytes measurement{0x01, 0x02, 0x00, 0x64, 0x00, 0x48, 0x01, 0x2C, 0x02, 0x7F, 0x7F};
  const Bytes wire = EncodeAnswer(FrameAnswer(measurement), 0);
  EXPECT_EQ(Bytes(wire.end() - 3, wire.end()), (Bytes{0xD8, 0xCA, 0x80}));  // CRC 0x2558
}

TEST(AnswerEncoding, ImageCrcCoversTheWordsAfterTheRowCountAndThePixels) {
  // One row of two pixels; W1 is outside the CRC, so changing the declared
  // row count must leave the CRC as it is, while a pixel changes it.
  Answer image = ImageAnswer(1, 2, 3, 7, {0x10, 0x7F});
  const Bytes wire = EncodeAnswer(image, 1);
  ASSERT_EQ(wire.size(), 1u + 8 + 2 + 3);
  EXPECT_EQ(wire[0], 0x01);
  EXPECT_EQ(Bytes(wire.begin() + 1, wire.begin() + 9),
            (Bytes{0x81, 0x80, 0x82, 0x80, 0x83, 0x80, 0x87, 0x80}));
  EXPECT_EQ(Bytes(wire.begin() + 9, wire.begin() + 11), (Bytes{0x90, 0xFF}));

  image.declared_rows = 2;
  const Bytes lying = EncodeAnswer(image, 1);
  EXPECT_EQ(Bytes(lying.end() - 3, lying.end()), Bytes(wire.end() - 3, wire.end()));
  image.data[0] = 0x11;
  const Bytes changed = EncodeAnswer(image, 1);
  EXPECT_NE(Bytes(changed.end() - 3, changed.end()), Bytes(wire.end() - 3, wire.end()));
}

// The whole image frame, CRC included, against the bitwise model over the
// six header groups W2-W4 and the pixels.
TEST(AnswerEncoding, ImageFramesMatchTheBitwiseModel) {
  struct Shape {
    uint16_t rows, row_length, word3, word4;
  };
  for (const Shape &shape :
       {Shape{1, 2, 3, 7}, Shape{3, 5, 300, 7}, Shape{17, 9, 16383, 0}, Shape{0, 0, 1, 2}}) {
    SCOPED_TRACE(shape.rows * 1000 + shape.row_length);
    const Bytes pixels = test::PixelPattern(shape.rows, shape.row_length);
    test::ImageAnswerFields fields;
    fields.row_count = shape.rows;
    fields.row_length = shape.row_length;
    fields.word3 = shape.word3;
    fields.word4 = shape.word4;
    fields.pixels = pixels;
    fields.start_byte = 4;
    EXPECT_EQ(EncodeAnswer(
                  ImageAnswer(shape.rows, shape.row_length, shape.word3, shape.word4, pixels), 4),
              test::ImageAnswer(fields));
  }
}

TEST(RequestParserRobustness, SkipsNoiseRejectsBadCrcAndRestartsOnAStartByte) {
  RequestParser parser;
  const auto now = Clock::now();
  const Bytes hello{0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83};
  Bytes stream{0xFF, 0x85, 0x01, 0x80};  // noise, then half a frame cut off by a start byte
  stream.insert(stream.end(), hello.begin(), hello.end());
  Bytes corrupted = hello;
  corrupted[4] ^= 0x01;
  stream.insert(stream.end(), corrupted.begin(), corrupted.end());

  std::vector<RequestParser::Outcome> outcomes;
  for (const uint8_t b : stream) {
    const auto result = parser.Feed(b, now);
    if (result.outcome != RequestParser::Outcome::kNothing) outcomes.push_back(result.outcome);
  }
  EXPECT_EQ(outcomes, (std::vector<RequestParser::Outcome>{RequestParser::Outcome::kRejected,
                                                           RequestParser::Outcome::kRequest,
                                                           RequestParser::Outcome::kRejected}));
}

TEST(RequestParserRobustness, AGapLongerThanTheInterByteGapAbandonsTheFrame) {
  RequestParser parser(milliseconds(100));
  const auto t0 = Clock::now();
  const Bytes hello{0x01, 0x80, 0x80, 0x81, 0xC1, 0x81, 0x83};
  for (size_t i = 0; i < 4; ++i) (void)parser.Feed(hello[i], t0);
  const auto late = parser.Feed(hello[4], t0 + milliseconds(150));
  EXPECT_EQ(late.outcome, RequestParser::Outcome::kRejected);
  for (size_t i = 5; i < hello.size(); ++i) {
    EXPECT_EQ(parser.Feed(hello[i], t0 + milliseconds(150)).outcome,
              RequestParser::Outcome::kNothing);
  }
  // The same frame without the gap goes through.
  RequestParser::Result last;
  for (const uint8_t b : hello) last = parser.Feed(b, t0 + milliseconds(200));
  EXPECT_EQ(last.outcome, RequestParser::Outcome::kRequest);
}

struct RuleCase {
  const char *text;
  bool valid;
  FaultKind kind;
  uint32_t next;
  double rate;
};

void PrintTo(const RuleCase &c, std::ostream *os) { *os << c.text; }

class FaultRuleParsing : public ::testing::TestWithParam<RuleCase> {};

TEST_P(FaultRuleParsing, AcceptsKindWithNextOrRateOnly) {
  const RuleCase &c = GetParam();
  std::string error;
  const auto rule = ParseFaultRule(c.text, &error);
  ASSERT_EQ(rule.has_value(), c.valid) << c.text << ": " << error;
  if (!c.valid) {
    EXPECT_FALSE(error.empty());
    return;
  }
  EXPECT_EQ(rule->kind, c.kind);
  EXPECT_EQ(rule->next, c.next);
  EXPECT_DOUBLE_EQ(rule->rate, c.rate);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FaultRuleParsing,
    ::testing::Values(RuleCase{"corrupt-crc", true, FaultKind::kCorruptCrc, 1, 0.0},
                      RuleCase{"stall:next=3", true, FaultKind::kStall, 3, 0.0},
                      RuleCase{"no-answer:rate=0.25", true, FaultKind::kNoAnswer, 0, 0.25},
                      RuleCase{"wrong-length:rate=1", true, FaultKind::kWrongLength, 0, 1.0},
                      RuleCase{"crc", false, FaultKind::kNoAnswer, 0, 0.0},
                      RuleCase{"truncate:rate=1.5", false, FaultKind::kNoAnswer, 0, 0.0},
                      RuleCase{"truncate:next=-1", false, FaultKind::kNoAnswer, 0, 0.0},
                      RuleCase{"drop-byte:often", false, FaultKind::kNoAnswer, 0, 0.0}),
    [](const auto &param_info) {
      std::string name = param_info.param.text;
      for (char &ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(FaultInjection, TheSameSeedDamagesTheSameWay) {
  const Answer answer = FrameAnswer({1, 2, 3, 4, 5, 6, 7, 8});
  for (const FaultKind kind : {FaultKind::kDropByte, FaultKind::kTruncate}) {
    SCOPED_TRACE(FaultName(kind));
    FaultInjector a({FaultRule{kind, 1.0, 0}}, 42);
    FaultInjector b({FaultRule{kind, 1.0, 0}}, 42);
    const WireOptions wire{0, milliseconds(0), 5, milliseconds(300)};
    for (int i = 0; i < 5; ++i) {
      const Transmission ta = a.Plan(answer, 1, wire);
      EXPECT_EQ(ta.AllBytes(), b.Plan(answer, 1, wire).AllBytes());
      EXPECT_LT(ta.AllBytes().size(), EncodeAnswer(answer, 1).size() + 5);
    }
  }
}

TEST(FaultInjection, NextCountsAnswersThenStops) {
  FaultInjector faults({FaultRule{FaultKind::kNoAnswer, 0.0, 2}}, 1);
  const WireOptions wire{};
  const Answer answer = FrameAnswer({1});
  EXPECT_TRUE(faults.Plan(answer, 1, wire).segments.empty());
  EXPECT_TRUE(faults.Plan(answer, 1, wire).segments.empty());
  const Transmission clean = faults.Plan(answer, 1, wire);
  EXPECT_FALSE(clean.fault.has_value());
  EXPECT_EQ(clean.AllBytes(), EncodeAnswer(answer, 1));
}

TEST(FaultInjection, NoiseBytesCarryTheMarkerAndPrecedeTheAnswer) {
  FaultInjector faults({}, 7);
  const WireOptions wire{0, milliseconds(0), 16, milliseconds(300)};
  const Answer answer = FrameAnswer({1, 2});
  const Bytes bytes = faults.Plan(answer, 1, wire).AllBytes();
  const Bytes clean = EncodeAnswer(answer, 1);
  ASSERT_EQ(bytes.size(), clean.size() + 16);
  for (size_t i = 0; i < 16; ++i) EXPECT_NE(bytes[i] & 0x80, 0) << i;
  EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.end()), clean);
}

}  // namespace
}  // namespace qx318::sim
