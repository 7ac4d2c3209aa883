/* Against the library built for the null platform: no converter opens, not
 * even a terminal the POSIX build would open, and every exported function
 * fails (returns 0) on any handle a caller might hold, writing nothing but
 * what the failure rules allow. Exits 0 when all of that holds. */
#define _XOPEN_SOURCE 700

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "QX318_RS485.h"

static int failures = 0;

static void Expect(int holds, const char *what, const char *handle_name) {
  if (!holds) {
    fprintf(stderr, "FAILED: %s (handle %s)\n", what, handle_name);
    ++failures;
  }
}

static int AllBytesAre(const void *block, size_t size, uint8_t value) {
  const uint8_t *bytes = (const uint8_t *)block;
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != value) return 0;
  }
  return 1;
}

/* A terminal that the POSIX converter opens: if the null converter was not
 * the one linked, this open succeeds. */
static void OpenRefusesATerminal(void) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    fprintf(stderr, "FAILED: no pseudo-terminal for the open check\n");
    ++failures;
    return;
  }
  PortHandle port = (PortHandle)&failures;
  Expect(QX318_OpenPort(ptsname(master), 115200, &port) == 0, "OpenPort on a terminal", "-");
  Expect(port == (PortHandle)&failures, "OpenPort stores no handle", "-");
  close(master);
}

static void OpenRefusesEveryDescription(void) {
  static const char *const kDescriptions[] = {"QX318 Converter", "/dev/ttyUSB0", "", "COM1"};
  for (size_t i = 0; i < sizeof kDescriptions / sizeof kDescriptions[0]; ++i) {
    PortHandle port = (PortHandle)&failures;
    Expect(QX318_OpenPort(kDescriptions[i], 9600, &port) == 0, "OpenPort", kDescriptions[i]);
    Expect(port == (PortHandle)&failures, "OpenPort stores no handle", kDescriptions[i]);
  }
}

#define kPattern 0xA5u

static void EveryCommandFails(PortHandle port, const char *name) {
  HelloAnswer hello;
  memset(&hello, kPattern, sizeof hello);
  Expect(QX318_HelloCmd(port, 1, &hello) == 0, "HelloCmd", name);
  Expect(AllBytesAre(&hello, sizeof hello, kPattern), "HelloCmd leaves the record", name);

  uint16_t parameter = 0xA5A5;
  Expect(QX318_ReadParameter(port, 1, 0x0205, &parameter) == 0, "ReadParameter", name);
  Expect(parameter == 0xA5A5, "ReadParameter leaves the value", name);
  Expect(QX318_WriteParameter(port, 1, 0x0205, 300) == 0, "WriteParameter", name);
  Expect(QX318_FlushParamsToFlash(port, 1) == 0, "FlushParamsToFlash", name);
  Expect(QX318_RestoreParamsFromFlash(port, 1) == 0, "RestoreParamsFromFlash", name);

  MeasureHeader measure;
  uint16_t values[8];
  memset(&measure, kPattern, sizeof measure);
  memset(values, kPattern, sizeof values);
  Expect(QX318_GetMeasure(port, 1, &measure, values) == 0, "GetMeasure", name);
  Expect(QX318_GetMeasureEx(port, 1, &measure, values, 8) == 0, "GetMeasureEx", name);
  Expect(AllBytesAre(&measure, sizeof measure, kPattern) &&
             AllBytesAre(values, sizeof values, kPattern),
         "GetMeasure writes nothing", name);
  Expect(QX318_LockResult(port, 1) == 0, "LockResult", name);

  /* The image functions clear the header first; the pixels stay untouched
   * when no row arrived. */
  ImageHeader image;
  uint8_t pixels[16];
  memset(&image, kPattern, sizeof image);
  memset(pixels, kPattern, sizeof pixels);
  Expect(QX318_GetImage(port, 1, &image, pixels) == 0, "GetImage", name);
  Expect(AllBytesAre(&image, sizeof image, 0), "GetImage clears the header", name);
  memset(&image, kPattern, sizeof image);
  Expect(QX318_GetImageEx(port, 1, &image, pixels, sizeof pixels) == 0, "GetImageEx", name);
  Expect(AllBytesAre(&image, sizeof image, 0), "GetImageEx clears the header", name);
  Expect(AllBytesAre(pixels, sizeof pixels, kPattern), "GetImage writes no pixel", name);

  int32_t value = -12345;
  Expect(QX318_RotateAxisXY(port, 1, &value) == 0, "RotateAxisXY", name);
  Expect(QX318_GetRotateAngle(port, 1, &value) == 0, "GetRotateAngle", name);
  Expect(value == -12345, "the rotation calls leave the value", name);
  Expect(QX318_FlushAngleToFlash(port, 1) == 0, "FlushAngleToFlash", name);
  Expect(QX318_RestoreAngleFromFlash(port, 1) == 0, "RestoreAngleFromFlash", name);
}

int main(void) {
  OpenRefusesATerminal();
  OpenRefusesEveryDescription();

  /* No open succeeds, so a caller can only hold "no handle" or a value that
   * never came from this library. */
  int stranger = 0;
  EveryCommandFails(NULL, "null");
  EveryCommandFails(QX318_INVALID_PORT, "invalid");
  EveryCommandFails((PortHandle)&stranger, "never opened");
  Expect(QX318_ClosePort(NULL) == 0, "ClosePort", "null");
  Expect(QX318_ClosePort(QX318_INVALID_PORT) == 0, "ClosePort", "invalid");

  if (failures != 0) return EXIT_FAILURE;
  printf("null platform: every call failed cleanly\n");
  return EXIT_SUCCESS;
}
