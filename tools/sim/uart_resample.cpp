#include "sim/uart_resample.h"

#include <optional>

namespace qx318::sim {
namespace {

constexpr uint64_t kBitsPerByte = 10;  // start, 8 data, stop
constexpr uint64_t kStopBit = 9;

// The sender's line as levels over time. Time counts in units of
// 1 / (2 x sent_rate x heard_rate) seconds, so that both a sender's bit and
// half a receiver's bit are whole numbers of units and no sample point is
// rounded onto the wrong side of an edge.
class SentLine {
 public:
  SentLine(const std::vector<uint8_t> &bytes, uint64_t bit_units)
      : bytes_(bytes), bit_units_(bit_units), bit_count_(bytes.size() * kBitsPerByte) {}

  bool LevelAt(uint64_t time) const { return BitAt(time / bit_units_); }

  // The first time from `time` on at which the line is 0; none once the
  // sender has finished (the line then stays idle).
  std::optional<uint64_t> NextLow(uint64_t time) const {
    for (uint64_t bit = time / bit_units_; bit < bit_count_; ++bit) {
      if (!BitAt(bit)) return bit == time / bit_units_ ? time : bit * bit_units_;
    }
    return std::nullopt;
  }

  // The first time from `time` on at which the line is 1.
  uint64_t NextHigh(uint64_t time) const {
    uint64_t bit = time / bit_units_;
    if (BitAt(bit)) return time;
    while (!BitAt(bit)) ++bit;  // ends at the latest where the idle line begins
    return bit * bit_units_;
  }

 private:
  bool BitAt(uint64_t bit) const {
    if (bit >= bit_count_) return true;
    const uint64_t position = bit % kBitsPerByte;
    if (position == 0) return false;
    if (position == kStopBit) return true;
    return ((bytes_[bit / kBitsPerByte] >> (position - 1)) & 1U) != 0;
  }

  const std::vector<uint8_t> &bytes_;
  uint64_t bit_units_;
  uint64_t bit_count_;
};

}  // namespace

std::vector<uint8_t> HeardAtRate(const std::vector<uint8_t> &sent, uint32_t sent_rate,
                                 uint32_t heard_rate) {
  if (sent_rate == heard_rate) return sent;
  const SentLine line(sent, 2 * uint64_t{heard_rate});
  const uint64_t half = sent_rate;  // half a receiver's bit, in the line's units
  std::vector<uint8_t> heard;
  uint64_t ready = 0;
  while (const std::optional<uint64_t> start = line.NextLow(ready)) {
    if (line.LevelAt(*start + half)) {
      ready = *start + half;  // shorter than half a bit: not a start bit
      continue;
    }
    uint8_t byte = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (line.LevelAt(*start + (2 * bit + 3) * half)) byte |= static_cast<uint8_t>(1U << bit);
    }
    const uint64_t stop = *start + (2 * kStopBit + 1) * half;
    if (line.LevelAt(stop)) {
      heard.push_back(byte);
      ready = stop;
    } else {
      ready = line.NextHigh(stop);
    }
  }
  return heard;
}

}  // namespace qx318::sim
