/*
 * QX318_RS485: control and read QX318 measuring devices on an RS-485 bus
 * reached through a USB-to-serial converter.
 *
 * Every function is one complete request/answer exchange with one device
 * (or, for open and close, one converter port). Every function returns 1 on
 * success and 0 on failure. Why a call returned 0 is kept per thread:
 * QX318_GetLastFailure gives a stable code (the QX318_FAIL_ values below),
 * QX318_FailureText a sentence for it and QX318_GetLastFailureDetail the
 * figures (bytes received, time waited, CRC values). When the environment
 * variable QX318_TRACE names a file (or "-" for standard error) as a port is
 * opened, every request, answer and failure on that port is appended to it.
 *
 * Output pointers are checked first: a null output pointer returns 0 before
 * anything is sent. Out-parameters are written only after the whole exchange
 * has succeeded; the image functions are the exception, see below.
 *
 * Threads: exchanges on different ports may run at once from different
 * threads, and ports may be opened and closed meanwhile. One port carries one
 * exchange at a time; serialising the calls on one port is the caller's duty.
 * The library takes no locks.
 *
 * Waiting: no read waits more than 1.1 s for a byte that does not come, and
 * while bytes flow a gap of 100 ms between two of them ends it; a read of n
 * bytes that keeps flowing may take 1000 ms + 100 ms x n. An answer refused
 * because it would not fit is read to its end and dropped before the call
 * returns 0, so that the next call finds a quiet bus.
 */
#ifndef QX318_RS485_H
#define QX318_RS485_H

#include <stddef.h>
#include <stdint.h>

/* 32-bit Windows hosts (.NET, Delphi, VB, LabVIEW) expect __stdcall. */
#if defined(_WIN32) && !defined(_WIN64)
#define QX318_CALL __stdcall
#else
#define QX318_CALL
#endif

/* On Windows the export list (QX318_RS485.def) names the exports, so that
 * they stay undecorated; elsewhere only these functions are visible. */
#if defined(_WIN32)
#define QX318_API
#elif defined(QX318_BUILDING_LIBRARY) && defined(__GNUC__)
#define QX318_API __attribute__((visibility("default")))
#else
#define QX318_API
#endif

/* The layout checks hold in every language mode: older compilers get a
 * typedef of an array whose size turns negative when a check fails. */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1600))
#define QX318_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QX318_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define QX318_CAT_(a, b) a##b
#define QX318_CAT(a, b) QX318_CAT_(a, b)
#define QX318_STATIC_ASSERT(cond, msg) \
  typedef char QX318_CAT(qx318_layout_check_, __LINE__)[(cond) ? 1 : -1]
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The handle of an open converter port. Pointer-sized; all bits set means
 * "no handle" (what a failed open of the converter yields). */
typedef void *PortHandle;
#define QX318_INVALID_PORT ((PortHandle)(intptr_t)-1)

/* Low byte: the parameter number. High byte: the number of 7-bit groups the
 * value travels in (1 to 3 for a 16-bit value). 0x0205 is parameter 5 in two
 * groups (14 bits). */
typedef uint16_t ParameterCode;

/* The device's hello answer; the library does not interpret the values. */
typedef struct HelloAnswer {
  uint16_t value1; /* 14 bits */
  uint8_t value2;  /* 7 bits */
  uint8_t unused3; /* never written by the library */
  uint32_t value3; /* 28 bits */
  uint16_t value4; /* 14 bits */
  uint16_t value5; /* 14 bits */
  uint16_t value6; /* 14 bits */
  uint16_t value7; /* 14 bits */
} HelloAnswer;

QX318_STATIC_ASSERT(sizeof(HelloAnswer) == 16, "HelloAnswer is 16 bytes");
QX318_STATIC_ASSERT(offsetof(HelloAnswer, value1) == 0, "value1 at 0");
QX318_STATIC_ASSERT(offsetof(HelloAnswer, value2) == 2, "value2 at 2");
QX318_STATIC_ASSERT(offsetof(HelloAnswer, value3) == 4, "value3 at 4");
QX318_STATIC_ASSERT(offsetof(HelloAnswer, value4) == 8, "value4 at 8");
QX318_STATIC_ASSERT(offsetof(HelloAnswer, value5) == 10, "value5 at 10");
QX318_STATIC_ASSERT(offsetof(HelloAnswer, value6) == 12, "value6 at 12");
QX318_STATIC_ASSERT(offsetof(HelloAnswer, value7) == 14, "value7 at 14");

/* The head of a measurement: a 7-bit lead byte and the number of value
 * pairs that follow in the caller's value array. */
typedef struct MeasureHeader {
  uint8_t lead_byte;
  uint8_t unused1; /* never written by the library */
  uint16_t pair_count;
} MeasureHeader;

QX318_STATIC_ASSERT(sizeof(MeasureHeader) == 4, "MeasureHeader is 4 bytes");
QX318_STATIC_ASSERT(offsetof(MeasureHeader, lead_byte) == 0, "lead_byte at 0");
QX318_STATIC_ASSERT(offsetof(MeasureHeader, pair_count) == 2, "pair_count at 2");

