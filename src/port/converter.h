// The seam between the library and the USB-to-serial converter.
//
// The port code (port.cpp) is the only caller of these operations. They have
// the shapes of the converter vendor's Win32-compatible calls, so that the
// Windows back end is a thin forwarder, and the other back ends imitate those
// calls faithfully: the POSIX serial back end, the null back end of a
// platform without serial support, and the test double in tests/support.
// Exactly one back end is linked into each binary; it defines Converter()
// (port/platform.h).
#pragma once

#include <cstdint>

#include "QX318_RS485.h"
#include "port/platform.h"

namespace qx318 {

using Bool32 = int32_t;  // Win32 BOOL: non-zero is success

// The Win32 DCB record, byte for byte; DCBlength holds its size.
inline constexpr uint32_t kDcbLength = 28;
struct Dcb {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t flags;  // the bit-field word, see the kDcb* masks
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;
};
static_assert(sizeof(Dcb) == kDcbLength, "Dcb must match the Win32 DCB");

// Bits of Dcb::flags.
inline constexpr uint32_t kDcbBinary = 1u << 0;
inline constexpr uint32_t kDcbParity = 1u << 1;
inline constexpr uint32_t kDcbOutxCtsFlow = 1u << 2;
inline constexpr uint32_t kDcbDtrControlMask = 3u << 4;  // 0 = DTR_CONTROL_DISABLE
inline constexpr uint32_t kDcbOutX = 1u << 8;
inline constexpr uint32_t kDcbInX = 1u << 9;
inline constexpr uint32_t kDcbRtsControlMask = 3u << 12;  // 0 = RTS_CONTROL_DISABLE
inline constexpr uint32_t kDcbRtsControlHandshake = 2u << 12;
// Bits 1-14: parity check, every kind of flow control, DTR/RTS control,
// error and null handling.
inline constexpr uint32_t kDcbBits1To14 = 0x7FFEu;

inline constexpr uint8_t kNoParity = 0;
inline constexpr uint8_t kOddParity = 1;
inline constexpr uint8_t kEvenParity = 2;
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kTwoStopBits = 2;

// The Win32 COMMTIMEOUTS record, in milliseconds.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout;
  uint32_t ReadTotalTimeoutMultiplier;
  uint32_t ReadTotalTimeoutConstant;
  uint32_t WriteTotalTimeoutMultiplier;
  uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(CommTimeouts) == 20, "CommTimeouts must match the Win32 record");

inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kFileAttributeNormal = 0x80;
inline constexpr uint32_t kOpenByDescription = 2;  // the converter's FT_OPEN_BY_DESCRIPTION

inline constexpr uint32_t kPurgeTxAbort = 0x0001;
inline constexpr uint32_t kPurgeRxAbort = 0x0002;
inline constexpr uint32_t kPurgeRxClear = 0x0008;

inline constexpr uint32_t kEventRxChar = 0x0001;
inline constexpr uint32_t kEventTxEmpty = 0x0004;

// One table of the ten converter operations. Every back end fills every
// field; a call never throws. Handles are what create_file returned.
// Failure is 0 (create_file: QX318_INVALID_PORT); a failed read or write
// still reports in *transferred what did move. read_file and write_file
// block within the time-outs described below, create_file for as long as the
// system takes to open a device; the others return without waiting for the
// line. Calls on different handles may run at once on different threads;
// calls on one handle are serialised by the library's caller.
struct ConverterBackend {
  // Opens the converter named by description. Returns the handle, or
  // QX318_INVALID_PORT when no such converter can be opened. The library
  // always passes GENERIC_READ|GENERIC_WRITE, share 0, no security,
  // OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL|open-by-description, no template;
  // description is never null.
  PortHandle (*create_file)(const char *description, uint32_t access, uint32_t share,
                            void *security, uint32_t creation, uint32_t flags, void *template_file);

  // Releases the handle and everything behind it. The result is advisory.
  Bool32 (*close_handle)(PortHandle port);

  // Reads up to count bytes. Returns when count bytes arrived or a time-out
  // set by set_comm_timeouts expired (total: constant + multiplier x count;
  // interval: the gap after a received byte), storing the number read in
  // *transferred in every case. overlapped is always null.
  Bool32 (*read_file)(PortHandle port, void *buffer, uint32_t count, uint32_t *transferred,
                      void *overlapped);

  // Writes count bytes, storing the number written in *transferred in every
  // case. Write time-outs of 0/0 mean the write waits until all is queued.
  Bool32 (*write_file)(PortHandle port, const void *buffer, uint32_t count, uint32_t *transferred,
                       void *overlapped);

  // Fills *dcb with the current line settings.
  Bool32 (*get_comm_state)(PortHandle port, Dcb *dcb);

  // Applies *dcb (baud rate, framing, flow control). Fails, changing
  // nothing, when the device refuses a setting.
  Bool32 (*set_comm_state)(PortHandle port, Dcb *dcb);

  // Sets the time-outs that read_file and write_file honour from now on.
  Bool32 (*set_comm_timeouts)(PortHandle port, CommTimeouts *timeouts);

  // Asks for receive and transmit queues of these sizes.
  Bool32 (*setup_comm)(PortHandle port, uint32_t in_queue, uint32_t out_queue);

  // Aborts or clears the queues named by the kPurge* mask. What this does to
  // received and pending bytes is each back end's documented choice.
  Bool32 (*purge_comm)(PortHandle port, uint32_t flags);

  // Selects the kEvent* events the converter reports.
  Bool32 (*set_comm_mask)(PortHandle port, uint32_t mask);
};

}  // namespace qx318
