// Request and answer frames.
//
// Request: start byte (address & 0x1F), N as 2 groups, command | 0x80, the N
// data bytes | 0x80, CRC as 3 groups. The CRC covers the command byte and the
// data bytes as supplied.
//
// Answer: a start byte (bit 7 clear, value not examined), L as 2 groups, L
// data bytes, CRC as 3 groups. The CRC covers only the L data bytes with bit
// 7 cleared.
#pragma once

#include <cstdint>

#include "QX318_RS485.h"
#include "groups.h"  // same folder: the tools reach this header without a src/ path

namespace qx318 {

// A request's start byte carries the address's low 5 bits: 32 addresses.
inline constexpr uint8_t kAddressMask = 0x1F;
// The length travels as 2 groups.
inline constexpr uint32_t kMaxFrameData = kMax14BitValue;
inline constexpr uint32_t kRequestOverhead = 7;
inline constexpr uint32_t kCrcGroups = 3;

// The start-byte hunt gives up 1.1 s after it began (the one-byte read
// time-out: 1000 ms + 100 ms; each of its reads waits only for what is left
// of that) or after skipping this many marker bytes, whichever comes first,
// so that a babbling device cannot hold the caller. No real answer is
// preceded by more noise than the largest answer frame.
inline constexpr uint64_t kStartByteHuntLimitMs = 1100;
inline constexpr uint32_t kMaxSkippedNoiseBytes = kMaxFrameData + 8;

// Writes the request frame for count data bytes into out, which holds
// count + kRequestOverhead bytes; no I/O. address: low 5 bits used;
// command: low 8 bits used; data may be null when count is 0. A count above
// 16383 (or data null with a count) cannot be framed, nor any frame while the
// platform has no CRC table (port/platform.h): false, nothing written.
bool EncodeRequestFrame(int32_t address, int32_t command, const uint8_t *data, uint32_t count,
                        uint8_t *out);

// Builds the request frame and writes it (after the converter's purge).
// True when the whole frame was written. address: low 5 bits used; command:
// low 8 bits used; data may be null when count is 0. A count above 16383
// cannot be framed: false, nothing is sent.
bool SendRequest(PortHandle port, int32_t address, int32_t command, const uint8_t *data,
                 uint32_t count);

// Reads one answer frame into buffer, which holds capacity bytes (at least
// 2: the length bytes land in positions 0 and 1 first). On true the L data
// bytes, bit 7 cleared, are in positions 0..L-1 and L is in *length_out.
// An answer that declares more than capacity data bytes fails, but only
// after the rest of it (the data and the CRC groups) has been read and
// thrown away, through the buffer, under the usual bounds: a device still
// sending it would otherwise fill the next exchange's hunt with its bytes.
bool ReceiveAnswer(PortHandle port, uint8_t *buffer, uint32_t capacity, uint32_t *length_out);

// Reads byte by byte into *scratch until a start byte (bit 7 clear) arrives,
// skipping marker bytes within the limits above. False on a failed read or
// when a limit is passed.
bool HuntStartByte(PortHandle port, uint8_t *scratch);

// Reads the rest of a refused answer to its end and throws it away:
// data_count bytes, then the CRC groups, through scratch (scratch_size bytes,
// at least 1), under the usual bounds, so that a device still sending it
// does not fill the next exchange's hunt. When the exchange is traced, the
// CRC runs on over the data from crc (what the answer's covered bytes read
// so far gave), so that the trace can tell whether the answer was whole.
void DiscardAnswerRest(PortHandle port, uint64_t data_count, uint16_t crc, uint8_t *scratch,
                       uint32_t scratch_size);

// ReadPort for a field of an answer whose start byte has arrived: a short
// read is recorded as the answer cut short in that field ("length", "data",
// "CRC", or with row 3 of the pixels), with the bytes received and the time
// waited.
bool ReadAnswerField(PortHandle port, uint8_t *bytes, uint32_t count, const char *field,
                     int64_t row = -1);

// True when an answer's length is what the command expects; otherwise the
// wrong length is recorded with both figures.
bool ExpectLength(uint32_t length, uint32_t expected);

// SendRequest followed by ReceiveAnswer.
bool Exchange(PortHandle port, int32_t address, int32_t command, const uint8_t *data,
              uint32_t count, uint8_t *buffer, uint32_t capacity, uint32_t *length_out);

}  // namespace qx318
