// The Telnet side of rfc2217:// ports, byte for byte as the Telnet and com
// port control documents define the stream, without a socket.
#include <gtest/gtest.h>

#include <vector>

#include "port/portable/telnet_com_port.h"

namespace qx318::telnet {
namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
  Bytes data;
  Bytes reply;
};

// Feeds the pieces one after the other, as separate receives.
Decoded FeedPieces(Decoder &decoder, const std::vector<Bytes> &pieces) {
  Decoded out;
  for (const Bytes &piece : pieces) {
    Bytes data(piece.size());
    data.resize(decoder.Feed(piece.data(), piece.size(), data.data()));
    out.data.insert(out.data.end(), data.begin(), data.end());
    out.reply.insert(out.reply.end(), decoder.reply(), decoder.reply() + decoder.reply_size());
    decoder.ClearReply();
  }
  return out;
}

TEST(TelnetDecoder, DataSurvivesEscapesAndCommandsSplitAnywhere) {
  // 01 FF(data) 80 [NOP] FF(data) [SB com port: baud 57600] 7F
  const Bytes stream = {0x01, 0xFF, 0xFF, 0x80, 0xFF, 0xF1, 0xFF, 0xFF, 0xFF, 0xFA,
                        0x2C, 0x65, 0x00, 0x00, 0xE1, 0x00, 0xFF, 0xF0, 0x7F};
  const Bytes expected = {0x01, 0xFF, 0x80, 0xFF, 0x7F};
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    Decoder decoder;
    const Decoded out = FeedPieces(decoder, {Bytes(stream.begin(), stream.begin() + cut),
                                             Bytes(stream.begin() + cut, stream.end())});
    EXPECT_EQ(out.data, expected);
    EXPECT_TRUE(out.reply.empty());
    EXPECT_EQ(decoder.report().baud_rate, 57600);
  }
}

TEST(TelnetDecoder, ComPortAnswersAreRecordedPerSetting) {
  Decoder decoder;
  // Baud 0x0003D090 = 250000 with no IAC, data size 8, parity none, stop 1,
  // control: DTR off (9) must not count as the flow control answer, then
  // no flow control (1); a baud value with a doubled FF byte inside.
  const Decoded out =
      FeedPieces(decoder, {{0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x03, 0xD0, 0x90, 0xFF, 0xF0},
                           {0xFF, 0xFA, 0x2C, 0x66, 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x67,
                            0x01, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x68, 0x01, 0xFF, 0xF0},
                           {0xFF, 0xFA, 0x2C, 0x69, 0x09, 0xFF, 0xF0}});
  EXPECT_TRUE(out.data.empty());
  EXPECT_EQ(decoder.report().baud_rate, 250000);
  EXPECT_EQ(decoder.report().data_size, 8);
  EXPECT_EQ(decoder.report().parity, kParityNone);
  EXPECT_EQ(decoder.report().stop_size, kStopBitsOne);
  EXPECT_EQ(decoder.report().flow_control, -1);
  FeedPieces(decoder, {{0xFF, 0xFA, 0x2C, 0x69, 0x01, 0xFF, 0xF0}});
  EXPECT_EQ(decoder.report().flow_control, kControlNoFlowControl);
  FeedPieces(decoder, {{0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xF0}});
  EXPECT_EQ(decoder.report().baud_rate, 0xFF);
  decoder.ForgetReport();
  EXPECT_EQ(decoder.report().baud_rate, -1);
}

struct NegotiationCase {
  const char *name;
  Bytes request;
  Bytes reply;  // what the client must answer, once
  bool accepted = false;
  bool refused = false;
};

TEST(TelnetDecoder, NegotiationAnswersOnlyChangesAndNeverTakesEcho) {
  const std::vector<NegotiationCase> cases = {
      // Already announced by the greeting: no answer, or answers would loop.
      {"do com port", {0xFF, 0xFD, 0x2C}, {}, true, false},
      {"do binary", {0xFF, 0xFD, 0x00}, {}},
      {"will binary", {0xFF, 0xFB, 0x00}, {}},
      {"will suppress go-ahead", {0xFF, 0xFB, 0x03}, {0xFF, 0xFD, 0x03}},
      {"do suppress go-ahead", {0xFF, 0xFD, 0x03}, {0xFF, 0xFB, 0x03}},
      // The server's echo would return every request as if the device spoke.
      {"will echo", {0xFF, 0xFB, 0x01}, {0xFF, 0xFE, 0x01}},
      {"do terminal type", {0xFF, 0xFD, 0x18}, {0xFF, 0xFC, 0x18}},
      {"dont com port", {0xFF, 0xFE, 0x2C}, {0xFF, 0xFC, 0x2C}, false, true},
      {"wont binary", {0xFF, 0xFC, 0x00}, {0xFF, 0xFE, 0x00}},
  };
  for (const NegotiationCase &c : cases) {
    SCOPED_TRACE(c.name);
    Decoder decoder;
    const Decoded first = FeedPieces(decoder, {c.request});
    EXPECT_EQ(first.reply, c.reply);
    EXPECT_TRUE(first.data.empty());
    EXPECT_EQ(decoder.com_port_accepted(), c.accepted);
    EXPECT_EQ(decoder.com_port_refused(), c.refused);
    // The same request again changes nothing for an option we hold, so only
    // refusals are repeated.
    const Decoded again = FeedPieces(decoder, {c.request});
    const bool refusal = !c.reply.empty() && (c.reply[1] == kDont || c.reply[1] == kWont) &&
                         c.request[1] != kDont && c.request[1] != kWont;
    EXPECT_EQ(again.reply, refusal ? c.reply : Bytes{});
  }
}

TEST(TelnetEncoder, CommandsAndEscapesAsSentOnTheWire) {
  uint8_t out[kLongestCommand] = {};
  Bytes baud(out, out + ComPortCommand32(kSetBaudRate, 115200, out));
  EXPECT_EQ(baud, (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0}));
  Bytes odd(out, out + ComPortCommand32(kSetBaudRate, 0xFF00FFFFu, out));
  EXPECT_EQ(odd,
            (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}));
  Bytes purge(out, out + ComPortCommand(kPurgeData, kPurgeReceiveBuffer, out));
  EXPECT_EQ(purge, (Bytes{0xFF, 0xFA, 0x2C, 0x0C, 0x01, 0xFF, 0xF0}));

  // A frame with 0xFF in it, through an output too small for all of it: the
  // escape of an FF is never split, and nothing is lost across calls.
  const Bytes data = {0x03, 0xFF, 0xFF, 0x81, 0xFF};
  for (size_t room = 2; room <= 9; ++room) {
    SCOPED_TRACE(room);
    Bytes wire;
    size_t taken = 0;
    while (taken < data.size()) {
      uint8_t buffer[16] = {};
      size_t written = 0;
      const size_t n = Escape(data.data() + taken, data.size() - taken, buffer, room, &written);
      ASSERT_GT(n, 0u);
      taken += n;
      wire.insert(wire.end(), buffer, buffer + written);
    }
    EXPECT_EQ(wire, (Bytes{0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0xFF, 0xFF}));
  }
}

}  // namespace
}  // namespace qx318::telnet
