// The Telnet side of an rfc2217:// port: escaping outgoing data, taking the
// incoming stream apart into data bytes and Telnet commands, and the com port
// control option's commands (RFC 2217) that carry line settings and purges.
// No sockets here: the network port feeds bytes in and sends what comes out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx318::telnet {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kOptionBinary = 0;
inline constexpr uint8_t kOptionEcho = 1;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
inline constexpr uint8_t kOptionComPort = 44;

// Com port control commands as the client sends them; the server answers
// each with the same command plus kServerOffset and the value it now uses.
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kParityOdd = 2;
inline constexpr uint8_t kParityEven = 3;
inline constexpr uint8_t kStopBitsOne = 1;
inline constexpr uint8_t kStopBitsTwo = 2;
inline constexpr uint8_t kControlNoFlowControl = 1;
inline constexpr uint8_t kControlXonXoff = 2;
inline constexpr uint8_t kControlHardware = 3;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;
inline constexpr uint8_t kPurgeReceiveBuffer = 1;

// The longest command this file builds: IAC SB 44 cmd, a 4-byte value with
// every byte doubled, IAC SE.
inline constexpr size_t kLongestCommand = 4 + 8 + 2;

// What a client says first: it will send com port commands and wants binary
// transmission both ways, so that no byte is given a Telnet meaning except
// IAC.
inline constexpr uint8_t kClientGreeting[] = {
    kIac, kWill, kOptionComPort, kIac, kWill, kOptionBinary, kIac, kDo, kOptionBinary};

// Writes a com port command with a one-byte value into out (at least
// kLongestCommand bytes); returns the length.
size_t ComPortCommand(uint8_t command, uint8_t value, uint8_t *out);
// The same with a 4-byte value in network order (the baud rate).
size_t ComPortCommand32(uint8_t command, uint32_t value, uint8_t *out);

// Escapes data for the stream: every 255 is sent twice. Encodes from data
// until out (out_size bytes) is full or data ends; returns the number of
// data bytes taken and stores the bytes written in *out_count. Bytes whose
// escape does not fit whole are left for the next call.
size_t Escape(const uint8_t *data, size_t count, uint8_t *out, size_t out_size, size_t *out_count);

// The last value the server reported for each com port setting; -1 until it
// reported one.
struct ComPortReport {
  int64_t baud_rate = -1;
  int data_size = -1;
  int parity = -1;
  int stop_size = -1;
  int flow_control = -1;  // outbound flow control: none, XON/XOFF or hardware
};

// Takes the server's stream apart. Data bytes go to the caller's buffer;
// negotiation requests are answered (replies collect in reply() until the
// caller sends them and calls ClearReply()); com port answers update
// report(). Keeps its state between calls, so a command split across two
// receives is understood.
class Decoder {
 public:
  Decoder();

  // Decodes count bytes of input; data bytes go to data (room for at least
  // count bytes). Returns the number of data bytes.
  size_t Feed(const uint8_t *input, size_t count, uint8_t *data);

  const uint8_t *reply() const { return reply_; }
  size_t reply_size() const { return reply_size_; }
  void ClearReply() { reply_size_ = 0; }

  const ComPortReport &report() const { return report_; }
  // Forgets the reported values, before new settings are sent.
  void ForgetReport() { report_ = ComPortReport{}; }
  // The server said it does not take com port commands.
  bool com_port_refused() const { return com_port_refused_; }
  // The server said it does take them.
  bool com_port_accepted() const { return com_port_accepted_; }

 private:
  enum class State { kData, kAfterIac, kOption, kSub, kSubAfterIac };
  void Negotiate(uint8_t verb, uint8_t option);
  void EndSubnegotiation();
  void Reply(uint8_t verb, uint8_t option);
  static bool WeOffer(uint8_t option);
  static bool WeAccept(uint8_t option);

  State state_ = State::kData;
  uint8_t verb_ = 0;
  uint8_t sub_[32] = {};
  size_t sub_size_ = 0;
  uint8_t reply_[96] = {};
  size_t reply_size_ = 0;
  // Options we said WILL (we_will_) and DO (we_do_) for, so that no request
  // is answered twice and no answer loop starts.
  bool we_will_[256] = {};
  bool we_do_[256] = {};
  bool com_port_refused_ = false;
  bool com_port_accepted_ = false;
  ComPortReport report_;
};

}  // namespace qx318::telnet
