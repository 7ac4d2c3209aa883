// Reads in timed pieces, on the test double: what each piece asks of the
// converter, a read held to a shorter limit, and reading to the end of an
// answer that is thrown away.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fake_converter.h"
#include "port/port.h"

namespace qx318 {
namespace {

using Bytes = std::vector<uint8_t>;
using fake::Call;
using fake::FakeConverter;
using fake::Op;

class Pieces : public ::testing::Test {
 protected:
  std::vector<uint32_t> ReadCounts() const {
    std::vector<uint32_t> counts;
    for (const Call &call : converter_.calls()) {
      if (call.op == Op::kReadFile) counts.push_back(call.count);
    }
    return counts;
  }
  std::vector<uint32_t> PieceTotals() const {
    std::vector<uint32_t> totals;
    for (const Call &call : converter_.calls()) {
      if (call.op == Op::kSetCommTimeouts) totals.push_back(call.timeouts.ReadTotalTimeoutConstant);
    }
    return totals;
  }

  FakeConverter converter_;
  PortHandle port_ = converter_.handle();
};

// The start-byte hunt spends one limit over many one-byte reads: a read held
// to less than the one-byte time-out waits only that long for its byte.
TEST_F(Pieces, AReadWithinALimitWaitsNoLongerThanTheLimit) {
  converter_.AddReceivedBytes({0x11, 0x22});
  uint8_t byte = 0;
  EXPECT_TRUE(ReadPortWithin(port_, &byte, 1, 300).complete);
  EXPECT_TRUE(ReadPortWithin(port_, &byte, 1, 5000).complete)
      << "never more than the one-byte time-out";
  EXPECT_EQ(byte, 0x22);
  const ReadResult no_time = ReadPortWithin(port_, &byte, 1, 0);
  EXPECT_FALSE(no_time.complete) << "no time left: no read";
  EXPECT_EQ(no_time.received, 0u);
  EXPECT_EQ(no_time.wanted, 1u);
  EXPECT_EQ(PieceTotals(), (std::vector<uint32_t>{300, 1100}));
  EXPECT_EQ(ReadCounts(), (std::vector<uint32_t>{1, 1}));
}

// Thrown-away bytes go through the scratch area, a piece at a time, up to the
// count and not a byte further.
TEST_F(Pieces, DiscardingReadsToTheCountThroughTheScratchArea) {
  converter_.AddReceivedBytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x00, 0x81, 0x80});
  Bytes scratch(4 + 8, 0xEE);
  EXPECT_TRUE(DiscardFromPort(port_, 10, scratch.data(), 4).complete);
  EXPECT_EQ(ReadCounts(), (std::vector<uint32_t>{4, 4, 2}));
  EXPECT_EQ(converter_.ReceivedBytesLeft(), 3u);
  EXPECT_EQ(Bytes(scratch.begin() + 4, scratch.end()), Bytes(8, 0xEE)) << "past the scratch area";
  for (uint32_t total : PieceTotals()) EXPECT_EQ(total, 1100u);
}

// The observer of a discarded read sees every piece as it landed, in order,
// before the next piece overwrites the scratch area.
TEST_F(Pieces, DiscardingShowsEachPieceToItsObserver) {
  const Bytes sent{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  converter_.AddReceivedBytes(sent);
  struct Seen {
    Bytes bytes;
    std::vector<uint32_t> pieces;
  } seen;
  const PieceObserver observer{[](void *context, uint8_t *bytes, uint32_t count) {
                                 auto &into = *static_cast<Seen *>(context);
                                 into.bytes.insert(into.bytes.end(), bytes, bytes + count);
                                 into.pieces.push_back(count);
                               },
                               &seen};
  uint8_t scratch[4] = {};
  EXPECT_TRUE(DiscardFromPort(port_, sent.size(), scratch, sizeof scratch, &observer).complete);
  EXPECT_EQ(seen.bytes, sent);
  EXPECT_EQ(seen.pieces, (std::vector<uint32_t>{4, 4, 2}));
}

TEST_F(Pieces, DiscardingFailsWhenTheBytesStop) {
  converter_.AddReceivedBytes({1, 2, 3, 4, 5, 6});
  uint8_t scratch[4] = {};
  const ReadResult read = DiscardFromPort(port_, 10, scratch, sizeof scratch);
  EXPECT_FALSE(read.complete);
  EXPECT_EQ(read.received, 6u);
  EXPECT_EQ(read.wanted, 10u);
  EXPECT_EQ(ReadCounts(), (std::vector<uint32_t>{4, 4})) << "a short piece ends the read";
  EXPECT_EQ(converter_.ReceivedBytesLeft(), 0u);
}

TEST_F(Pieces, DiscardingNothingOrWithoutScratchAsksTheConverterNothing) {
  converter_.AddReceivedBytes({1, 2, 3});
  uint8_t scratch[4] = {};
  EXPECT_TRUE(DiscardFromPort(port_, 0, scratch, sizeof scratch).complete);
  EXPECT_FALSE(DiscardFromPort(port_, 3, scratch, 0).complete);
  EXPECT_FALSE(DiscardFromPort(port_, 3, nullptr, 4).complete);
  EXPECT_TRUE(converter_.calls().empty());
}

// A converter that refuses the piece's time-outs is not read with whatever
// time-outs it has: the read fails at once.
TEST_F(Pieces, RefusedTimeOutsFailTheReadWithoutReading) {
  converter_.AddReceivedBytes({1, 2, 3});
  converter_.FailCall(Op::kSetCommTimeouts);
  uint8_t bytes[3] = {};
  const ReadResult read = ReadPort(port_, bytes, 3);
  EXPECT_FALSE(read.complete);
  EXPECT_EQ(read.received, 0u);
  EXPECT_TRUE(ReadCounts().empty());
}

}  // namespace
}  // namespace qx318
