/* QX318_RS485 from C: every command once, on the device at address 1.
 *
 *   qx318_example "CONVERTER DESCRIPTION"
 *
 * The argument is the converter's USB product description, as QX318_OpenPort
 * takes it. The example leaves the device as it found it: the parameter it
 * writes and the axis it rotates are restored from the device's flash before
 * flash is saved again (changes not yet saved when it starts are dropped).
 *
 * Visual Studio, from a developer prompt of the DLL's architecture:
 *   cl /I include qx318_example.c x64\QX318_RS485.lib
 * MinGW-w64:
 *   x86_64-w64-mingw32-gcc -I include qx318_example.c x64/QX318_RS485.dll.a
 * QX318_RS485.dll (and the converter's FTD2XX.dll) must be found at run time:
 * beside the program or on the PATH. */
#include <stdio.h>

#include "QX318_RS485.h"

enum {
  kAddress = 1,
  kBaudRate = 115200,
  kMaxPairs = 4096,        /* value pairs a measurement may hold here */
  kMaxPixels = 1024 * 1024 /* pixels an image may hold here */
};

/* Parameter 5, whose value travels in two 7-bit groups (14 bits). */
static const ParameterCode kParameter5 = 0x0205;

/* Says which call failed and why; returns 0 so that callers can pass it on. */
static int ReportFailure(const char *function) {
  printf("%s failed: %s (%s)\n", function, QX318_FailureText(QX318_GetLastFailure()),
         QX318_GetLastFailureDetail());
  return 0;
}

static int SayHello(PortHandle port) {
  HelloAnswer hello;
  if (!QX318_HelloCmd(port, kAddress, &hello)) return ReportFailure("QX318_HelloCmd");
  printf("hello: %d %d %u %d %d %d %d\n", hello.value1, hello.value2, hello.value3, hello.value4,
         hello.value5, hello.value6, hello.value7);
  return 1;
}

static int ChangeParameterAndRestore(PortHandle port) {
  uint16_t value;
  uint16_t changed;
  if (!QX318_ReadParameter(port, kAddress, kParameter5, &value)) {
    return ReportFailure("QX318_ReadParameter");
  }
  printf("parameter 5: %d\n", value);

  changed = (uint16_t)(value ^ 1u); /* another value that fits in 14 bits */
  if (!QX318_WriteParameter(port, kAddress, kParameter5, changed)) {
    return ReportFailure("QX318_WriteParameter");
  }
  if (!QX318_ReadParameter(port, kAddress, kParameter5, &value)) {
    return ReportFailure("QX318_ReadParameter");
  }
  printf("parameter 5 after writing %d: %d\n", changed, value);

  if (!QX318_RestoreParamsFromFlash(port, kAddress)) {
    return ReportFailure("QX318_RestoreParamsFromFlash");
  }
  if (!QX318_ReadParameter(port, kAddress, kParameter5, &value)) {
    return ReportFailure("QX318_ReadParameter");
  }
  printf("parameter 5 after restoring from flash: %d\n", value);

  if (!QX318_FlushParamsToFlash(port, kAddress)) {
    return ReportFailure("QX318_FlushParamsToFlash");
  }
  printf("parameters saved to flash\n");
  return 1;
}

static int Measure(PortHandle port, const char *what) {
  static uint16_t values[2 * kMaxPairs]; /* first, second, first, second, ... */
  MeasureHeader header;
  int last;
  if (!QX318_GetMeasureEx(port, kAddress, &header, values, 2 * kMaxPairs)) {
    return ReportFailure("QX318_GetMeasureEx");
  }
  printf("%s: lead byte %d, %d pairs", what, header.lead_byte, header.pair_count);
  if (header.pair_count > 0) {
    last = 2 * (header.pair_count - 1);
    printf(", first (%d, %d), last (%d, %d)", values[0], values[1], values[last], values[last + 1]);
  }
  printf("\n");
  return 1;
}

static int MeasureAndLock(PortHandle port) {
  if (!Measure(port, "measurement")) return 0;
  if (!QX318_LockResult(port, kAddress)) return ReportFailure("QX318_LockResult");
  printf("result locked\n");
  return Measure(port, "locked measurement");
}

static int FetchImage(PortHandle port) {
  static uint8_t pixels[kMaxPixels]; /* row r starts at r * row_length */
  ImageHeader header;
  int rows;
  int columns;
  if (!QX318_GetImageEx(port, kAddress, &header, pixels, kMaxPixels)) {
    return ReportFailure("QX318_GetImageEx");
  }
  rows = header.row_count;
  columns = header.row_length;
  printf("image: %d rows of %d pixels, header words %d %d", rows, columns, header.word3,
         header.word4);
  if (rows > 0 && columns > 0) {
    printf(", top left pixel %d, centre pixel %d", pixels[0],
           pixels[(rows / 2) * columns + columns / 2]);
  }
  printf("\n");
  return 1;
}

static int RotateAxisAndRestore(PortHandle port) {
  int32_t angle;
  if (!QX318_RotateAxisXY(port, kAddress, &angle)) return ReportFailure("QX318_RotateAxisXY");
  printf("axis rotated: %d\n", angle);
  if (!QX318_GetRotateAngle(port, kAddress, &angle)) {
    return ReportFailure("QX318_GetRotateAngle");
  }
  printf("angle: %d\n", angle);

  if (!QX318_RestoreAngleFromFlash(port, kAddress)) {
    return ReportFailure("QX318_RestoreAngleFromFlash");
  }
  if (!QX318_GetRotateAngle(port, kAddress, &angle)) {
    return ReportFailure("QX318_GetRotateAngle");
  }
  printf("angle after restoring from flash: %d\n", angle);

  if (!QX318_FlushAngleToFlash(port, kAddress)) return ReportFailure("QX318_FlushAngleToFlash");
  printf("angle saved to flash\n");
  return 1;
}

int main(int argc, char **argv) {
  PortHandle port;
  int ok;
  if (argc != 2) {
    printf("usage: qx318_example \"CONVERTER DESCRIPTION\"\n");
    return 2;
  }
  if (!QX318_OpenPort(argv[1], kBaudRate, &port)) {
    ReportFailure("QX318_OpenPort");
    return 1;
  }
  printf("port open: %s\n", argv[1]);

  ok = SayHello(port) && ChangeParameterAndRestore(port) && MeasureAndLock(port) &&
       FetchImage(port) && RotateAxisAndRestore(port);

  if (QX318_ClosePort(port)) {
    printf("port closed\n");
  } else {
    ok = ReportFailure("QX318_ClosePort");
  }
  return ok ? 0 : 1;
}