/* The head of an image: row r of the pixels starts at r * row_length. */
typedef struct ImageHeader {
  uint16_t word4; /* the device's fourth header word, passed through */
  uint16_t word3; /* the device's third header word, passed through */
  uint16_t row_length;
  uint16_t row_count;
} ImageHeader;

QX318_STATIC_ASSERT(sizeof(ImageHeader) == 8, "ImageHeader is 8 bytes");
QX318_STATIC_ASSERT(offsetof(ImageHeader, word4) == 0, "word4 at 0");
QX318_STATIC_ASSERT(offsetof(ImageHeader, word3) == 2, "word3 at 2");
QX318_STATIC_ASSERT(offsetof(ImageHeader, row_length) == 4, "row_length at 4");
QX318_STATIC_ASSERT(offsetof(ImageHeader, row_count) == 6, "row_count at 6");

/* Opens the converter named by description and sets 8N1 at baud_rate, no flow
 * control, and the read time-outs above. On Windows the description is the
 * converter's USB product description. On Linux it is a device path
 * ("/dev/ttyUSB0", a pseudo-terminal), a USB product description matched
 * against the serial devices the kernel lists, or a serial port served over
 * the network by ser2net: "tcp://HOST:PORT" (raw) or "rfc2217://HOST:PORT"
 * (Telnet com port control, which also sets the remote line). The handle is stored through
 * port_out only on success; a failed open leaves nothing open. */
QX318_API int32_t QX318_CALL QX318_OpenPort(const char *description, uint32_t baud_rate,
                                            PortHandle *port_out);

/* Returns 1 when a close was issued, 0 for the handles 0 and all-bits-set.
 * On Linux every handle is checked: one already closed, or never handed out,
 * is refused by every function (closing it again returns 1 and does
 * nothing). On Windows the handle goes to the converter library unchecked:
 * never use a handle after closing it. */
QX318_API int32_t QX318_CALL QX318_ClosePort(PortHandle port);

/* Only the low 5 bits of every address argument are used (0-31). */
QX318_API int32_t QX318_CALL QX318_HelloCmd(PortHandle port, int32_t address,
                                            HelloAnswer *answer_out);

/* Reads a parameter; the answer must carry exactly as many groups as the
 * code's high byte says. Bits above 15 of the assembled value are dropped. */
QX318_API int32_t QX318_CALL QX318_ReadParameter(PortHandle port, int32_t address,
                                                 ParameterCode code, uint16_t *value_out);

/* Writes a parameter. The device does not answer: 1 means only that the
 * whole request left the converter. */
QX318_API int32_t QX318_CALL QX318_WriteParameter(PortHandle port, int32_t address,
                                                  ParameterCode code, uint16_t value);

/* Ask the device to save its parameters to flash, or restore them from it;
 * 1 when the device echoes the request. */
QX318_API int32_t QX318_CALL QX318_FlushParamsToFlash(PortHandle port, int32_t address);
QX318_API int32_t QX318_CALL QX318_RestoreParamsFromFlash(PortHandle port, int32_t address);

/* Fetches one measurement: the header and 2 x pair_count values. The answer
 * must be exactly 3 + 4 x pair_count data bytes; any other length fails (0,
 * QX318_FAIL_WRONG_LENGTH, nothing written), so a cut or padded answer never
 * passes as a measurement. values_out must have room for every value the
 * device may announce: 32766 values unless the caller knows the device's
 * pair count. Prefer QX318_GetMeasureEx, which is told the capacity and
 * never writes past it. */
QX318_API int32_t QX318_CALL QX318_GetMeasure(PortHandle port, int32_t address,
                                              MeasureHeader *header_out, uint16_t *values_out);

/* As QX318_GetMeasure, but fails (0, QX318_FAIL_CAPACITY, nothing written)
 * when a complete answer announces more than value_capacity values. The
 * length is judged first: an answer whose length contradicts its pair count
 * fails with QX318_FAIL_WRONG_LENGTH whatever the capacity. */
QX318_API int32_t QX318_CALL QX318_GetMeasureEx(PortHandle port, int32_t address,
                                                MeasureHeader *header_out, uint16_t *values_out,
                                                uint32_t value_capacity);

/* Sends the lock-result command; the device does not answer. */
QX318_API int32_t QX318_CALL QX318_LockResult(PortHandle port, int32_t address);

/* Fetches an image of row_count rows of row_length 7-bit pixels. The header
 * is cleared first and stays all zero on failure; the pixels are written as
 * they arrive, so after a failure the buffer may hold part of an image.
 * pixels_out must have room for the largest image the device may send (up to
 * 16383 x 16383 bytes). Prefer QX318_GetImageEx, which is told the capacity
 * and checks the image size against it before it reads a single row. */
QX318_API int32_t QX318_CALL QX318_GetImage(PortHandle port, int32_t address,
                                            ImageHeader *header_out, uint8_t *pixels_out);

