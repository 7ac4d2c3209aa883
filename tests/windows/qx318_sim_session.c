/* A host session against qx318-sim, the project's simulated device, through
 * the import library: every command once, checked against the simulator's
 * documented device model. The simulator runs with --rows 12 --row-length 10
 * --pairs 5 at address 1.
 *
 * Usage: qx318_sim_session.exe PORT_NAME */
#include <stdio.h>
#include <string.h>

#include "QX318_RS485.h"

enum {
  kDevice = 1,
  kDeviceModel = 318,         /* hello value1 */
  kFirmwareVersion = 12,      /* hello value2 */
  kSerialOfDevice1 = 3180001, /* hello value3: 3180000 + address */
  kPairs = 5,
  kRows = 12,
  kRowLength = 10,
  kPixelBits = 7,    /* image word W4 */
  kFrozenFlag = 0x40 /* measurement lead byte after lock result */
};

static int failures = 0;

static void Check(int condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

static void Parameters(PortHandle port) {
  uint16_t value = 0;
  Check(QX318_ReadParameter(port, kDevice, 0x0205, &value) == 1 && value == 5,
        "a parameter fresh from the factory holds its number");
  Check(QX318_WriteParameter(port, kDevice, 0x0205, 777) == 1, "write parameter");
  Check(QX318_ReadParameter(port, kDevice, 0x0205, &value) == 1 && value == 777,
        "a written parameter reads back");
  Check(QX318_RestoreParamsFromFlash(port, kDevice) == 1, "restore parameters");
  Check(QX318_ReadParameter(port, kDevice, 0x0205, &value) == 1 && value == 5,
        "restoring brings back the flash value");
  Check(QX318_FlushParamsToFlash(port, kDevice) == 1, "flush parameters");
}

static void Measurement(PortHandle port) {
  MeasureHeader header;
  uint16_t values[2 * kPairs];
  memset(&header, 0, sizeof header);
  Check(QX318_GetMeasureEx(port, kDevice, &header, values, 2 * kPairs - 1) == 0,
        "a measurement larger than the array is refused");
  Check(QX318_GetMeasureEx(port, kDevice, &header, values, 2 * kPairs) == 1 &&
            header.pair_count == kPairs && (header.lead_byte & kFrozenFlag) == 0,
        "measurement");
  Check(QX318_LockResult(port, kDevice) == 1, "lock result");
  Check(QX318_GetMeasure(port, kDevice, &header, values) == 1 &&
            (header.lead_byte & kFrozenFlag) != 0,
        "the locked measurement says so");
}

static void Image(PortHandle port) {
  ImageHeader header;
  static uint8_t pixels[kRows * kRowLength];
  size_t i;
  int seven_bit = 1;
  Check(QX318_GetImageEx(port, kDevice, &header, pixels, sizeof pixels) == 1 &&
            header.row_count == kRows && header.row_length == kRowLength &&
            header.word4 == kPixelBits,
        "image");
  for (i = 0; i < sizeof pixels; ++i) seven_bit &= pixels[i] < 0x80;
  Check(seven_bit, "pixels are 7-bit");
  Check(QX318_GetImage(port, kDevice, &header, pixels) == 1, "image without capacity");
}

static void Rotation(PortHandle port) {
  int32_t rotated = 0;
  int32_t angle = 1;
  Check(QX318_RotateAxisXY(port, kDevice, &rotated) == 1, "rotate axis");
  Check(QX318_GetRotateAngle(port, kDevice, &angle) == 1 && angle == rotated,
        "the angle is the one the rotation reported");
  Check(QX318_FlushAngleToFlash(port, kDevice) == 1, "flush angle");
  Check(QX318_RestoreAngleFromFlash(port, kDevice) == 1, "restore angle");
}

int main(int argc, char **argv) {
  PortHandle port = QX318_INVALID_PORT;
  HelloAnswer hello;
  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT_NAME\n", argv[0]);
    return 2;
  }
  if (QX318_OpenPort(argv[1], 115200, &port) != 1) {
    fprintf(stderr, "failed: open %s\n", argv[1]);
    return 1;
  }
  memset(&hello, 0, sizeof hello);
  Check(QX318_HelloCmd(port, kDevice, &hello) == 1 && hello.value1 == kDeviceModel &&
            hello.value2 == kFirmwareVersion && hello.value3 == kSerialOfDevice1,
        "hello");
  Parameters(port);
  Measurement(port);
  Image(port);
  Rotation(port);
  Check(QX318_ClosePort(port) == 1, "close");
  return failures == 0 ? 0 : 1;
}
