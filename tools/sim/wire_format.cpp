#include "sim/wire_format.h"

#include <fmt/format.h>

#include "tool_support.h"

namespace qx318::sim {
namespace {

void AppendGroups(std::vector<uint8_t> &out, uint32_t value, unsigned count) {
  const size_t at = out.size();
  out.resize(at + count);
  EncodeMarkedGroups(value, count, out.data() + at);
}

void AppendMarked(std::vector<uint8_t> &out, const std::vector<uint8_t> &bytes) {
  for (const uint8_t b : bytes) out.push_back(static_cast<uint8_t>(b | kMarker));
}

uint16_t CrcOf(const std::vector<uint8_t> &bytes) {
  return Crc16(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<uint8_t> Masked(const std::vector<uint8_t> &bytes) {
  std::vector<uint8_t> out(bytes);
  StripMarkers(out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

std::vector<uint8_t> EncodeFrame(const Answer &answer, uint8_t start_byte) {
  const std::vector<uint8_t> data = Masked(answer.data);
  std::vector<uint8_t> out{start_byte};
  AppendGroups(out, static_cast<uint32_t>(data.size()), 2);
  AppendMarked(out, data);
  AppendGroups(out, CrcOf(data), kCrcGroups);
  return out;
}

std::vector<uint8_t> EncodeImage(const Answer &answer, uint8_t start_byte) {
  // The CRC covers W2, W3, W4 and the pixels, but not the row count W1.
  std::vector<uint8_t> covered(6);
  for (unsigned i = 0; i < 2; ++i) {
    covered[i] = Group(answer.row_length, i);
    covered[2 + i] = Group(answer.word3, i);
    covered[4 + i] = Group(answer.word4, i);
  }
  const std::vector<uint8_t> pixels = Masked(answer.data);
  uint16_t crc = CrcOf(covered);
  (void)UpdateCrc16(&crc, pixels.data(), static_cast<uint32_t>(pixels.size()));

  std::vector<uint8_t> out{start_byte};
  AppendGroups(out, answer.declared_rows, 2);
  AppendMarked(out, covered);
  AppendMarked(out, pixels);
  AppendGroups(out, crc, kCrcGroups);
  return out;
}

}  // namespace

Answer FrameAnswer(std::vector<uint8_t> data) {
  Answer answer;
  answer.data = std::move(data);
  return answer;
}

Answer ImageAnswer(uint16_t row_count, uint16_t row_length, uint16_t word3, uint16_t word4,
                   std::vector<uint8_t> pixels) {
  Answer answer;
  answer.is_image = true;
  answer.data = std::move(pixels);
  answer.row_count = row_count;
  answer.declared_rows = row_count;
  answer.row_length = row_length;
  answer.word3 = word3;
  answer.word4 = word4;
  return answer;
}

std::vector<uint8_t> EncodeAnswer(const Answer &answer, uint8_t start_byte) {
  const auto start = static_cast<uint8_t>(start_byte & kGroupMask);
  return answer.is_image ? EncodeImage(answer, start) : EncodeFrame(answer, start);
}

std::vector<uint8_t> EncodeRequest(uint8_t address, uint8_t command,
                                   const std::vector<uint8_t> &data) {
  if (data.size() > kMaxFrameData) return {};
  const auto count = static_cast<uint32_t>(data.size());
  std::vector<uint8_t> out(count + kRequestOverhead);
  if (!EncodeRequestFrame(address, command, data.data(), count, out.data())) return {};
  return out;
}

RequestParser::RequestParser(std::chrono::milliseconds gap) : gap_(gap) {}

void RequestParser::Start(uint8_t byte) {
  frame_.assign(1, byte);
  stage_ = Stage::kLength;
  data_count_ = 0;
}

RequestParser::Result RequestParser::Feed(uint8_t byte, Clock::time_point when) {
  Result result;
  const bool gap_passed = stage_ != Stage::kIdle && when - last_byte_ > gap_;
  last_byte_ = when;
  if (gap_passed || (byte & kMarker) == 0) {
    if (stage_ != Stage::kIdle) {
      result.outcome = Outcome::kRejected;
      result.reason = gap_passed ? "gap inside the frame" : "new start byte inside the frame";
      result.raw = frame_;
      stage_ = Stage::kIdle;
    }
    if ((byte & kMarker) == 0) Start(byte);
    return result;
  }
  switch (stage_) {
    case Stage::kIdle:
      return result;  // line noise between frames
    case Stage::kLength:
      frame_.push_back(byte);
      if (frame_.size() == 3) {
        data_count_ = DecodeGroups(frame_.data() + 1, 2);
        stage_ = Stage::kBody;
      }
      return result;
    case Stage::kBody:
      frame_.push_back(byte);
      if (frame_.size() == size_t{3} + 1 + data_count_ + kCrcGroups) return Finish();
      return result;
  }
  return result;
}

RequestParser::Result RequestParser::Finish() {
  Result result;
  result.raw = frame_;
  stage_ = Stage::kIdle;
  std::vector<uint8_t> covered(frame_.begin() + 3, frame_.end() - kCrcGroups);
  StripMarkers(covered.data(), static_cast<uint32_t>(covered.size()));
  const uint32_t received = DecodeGroups(frame_.data() + frame_.size() - kCrcGroups, kCrcGroups);
  if ((received & kCrcMask) != CrcOf(covered)) {
    result.outcome = Outcome::kRejected;
    result.reason = "CRC mismatch";
    return result;
  }
  result.outcome = Outcome::kRequest;
  result.request.address = static_cast<uint8_t>(frame_[0] & kAddressMask);
  result.request.command = covered[0];
  result.request.data.assign(covered.begin() + 1, covered.end());
  result.request.raw = frame_;
  return result;
}

std::string CommandName(uint8_t command) {
  switch (command) {
    case CMD_HELLO:
      return "HELLO";
    case CMD_READ_PARAMETER:
      return "READ_PARAMETER";
    case CMD_WRITE_PARAMETER:
      return "WRITE_PARAMETER";
    case CMD_PARAMS_FLASH:
      return "PARAMS_FLASH";
    case CMD_GET_MEASURE:
      return "GET_MEASURE";
    case CMD_GET_IMAGE:
      return "GET_IMAGE";
    case CMD_LOCK_RESULT:
      return "LOCK_RESULT";
    case CMD_ROTATE_AXIS_XY:
      return "ROTATE_AXIS_XY";
    case CMD_GET_ROTATE_ANGLE:
      return "GET_ROTATE_ANGLE";
    case CMD_ANGLE_FLASH:
      return "ANGLE_FLASH";
    default:
      return fmt::format("COMMAND_{}", command);
  }
}

std::string HexBytes(const std::vector<uint8_t> &bytes, size_t max_bytes) {
  std::string out;
  const size_t shown = bytes.size() < max_bytes ? bytes.size() : max_bytes;
  for (size_t i = 0; i < shown; ++i) {
    if (i != 0) out += ' ';
    out += fmt::format("{:02X}", bytes[i]);
  }
  if (shown < bytes.size()) out += fmt::format(" … ({} bytes)", bytes.size());
  return out;
}

}  // namespace qx318::sim
