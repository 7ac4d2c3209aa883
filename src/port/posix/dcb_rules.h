// What a device control block asks of the line, read the same way by every
// transport: which framings are offered and when the line uses hardware
// flow control.
#pragma once

#include "port/converter.h"

namespace qx318::posix {

// Five to eight data bits with no, odd or even parity: mark and space parity
// are not offered.
inline bool IsOfferedFraming(const Dcb &dcb) {
  return dcb.ByteSize >= 5 && dcb.ByteSize <= 8 &&
         (dcb.Parity == kNoParity || dcb.Parity == kOddParity || dcb.Parity == kEvenParity);
}

// RTS follows the receive buffer's room instead of being set by the record.
inline bool UsesRtsHandshake(const Dcb &dcb) {
  return (dcb.flags & kDcbRtsControlMask) == kDcbRtsControlHandshake;
}

// CTS holds back what is sent, or RTS is the handshake: the line's hardware
// flow control, one setting on a terminal and on a served port alike.
inline bool UsesHardwareFlowControl(const Dcb &dcb) {
  return (dcb.flags & kDcbOutxCtsFlow) != 0 || UsesRtsHandshake(dcb);
}

}  // namespace qx318::posix
