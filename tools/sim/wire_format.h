// The simulated device's side of the wire: it parses request frames and
// encodes answer frames and image answers with the library's own CRC and
// group coding, and requests with the library's own encoder, so that both
// ends share one definition of the protocol.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qx318::sim {

using Clock = std::chrono::steady_clock;

struct Request {
  uint8_t address = 0;
  uint8_t command = 0;
  std::vector<uint8_t> data;  // bit 7 cleared
  std::vector<uint8_t> raw;   // the frame as received
};

// What the device sends back: an ordinary answer frame, or the image answer
// with its row count, row length, two device words and the pixels.
struct Answer {
  bool is_image = false;
  std::vector<uint8_t> data;  // frame data bytes, or the pixels row after row
  uint16_t row_count = 0;
  uint16_t row_length = 0;
  uint16_t word3 = 0;
  uint16_t word4 = 0;
  // The row count the image answer declares; differs from row_count only
  // when a fault makes it lie.
  uint16_t declared_rows = 0;
};

Answer FrameAnswer(std::vector<uint8_t> data);
Answer ImageAnswer(uint16_t row_count, uint16_t row_length, uint16_t word3, uint16_t word4,
                   std::vector<uint8_t> pixels);

// The bytes of an answer on the wire. The start byte is the device's
// address: any value with bit 7 clear is valid, and this one reads well in
// a trace.
std::vector<uint8_t> EncodeAnswer(const Answer &answer, uint8_t start_byte);

// The bytes of a request frame, as the host sends it (for tests and traces):
// the library's encoder. Empty for more data bytes than a frame holds.
std::vector<uint8_t> EncodeRequest(uint8_t address, uint8_t command,
                                   const std::vector<uint8_t> &data);

// Assembles request frames from the bytes of the bus, one byte at a time.
// A byte with bit 7 clear always starts a new frame, since no other byte of
// a frame can have it clear; a gap longer than the inter-byte gap abandons a
// partial frame, as a device's receiver does.
class RequestParser {
 public:
  enum class Outcome { kNothing, kRequest, kRejected };
  struct Result {
    Outcome outcome = Outcome::kNothing;
    Request request;     // with kRequest
    std::string reason;  // with kRejected
    std::vector<uint8_t> raw;
  };

  explicit RequestParser(std::chrono::milliseconds gap = std::chrono::milliseconds(100));
  Result Feed(uint8_t byte, Clock::time_point when);

 private:
  enum class Stage { kIdle, kLength, kBody };
  void Start(uint8_t byte);
  Result Finish();

  std::chrono::milliseconds gap_;
  Stage stage_ = Stage::kIdle;
  Clock::time_point last_byte_{};
  std::vector<uint8_t> frame_;
  uint32_t data_count_ = 0;
};

// "HELLO", "READ_PARAMETER", ..., or "COMMAND_7" for a code the device
// does not know.
std::string CommandName(uint8_t command);

// "03 81 80", at most max_bytes of them, then "… (N bytes)".
std::string HexBytes(const std::vector<uint8_t> &bytes, size_t max_bytes = 40);

}  // namespace qx318::sim
