// What an open port is to the POSIX converter: one transport per handle, a
// serial device (serial_transport.h) or a serial port served over the
// network (network_port.h). The converter's operations lease the handle and
// call its transport once; no operation asks which kind it is.
//
// Every operation records why it failed (SetConverterFailure) before it
// returns false or a failed transfer, except where noted; none blocks longer
// than its time-outs or the bounds its transport names.
#pragma once

#include <cstdint>

#include "port/converter.h"
#include "port/posix/timed_io.h"

namespace qx318::posix {

class Transport {
 public:
  virtual ~Transport() = default;

  // Reads up to count bytes under the time-outs (timed_io.h). A short count
  // without failure is a time-out, which records nothing; failed means the
  // port is gone (hung up, connection lost).
  virtual TransferResult Read(uint8_t *bytes, uint32_t count, const CommTimeouts &timeouts) = 0;
  // Writes count bytes under the write time-outs; failed as for Read.
  virtual TransferResult Write(const uint8_t *bytes, uint32_t count,
                               const CommTimeouts &timeouts) = 0;
  // The line settings in force; false, recording nothing, when the port
  // cannot tell.
  virtual bool LineSettings(Dcb *dcb) = 0;
  // Applies rate, framing, flow control and modem lines (the rate is not 0:
  // the converter refuses that first). A framing that is not offered
  // (dcb_rules.h) fails without a record; so does a terminal that refuses
  // to be read.
  virtual bool ApplyLineSettings(const Dcb &dcb) = 0;
  // Discards what was received and not yet read; never what waits to go out.
  virtual bool PurgeReceived() = 0;
  // Releases the port; called once, when no operation uses it any more.
  // False when the system reported an error on closing; records nothing.
  virtual bool Close() = 0;
};

}  // namespace qx318::posix
