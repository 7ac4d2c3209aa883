// What an open port is to the POSIX converter: one transport per handle, a
// serial device (serial_transport.h) or a serial port served over the
// network (network_port.h). The converter's operations lease the handle and
// call its transport once; no operation asks which kind it is.
//
// Each operation's contract says whether it blocks, how it fails and what it
// records (SetConverterFailure) when it does.
#pragma once

#include <cstdint>

#include "port/converter.h"
#include "port/posix/timed_io.h"

namespace qx318::posix {

class Transport {
 public:
  virtual ~Transport() = default;

  // Reads up to count bytes; blocks at most as the read time-outs allow
  // (timed_io.h), plus what the transport adds to them. A short count
  // without failure is a time-out and records nothing; failed means the
  // port is gone (hung up, connection lost) and records why.
  virtual TransferResult Read(uint8_t *bytes, uint32_t count, const CommTimeouts &timeouts) = 0;
  // Writes count bytes; blocks at most as the write time-outs allow (a
  // transport that cannot wait for ever bounds the wait without them).
  // Short and failed as for Read.
  virtual TransferResult Write(const uint8_t *bytes, uint32_t count,
                               const CommTimeouts &timeouts) = 0;
  // The line settings in force; does not block. False, recording nothing,
  // when the port cannot tell.
  virtual bool LineSettings(Dcb *dcb) = 0;
  // Applies rate, framing, flow control and modem lines (the rate is not 0:
  // the converter refuses that first); a served port waits, bounded, for the
  // server to confirm. A framing that is not offered (dcb_rules.h) fails
  // without a record, as does a terminal that cannot be read; a refused rate
  // or setting records why.
  virtual bool ApplyLineSettings(const Dcb &dcb) = 0;
  // Discards what was received and not yet read, never what waits to go
  // out; a served port may start a fresh connection for it (bounded). False,
  // recording nothing, when the port could not be purged.
  virtual bool PurgeReceived() = 0;
  // Releases the port; called once, when no operation uses it any more, and
  // bounded. False when the system reported an error on closing; records
  // nothing.
  virtual bool Close() = 0;
};

}  // namespace qx318::posix
