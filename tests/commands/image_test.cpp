// The image answer: header words, rows read one per row, the CRC over W2-W4
// and the masked pixels, the all-zero header after any failure, and the
// capacity rule of QX318_GetImageEx.
#include <cstring>
#include <string>

#include "command_fixture.h"

namespace qx318::test {
namespace {

constexpr uint8_t kUnsetPixel = 0xEE;

// The reads of an image exchange: one byte for the start byte (more while
// noise is skipped), four 2-byte header words, one read per row, the CRC.
std::vector<uint32_t> ImageReads(uint32_t rows, uint32_t row_length) {
  std::vector<uint32_t> reads{1, 2, 2, 2, 2};
  reads.insert(reads.end(), rows, row_length);
  reads.push_back(3);
  return reads;
}

ImageHeader SentinelHeader() { return ImageHeader{0x1111, 0x2222, 0x3333, 0x4444}; }

bool IsAllZero(const ImageHeader &h) {
  return h.word4 == 0 && h.word3 == 0 && h.row_length == 0 && h.row_count == 0;
}

Bytes Masked(Bytes pixels) {
  for (uint8_t &pixel : pixels) pixel &= 0x7F;
  return pixels;
}

using ImageCall = int32_t (*)(PortHandle, ImageHeader *, uint8_t *, uint32_t capacity);
int32_t CallGetImage(PortHandle p, ImageHeader *h, uint8_t *pixels, uint32_t) {
  return QX318_GetImage(p, 2, h, pixels);
}
int32_t CallGetImageEx(PortHandle p, ImageHeader *h, uint8_t *pixels, uint32_t capacity) {
  return QX318_GetImageEx(p, 2, h, pixels, capacity);
}
std::string CallName(ImageCall call) { return call == &CallGetImage ? "GetImage" : "GetImageEx"; }

struct GoodImage {
  std::string name;
  ImageAnswerFields fields;
  Bytes noise_before;
};

void PrintTo(const GoodImage &c, std::ostream *os) { *os << c.name; }

ImageAnswerFields Fields(uint16_t rows, uint16_t row_length, Bytes pixels) {
  ImageAnswerFields fields;
  fields.row_count = rows;
  fields.row_length = row_length;
  fields.word3 = 0x1ABC;
  fields.word4 = 0x0123;
  fields.pixels = std::move(pixels);
  return fields;
}

std::vector<GoodImage> GoodImages() {
  // Pixels that use bit 7: 0xFF must arrive as 0x7F.
  Bytes high{0xFF, 0x80, 0x7F, 0x00, 0xC1, 0x01};
  ImageAnswerFields noisy = Fields(2, 3, high);
  noisy.start_byte = 0x6D;
  ImageAnswerFields crc_high_bits = Fields(3, 4, PixelPattern(3, 4));
  crc_high_bits.third_crc_group_extra = 0x7C;
  ImageAnswerFields max_words = Fields(1, 5, PixelPattern(1, 5));
  max_words.word3 = 0x3FFF;
  max_words.word4 = 0x3FFF;
  return {
      {"ThreeRowsOfFour", Fields(3, 4, PixelPattern(3, 4)), {}},
      {"PixelsWithBit7AreMasked", Fields(2, 3, high), {}},
      {"NoiseBeforeTheStartByte", noisy, {0x80, 0xFF, 0x9C}},
      {"CrcBitsAbove15NotCompared", crc_high_bits, {}},
      {"FourteenBitWords", max_words, {}},
      {"OneLongRow", Fields(1, 1000, PixelPattern(1, 1000)), {}},
      {"ManyShortRows", Fields(500, 1, PixelPattern(500, 1)), {}},
      // W1 = 0: no pixel read; the CRC covers W2-W4 alone.
      {"NoRows", Fields(0, 640, {}), {}},
      // W2 = 0: every row read asks for 0 bytes and succeeds.
      {"EmptyRows", Fields(5, 0, {}), {}},
  };
}

class ImageSuccessTest : public CommandTest,
                         public ::testing::WithParamInterface<std::tuple<ImageCall, GoodImage>> {};

TEST_P(ImageSuccessTest, DeliversHeaderAndMaskedPixelsReadOneRowAtATime) {
  const auto &[call, c] = GetParam();
  Bytes wire = c.noise_before;
  const Bytes answer = ImageAnswer(c.fields);
  wire.insert(wire.end(), answer.begin(), answer.end());
  Answer(wire);
  const size_t pixel_count = c.fields.pixels.size();
  GuardedBuffer<uint8_t> pixels(pixel_count, kUnsetPixel);
  ImageHeader header = SentinelHeader();

  ASSERT_EQ(call(port(), &header, pixels.data(), static_cast<uint32_t>(pixel_count)), 1);
  EXPECT_EQ(header.word4, c.fields.word4);
  EXPECT_EQ(header.word3, c.fields.word3);
  EXPECT_EQ(header.row_length, c.fields.row_length);
  EXPECT_EQ(header.row_count, c.fields.row_count);
  EXPECT_EQ(pixels.contents(), Masked(c.fields.pixels));
  EXPECT_TRUE(pixels.GuardsIntact());

  std::vector<uint32_t> expected_reads(c.noise_before.size(), 1);
  const std::vector<uint32_t> image_reads = ImageReads(c.fields.row_count, c.fields.row_length);
  expected_reads.insert(expected_reads.end(), image_reads.begin(), image_reads.end());
  EXPECT_EQ(ReadCounts(), expected_reads);
}

INSTANTIATE_TEST_SUITE_P(Images, ImageSuccessTest,
                         ::testing::Combine(::testing::Values(&CallGetImage, &CallGetImageEx),
                                            ::testing::ValuesIn(GoodImages())),
                         [](const auto &case_info) {
                           return CallName(std::get<0>(case_info.param)) +
                                  std::get<1>(case_info.param).name;
                         });

// Failures at every stage of the exchange leave the header all zero, whatever
// it held before; rows that arrived stay in the pixel buffer.
struct BrokenImage {
  std::string name;
  Bytes wire;
  size_t rows_delivered;  // complete rows that reach the pixel buffer
};

void PrintTo(const BrokenImage &c, std::ostream *os) { *os << c.name; }

constexpr uint16_t kRows = 4;
constexpr uint16_t kRowLength = 6;

ImageAnswerFields GoodFields() {
  return Fields(kRows, kRowLength, PixelPattern(kRows, kRowLength));
}

Bytes Truncated(size_t keep) {
  Bytes wire = ImageAnswer(GoodFields());
  wire.resize(keep);
  return wire;
}

std::vector<BrokenImage> BrokenImages() {
  const size_t header_size = 9;  // start byte and four 2-group words
  const size_t pixels_end = header_size + kRows * kRowLength;
  ImageAnswerFields bad_crc = GoodFields();
  bad_crc.crc_xor = 0x0001;
  ImageAnswerFields w1_too_small = GoodFields();
  w1_too_small.row_count = kRows - 1;
  w1_too_small.pixels.resize((kRows - 1) * kRowLength);
  Bytes w1_too_small_wire = ImageAnswer(w1_too_small);
  // The device sends one row more than the W1 it announced; the CRC bytes
  // are then taken from that row.
  const Bytes extra_row(kRowLength, 0x85);
  w1_too_small_wire.insert(w1_too_small_wire.end() - 3, extra_row.begin(), extra_row.end());
  Bytes w1_too_large = ImageAnswer(GoodFields());
  w1_too_large[1] = static_cast<uint8_t>(0x80 | (kRows + 1));
  Bytes pixel_changed = ImageAnswer(GoodFields());
  pixel_changed[header_size + 7] ^= 0x01;
  Bytes w2_changed = ImageAnswer(GoodFields());
  w2_changed[3] ^= 0x01;  // W2 7 instead of 6: the rows no longer add up
  Bytes w3_changed = ImageAnswer(GoodFields());
  w3_changed[5] ^= 0x01;
  return {
      {"NoAnswer", {}, 0},
      {"OnlyNoise", Bytes(30, 0xA5), 0},
      {"StartByteOnly", Truncated(1), 0},
      {"W1CutShort", Truncated(2), 0},
      {"W2CutShort", Truncated(4), 0},
      {"W3CutShort", Truncated(6), 0},
      {"W4CutShort", Truncated(8), 0},
      {"FirstRowCutShort", Truncated(header_size + kRowLength - 1), 0},
      {"ThirdRowCutShort", Truncated(header_size + 2 * kRowLength + 1), 2},
      {"CrcCutShort", Truncated(pixels_end + 2), kRows},
      {"CrcWrong", ImageAnswer(bad_crc), kRows},
      {"PixelChanged", pixel_changed, 0},
      {"W2Changed", w2_changed, 0},
      {"W3Changed", w3_changed, kRows},
      {"W1SmallerThanTheRowsSent", w1_too_small_wire, kRows - 1},
      {"W1LargerThanTheRowsSent", w1_too_large, kRows},
  };
}

class ImageFailureTest : public CommandTest,
                         public ::testing::WithParamInterface<std::tuple<ImageCall, BrokenImage>> {
};

TEST_P(ImageFailureTest, LeavesTheHeaderAllZero) {
  const auto &[call, c] = GetParam();
  Answer(c.wire);
  const size_t capacity = static_cast<size_t>(kRows + 1) * kRowLength;
  GuardedBuffer<uint8_t> pixels(capacity, kUnsetPixel);
  ImageHeader header = SentinelHeader();

  EXPECT_EQ(call(port(), &header, pixels.data(), static_cast<uint32_t>(capacity)), 0);
  EXPECT_TRUE(IsAllZero(header));
  EXPECT_TRUE(pixels.GuardsIntact());
  // The rows that arrived are in place (masked or not: the CRC never came).
  const Bytes expected = PixelPattern(kRows, kRowLength);
  for (size_t i = 0; i < c.rows_delivered * kRowLength; ++i) {
    ASSERT_EQ(pixels[i] & 0x7F, expected[i]) << "pixel " << i;
  }
}

TEST_P(ImageFailureTest, FailsWhenTheRequestIsNotWrittenWithoutReading) {
  const ImageCall call = std::get<0>(GetParam());
  converter_.ShortCount(fake::Op::kWriteFile, 6);
  Answer(ImageAnswer(GoodFields()));
  GuardedBuffer<uint8_t> pixels(kRows * kRowLength, kUnsetPixel);
  ImageHeader header = SentinelHeader();
  EXPECT_EQ(call(port(), &header, pixels.data(), kRows * kRowLength), 0);
  EXPECT_TRUE(IsAllZero(header));
  EXPECT_FALSE(AnyRead());
  EXPECT_TRUE(pixels.Untouched());
}

INSTANTIATE_TEST_SUITE_P(Stages, ImageFailureTest,
                         ::testing::Combine(::testing::Values(&CallGetImage, &CallGetImageEx),
                                            ::testing::ValuesIn(BrokenImages())),
                         [](const auto &case_info) {
                           return CallName(std::get<0>(case_info.param)) +
                                  std::get<1>(case_info.param).name;
                         });

// QX318_GetImageEx checks W1 x W2 against the capacity after the header words
// and before the first row read. A refused image is read to its declared end
// (pixels and CRC) through the library's own work area and dropped: nothing
// lands in the caller's buffer, and nothing after the image is taken.
struct ImageCapacityCase {
  uint16_t rows;
  uint16_t row_length;
  uint32_t capacity;
  int32_t expected;
};

void PrintTo(const ImageCapacityCase &c, std::ostream *os) {
  *os << c.rows << "x" << c.row_length << " in " << c.capacity;
}

class ImageCapacityTest : public CommandTest,
                          public ::testing::WithParamInterface<ImageCapacityCase> {};

TEST_P(ImageCapacityTest, RefusesBeforeAnyRowReadAboveCapacity) {
  const ImageCapacityCase &c = GetParam();
  const ImageAnswerFields fields = Fields(c.rows, c.row_length, PixelPattern(c.rows, c.row_length));
  const Bytes next_answer_start{0x00};
  Bytes wire = ImageAnswer(fields);
  wire.insert(wire.end(), next_answer_start.begin(), next_answer_start.end());
  Answer(wire);
  GuardedBuffer<uint8_t> pixels(c.capacity, kUnsetPixel);
  ImageHeader header = SentinelHeader();

  ASSERT_EQ(QX318_GetImageEx(port(), 1, &header, pixels.data(), c.capacity), c.expected);
  EXPECT_TRUE(pixels.GuardsIntact());
  EXPECT_EQ(converter_.ReceivedBytesLeft(), next_answer_start.size())
      << "the image was not read exactly to its end";
  if (c.expected == 0) {
    EXPECT_TRUE(IsAllZero(header));
    EXPECT_TRUE(pixels.Untouched());
    const std::vector<uint32_t> reads = ReadCounts();
    ASSERT_GE(reads.size(), 5u);
    EXPECT_EQ(std::vector<uint32_t>(reads.begin(), reads.begin() + 5),
              (std::vector<uint32_t>{1, 2, 2, 2, 2}));
    return;
  }
  Bytes expected = Masked(fields.pixels);
  expected.resize(c.capacity, kUnsetPixel);
  EXPECT_EQ(pixels.contents(), expected);
  EXPECT_EQ(header.row_count, c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Capacities, ImageCapacityTest,
    ::testing::Values(ImageCapacityCase{3, 4, 12, 1}, ImageCapacityCase{3, 4, 13, 1},
                      ImageCapacityCase{3, 4, 11, 0}, ImageCapacityCase{3, 4, 0, 0},
                      ImageCapacityCase{0, 640, 0, 1}, ImageCapacityCase{7, 0, 0, 1},
                      ImageCapacityCase{1, 1, 0, 0}, ImageCapacityCase{200, 100, 20000, 1},
                      ImageCapacityCase{200, 100, 19999, 0},
                      ImageCapacityCase{1, 16383, 16382, 0}));

// The largest image the words can announce is refused by its size alone,
// without allocating anything for it; when nothing follows the header, the
// one read that looks for the rest ends the call.
TEST_F(CommandTest, GetImageExRefusesTheLargestAnnouncedImageFromItsHeader) {
  Bytes wire{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x80, 0x80, 0x80};
  Answer(wire);
  uint8_t pixels[16] = {};
  ImageHeader header = SentinelHeader();
  EXPECT_EQ(QX318_GetImageEx(port(), 1, &header, pixels, sizeof pixels), 0);
  EXPECT_TRUE(IsAllZero(header));
  EXPECT_EQ(ReadCounts(), (std::vector<uint32_t>{1, 2, 2, 2, 2, 1024}));
  EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + sizeof pixels), std::vector<uint8_t>(16, 0));
}

}  // namespace
}  // namespace qx318::test