/* As QX318_GetImage, but fails (0) before reading any row when
 * row_count x row_length exceeds pixel_capacity bytes; no pixel is written,
 * and the image is read to its end and dropped. */
QX318_API int32_t QX318_CALL QX318_GetImageEx(PortHandle port, int32_t address,
                                              ImageHeader *header_out, uint8_t *pixels_out,
                                              uint32_t pixel_capacity);

/* Trigger the XY axis rotation / read the rotation angle: the device answers
 * with one 32-bit value, stored as it arrives (two's complement). */
QX318_API int32_t QX318_CALL QX318_RotateAxisXY(PortHandle port, int32_t address,
                                                int32_t *value_out);
QX318_API int32_t QX318_CALL QX318_GetRotateAngle(PortHandle port, int32_t address,
                                                  int32_t *value_out);

/* Ask the device to save the angle to flash, or restore it from there. */
QX318_API int32_t QX318_CALL QX318_FlushAngleToFlash(PortHandle port, int32_t address);
QX318_API int32_t QX318_CALL QX318_RestoreAngleFromFlash(PortHandle port, int32_t address);

/* Why the calling thread's most recent call into the library returned 0.
 * The values are stable; new ones may be added. Where the system tells them
 * apart, an open gives NOT_SERIAL rather than NOT_FOUND or PORT_ERROR for a
 * path, and CONNECTION_REFUSED or HOST_UNREACHABLE rather than CONNECTION
 * for a network port. */
#define QX318_FAIL_NONE 0                 /* the last call succeeded */
#define QX318_FAIL_NULL_ARGUMENT 1        /* a required pointer was null */
#define QX318_FAIL_NOT_FOUND 2            /* no converter or device by that description */
#define QX318_FAIL_PORT_BUSY 3            /* the port is open elsewhere */
#define QX318_FAIL_ACCESS_DENIED 4        /* no permission to open the port */
#define QX318_FAIL_LINE_SETTINGS 5        /* the line settings were refused or unreadable */
#define QX318_FAIL_BAUD_RATE 6            /* the baud rate was refused */
#define QX318_FAIL_TIMEOUTS 7             /* the time-outs were refused */
#define QX318_FAIL_QUEUES 8               /* the queue sizes were refused */
#define QX318_FAIL_PURGE 9                /* the purge at open was refused */
#define QX318_FAIL_EVENT_MASK 10          /* the event mask was refused */
#define QX318_FAIL_WRITE_SHORT 11         /* the request was not written completely */
#define QX318_FAIL_NO_ANSWER 12           /* no byte arrived before the time-out */
#define QX318_FAIL_ANSWER_CUT_SHORT 13    /* the answer stopped before its end */
#define QX318_FAIL_NO_START_BYTE 14       /* only marker bytes within the hunt's bound */
#define QX318_FAIL_ANSWER_TOO_LONG 15     /* declared length larger than the buffer */
#define QX318_FAIL_WRONG_LENGTH 16        /* length other than the command expects */
#define QX318_FAIL_CRC_MISMATCH 17        /* the answer's CRC did not match */
#define QX318_FAIL_FLASH_NOT_CONFIRMED 18 /* the flash answer did not echo the request */
#define QX318_FAIL_CAPACITY 19            /* the answer is larger than the capacity given */
#define QX318_FAIL_NO_MEMORY 20           /* a work buffer could not be allocated */
#define QX318_FAIL_HUNG_UP 21             /* the port was hung up or unplugged */
#define QX318_FAIL_INVALID_HANDLE 22      /* the handle is not an open port */
#define QX318_FAIL_PORT_ERROR 23          /* the converter reported another error */
#define QX318_FAIL_CONNECTION 24          /* no connection to a network port's server */
#define QX318_FAIL_WRONG_PROTOCOL 25      /* the server speaks another protocol than the scheme */
#define QX318_FAIL_NOT_SERIAL 26          /* the path is a file, directory or other device */
#define QX318_FAIL_CONNECTION_REFUSED 27  /* nobody listens at a network port's host:port */
#define QX318_FAIL_HOST_UNREACHABLE 28    /* no route to a network port's host or network */

/* The reason of the calling thread's most recent call into the library:
 * QX318_FAIL_NONE after a call that succeeded. Per thread, and untouched by
 * the caller's own system calls. These three calls never change it. */
QX318_API int32_t QX318_CALL QX318_GetLastFailure(void);

/* A short English sentence for a reason; an unknown value has one too. The
 * text is static and never freed. */
QX318_API const char *QX318_CALL QX318_FailureText(int32_t reason);

/* The figures of the calling thread's last failure, such as "answer cut
 * short: 9 of 15 data bytes after 1100 ms"; "" after a success. Valid until
 * the thread's next call into the library. */
QX318_API const char *QX318_CALL QX318_GetLastFailureDetail(void);

#ifdef __cplusplus
}
#endif

#endif /* QX318_RS485_H */
