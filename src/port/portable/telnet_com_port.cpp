#include "port/portable/telnet_com_port.h"

namespace qx318::telnet {

namespace {

size_t PutEscaped(uint8_t byte, uint8_t *out) {
  out[0] = byte;
  if (byte != kIac) return 1;
  out[1] = kIac;
  return 2;
}

size_t CommandWithValue(uint8_t command, const uint8_t *value, size_t value_size, uint8_t *out) {
  size_t n = 0;
  out[n++] = kIac;
  out[n++] = kSb;
  out[n++] = kOptionComPort;
  out[n++] = command;
  for (size_t i = 0; i < value_size; ++i) n += PutEscaped(value[i], out + n);
  out[n++] = kIac;
  out[n++] = kSe;
  return n;
}

}  // namespace

size_t ComPortCommand(uint8_t command, uint8_t value, uint8_t *out) {
  return CommandWithValue(command, &value, 1, out);
}

size_t ComPortCommand32(uint8_t command, uint32_t value, uint8_t *out) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return CommandWithValue(command, bytes, sizeof bytes, out);
}

size_t Escape(const uint8_t *data, size_t count, uint8_t *out, size_t out_size, size_t *out_count) {
  size_t taken = 0;
  size_t written = 0;
  while (taken < count) {
    const size_t need = data[taken] == kIac ? 2 : 1;
    if (written + need > out_size) break;
    written += PutEscaped(data[taken], out + written);
    ++taken;
  }
  *out_count = written;
  return taken;
}

Decoder::Decoder() {
  // What kClientGreeting announced.
  we_will_[kOptionComPort] = true;
  we_will_[kOptionBinary] = true;
  we_do_[kOptionBinary] = true;
}

// We send com port commands and binary data, and suppress go-ahead (there is
// no half-duplex terminal here to hand the turn to).
bool Decoder::WeOffer(uint8_t option) {
  return option == kOptionComPort || option == kOptionBinary || option == kOptionSuppressGoAhead;
}

// From the server we take binary data and no go-ahead; never its echo, which
// would send our requests back to us as if the device had answered.
bool Decoder::WeAccept(uint8_t option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

void Decoder::Reply(uint8_t verb, uint8_t option) {
  if (reply_size_ + 3 > sizeof reply_) return;  // a flood of requests: the rest go unanswered
  reply_[reply_size_++] = kIac;
  reply_[reply_size_++] = verb;
  reply_[reply_size_++] = option;
}

// Answers only requests that change an option's state, which is what keeps
// two Telnet ends from answering each other for ever.
void Decoder::Negotiate(uint8_t verb, uint8_t option) {
  switch (verb) {
    case kDo:
      if (option == kOptionComPort) com_port_accepted_ = true;
      if (WeOffer(option)) {
        if (!we_will_[option]) Reply(kWill, option);
        we_will_[option] = true;
      } else {
        Reply(kWont, option);
      }
      break;
    case kDont:
      if (option == kOptionComPort) com_port_refused_ = true;
      if (we_will_[option]) Reply(kWont, option);
      we_will_[option] = false;
      break;
    case kWill:
      if (WeAccept(option)) {
        if (!we_do_[option]) Reply(kDo, option);
        we_do_[option] = true;
      } else {
        Reply(kDont, option);
      }
      break;
    case kWont:
      if (we_do_[option]) Reply(kDont, option);
      we_do_[option] = false;
      break;
    default:
      break;
  }
}

void Decoder::EndSubnegotiation() {
  if (sub_size_ < 3 || sub_[0] != kOptionComPort) return;
  const uint8_t *value = sub_ + 2;
  const size_t value_size = sub_size_ - 2;
  switch (sub_[1]) {
    case kServerOffset + kSetBaudRate:
      if (value_size >= 4) {
        report_.baud_rate = int64_t{value[0]} << 24 | int64_t{value[1]} << 16 |
                            int64_t{value[2]} << 8 | int64_t{value[3]};
      }
      break;
    case kServerOffset + kSetDataSize:
      report_.data_size = value[0];
      break;
    case kServerOffset + kSetParity:
      report_.parity = value[0];
      break;
    case kServerOffset + kSetStopSize:
      report_.stop_size = value[0];
      break;
    case kServerOffset + kSetControl:
      // The same command also answers break, DTR, RTS and inbound flow
      // control settings, each in a range of values of its own.
      if (value[0] >= kControlNoFlowControl && value[0] <= kControlHardware) {
        report_.flow_control = value[0];
      }
      break;
    default:  // line and modem state notices, signatures, purge answers
      break;
  }
}

size_t Decoder::Feed(const uint8_t *input, size_t count, uint8_t *data) {
  size_t produced = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = input[i];
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          state_ = State::kAfterIac;
        } else {
          data[produced++] = byte;
        }
        break;
      case State::kAfterIac:
        if (byte == kIac) {
          data[produced++] = byte;
          state_ = State::kData;
        } else if (byte >= kWill) {
          verb_ = byte;
          state_ = State::kOption;
        } else if (byte == kSb) {
          sub_size_ = 0;
          state_ = State::kSub;
        } else {
          state_ = State::kData;  // NOP, data mark, go-ahead...: no data, nothing to do
        }
        break;
      case State::kOption:
        Negotiate(verb_, byte);
        state_ = State::kData;
        break;
      case State::kSub:
        if (byte == kIac) {
          state_ = State::kSubAfterIac;
        } else if (sub_size_ < sizeof sub_) {
          sub_[sub_size_++] = byte;
        }
        break;
      case State::kSubAfterIac:
        if (byte == kSe) {
          EndSubnegotiation();
          state_ = State::kData;
        } else {
          if (byte == kIac && sub_size_ < sizeof sub_) sub_[sub_size_++] = byte;
          state_ = State::kSub;
        }
        break;
    }
  }
  return produced;
}

}  // namespace qx318::telnet
