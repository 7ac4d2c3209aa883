// The two transfer primitives on which the whole protocol rests.
#pragma once

#include <cstdint>

#include "QX318_RS485.h"
#include "port/platform.h"  // the clock and heap the exchanges above rely on

namespace qx318 {

// The time-outs every port gets at open, in milliseconds.
inline constexpr uint32_t kReadIntervalTimeoutMs = 100;
inline constexpr uint32_t kReadTotalTimeoutMultiplierMs = 100;
inline constexpr uint32_t kReadTotalTimeoutConstantMs = 1000;
inline constexpr uint32_t kQueueSize = 1024;

// The longest a read waits for a byte that does not come: what a read of one
// byte waits under the time-outs set at open (1000 + 100 x 1 ms).
inline constexpr uint32_t kFirstByteWaitMs =
    kReadTotalTimeoutConstantMs + kReadTotalTimeoutMultiplierMs;

// Purges the converter (its result is not examined), then writes the whole
// buffer in one call. True when the converter reports exactly count bytes
// written.
bool WritePort(PortHandle port, const uint8_t *bytes, uint32_t count);

// How reads wait.
//
// A read of n bytes may take 1000 + 100 x n ms in all, and fails when 100 ms
// pass between two of its bytes: the rules of the time-outs set at open. Left
// to the converter in one call, though, those time-outs would also let the
// first byte take up to 1000 + 100 x n ms, so a device that sends a header
// and falls silent would hold the call for minutes. And the converter starts
// its 100 ms gap only once a read has received a byte, so no setting of a
// single call bounds that first wait without also bounding the whole read.
//
// So a read goes to the converter in pieces. Before each piece the read
// time-outs are set to: gap 100 ms, no per-byte allowance, and a total of
// 1100 ms or what is left of the read's 1000 + 100 x n ms, whichever is less.
// A piece therefore ends when its bytes are in, after a 100 ms gap once bytes
// flow, or after its total with no byte at all. The read
//  - succeeds when all n bytes are in;
//  - fails when a piece brings no byte (none came within 1.1 s, or the
//    read's own total ran out), or stops short before its total (the gap);
//  - goes on with the next piece when a piece ran its whole 1.1 s with bytes
//    still flowing: only a read longer than 1.1 s, at a slow rate or of a
//    large answer, takes more than one piece.
// No read thus waits more than 1.1 s for a byte that does not come, and an
// answer that flows keeps the rules it always had (a pause that falls exactly
// where one piece ends and the next begins meets the 1.1 s bound instead of
// the 100 ms gap). Pieces are as large as what is left to read, so a large
// answer costs a converter call per 1.1 s of traffic, never one per byte.
// Setting the time-outs before each piece works the same through every back
// end, whatever the last read left them at; the time-outs set at open are
// only ever replaced by these.

// What a read did, for the layer above to name in its own terms (the frame
// reader says which field of an answer was cut short). A read that fails
// has also recorded the port layer's own reason (no byte, or so many of so
// many bytes, or the converter's reason when it gave one).
struct ReadResult {
  bool complete;      // every byte asked for came
  uint32_t received;  // bytes that came (counts above 2^32 - 1 read as that)
  uint32_t wanted;
  // From the read's start to its end; read from the clock only when the
  // read came back short, 0 otherwise.
  uint64_t waited_ms;
  // The converter's own reason for the failure (a hang-up), or
  // QX318_FAIL_NONE when it gave none and the read simply ran out of time.
  int32_t converter_code;
};

// Reads exactly count bytes. Complete when all of them arrived within the
// bounds above; a read of 0 bytes is complete.
ReadResult ReadPort(PortHandle port, uint8_t *bytes, uint32_t count);

// As ReadPort, but the read must also end within limit_ms: a search that
// reads one byte at a time spends one limit over all its reads this way.
// Fails at once, having read nothing, when limit_ms is 0.
ReadResult ReadPortWithin(PortHandle port, uint8_t *bytes, uint32_t count, uint64_t limit_ms);

// Sees each piece of a discarded read as it lands (after the trace has its
// bytes), before the next piece takes its place in the scratch area; it may
// change them, since they are thrown away.
struct PieceObserver {
  void (*on_piece)(void *context, uint8_t *bytes, uint32_t count);
  void *context;
};

// Reads count bytes under the same bounds as ReadPort and throws them away,
// using scratch (scratch_size bytes, at least 1) for each piece: the rest of
// an answer that is refused, so that the next exchange finds a quiet line.
// Complete when all count bytes came. observer may be null.
ReadResult DiscardFromPort(PortHandle port, uint64_t count, uint8_t *scratch, uint32_t scratch_size,
                           const PieceObserver *observer = nullptr);

}  // namespace qx318
