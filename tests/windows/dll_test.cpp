// The shipped DLL end to end: loaded with LoadLibrary, every export found by
// its plain name and called through __stdcall pointers, the converter reached
// through the ordinal imports (here the stand-in FTD2XX.dll) and a serial
// port with qx318-sim behind it: one device at address 1 with a 3 x 5 image
// and 2 pairs a measurement, whose flash holds parameter 5 = 300 and the
// angle kStoredAngle (qx318_sim_state.json).
//
// Usage: qx318_dll_test.exe DLL_PATH PORT_NAME [gtest options]
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "QX318_RS485.h"
#include "dll_arguments.h"

namespace {

std::string dll_path;
std::string port_name;

using OpenPortFn = int32_t(__stdcall *)(const char *, uint32_t, PortHandle *);
using ClosePortFn = int32_t(__stdcall *)(PortHandle);
using HelloFn = int32_t(__stdcall *)(PortHandle, int32_t, HelloAnswer *);
using ReadParameterFn = int32_t(__stdcall *)(PortHandle, int32_t, ParameterCode, uint16_t *);
using WriteParameterFn = int32_t(__stdcall *)(PortHandle, int32_t, ParameterCode, uint16_t);
using PlainFn = int32_t(__stdcall *)(PortHandle, int32_t);
using GetMeasureFn = int32_t(__stdcall *)(PortHandle, int32_t, MeasureHeader *, uint16_t *);
using GetMeasureExFn = int32_t(__stdcall *)(PortHandle, int32_t, MeasureHeader *, uint16_t *,
                                            uint32_t);
using GetImageFn = int32_t(__stdcall *)(PortHandle, int32_t, ImageHeader *, uint8_t *);
using GetImageExFn = int32_t(__stdcall *)(PortHandle, int32_t, ImageHeader *, uint8_t *, uint32_t);
using ValueFn = int32_t(__stdcall *)(PortHandle, int32_t, int32_t *);
using DllMainFn = BOOL(__stdcall *)(HINSTANCE, DWORD, LPVOID);
using TakeCallLogFn = DWORD(__stdcall *)(char *, DWORD);

// The header declares every function __stdcall on 32-bit Windows.
static_assert(std::is_same_v<OpenPortFn, decltype(&QX318_OpenPort)>);
static_assert(std::is_same_v<ClosePortFn, decltype(&QX318_ClosePort)>);
static_assert(std::is_same_v<HelloFn, decltype(&QX318_HelloCmd)>);
static_assert(std::is_same_v<ReadParameterFn, decltype(&QX318_ReadParameter)>);
static_assert(std::is_same_v<WriteParameterFn, decltype(&QX318_WriteParameter)>);
static_assert(std::is_same_v<PlainFn, decltype(&QX318_LockResult)>);
static_assert(std::is_same_v<GetMeasureFn, decltype(&QX318_GetMeasure)>);
static_assert(std::is_same_v<GetMeasureExFn, decltype(&QX318_GetMeasureEx)>);
static_assert(std::is_same_v<GetImageFn, decltype(&QX318_GetImage)>);
static_assert(std::is_same_v<GetImageExFn, decltype(&QX318_GetImageEx)>);
static_assert(std::is_same_v<ValueFn, decltype(&QX318_GetRotateAngle)>);

constexpr int32_t kDevice = 1;
constexpr int32_t kSilentAddress = 2;  // nobody answers there
constexpr uint32_t kBaudRate = 115200;

// What the simulated device answers, from its documented model and the
// options the test runs it with.
constexpr uint16_t kDeviceModel = 318;          // hello value1
constexpr uint8_t kFirmwareVersion = 12;        // hello value2
constexpr uint32_t kSerialOfDevice1 = 3180001;  // hello value3: 3180000 + address
constexpr uint16_t kRows = 3;
constexpr uint16_t kRowLength = 5;
constexpr uint16_t kPairs = 2;
constexpr uint16_t kPixelBits = 7;          // image word W4
constexpr uint8_t kWhite = 0x7F;            // every pixel of an image this small: its border
constexpr uint8_t kFrozenFlag = 0x40;       // measurement lead byte while locked
constexpr uint16_t kLargest14Bits = 16383;  // the X of the last pair
// The angle in the device's flash: all five groups in use, bit 31 set.
constexpr int32_t kStoredAngle = -305419896;

template <typename Fn>
Fn Export(HMODULE dll, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

class LoadedDll : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dll_ = LoadLibraryA(dll_path.c_str());
    ASSERT_NE(dll_, nullptr) << dll_path << ": error " << GetLastError();
    converter_ = GetModuleHandleA("FTD2XX.dll");
    ASSERT_NE(converter_, nullptr) << "the DLL did not bring in FTD2XX.dll";
  }
  static void TearDownTestSuite() {
    if (dll_ != nullptr) FreeLibrary(dll_);
    dll_ = nullptr;
  }

  template <typename Fn>
  Fn Get(const char *name) {
    Fn fn = Export<Fn>(dll_, name);
    EXPECT_NE(fn, nullptr) << name << " is not exported";
    return fn;
  }

  // The converter calls the DLL made since the last call, as the stand-in
  // logged them.
  std::string TakeConverterCalls() {
    auto take = Export<TakeCallLogFn>(converter_, "StandIn_TakeCallLog");
    if (take == nullptr) return "<no call log>";
    std::vector<char> text(take(nullptr, 0) + 1);
    take(text.data(), static_cast<DWORD>(text.size()));
    return text.data();
  }

  static HMODULE dll_;
  static HMODULE converter_;
};

HMODULE LoadedDll::dll_ = nullptr;
HMODULE LoadedDll::converter_ = nullptr;

TEST_F(LoadedDll, ExportsEveryFunctionByItsPlainNameOnly) {
  static const char *const kNames[] = {"QX318_OpenPort",
                                       "QX318_ClosePort",
                                       "QX318_HelloCmd",
                                       "QX318_ReadParameter",
                                       "QX318_WriteParameter",
                                       "QX318_FlushParamsToFlash",
                                       "QX318_RestoreParamsFromFlash",
                                       "QX318_GetMeasure",
                                       "QX318_GetMeasureEx",
                                       "QX318_LockResult",
                                       "QX318_GetImage",
                                       "QX318_GetImageEx",
                                       "QX318_RotateAxisXY",
                                       "QX318_GetRotateAngle",
                                       "QX318_FlushAngleToFlash",
                                       "QX318_RestoreAngleFromFlash",
                                       "QX318_GetLastFailure",
                                       "QX318_FailureText",
                                       "QX318_GetLastFailureDetail",
                                       "DllMain"};
  for (const char *name : kNames) {
    SCOPED_TRACE(name);
    EXPECT_NE(GetProcAddress(dll_, name), nullptr);
  }
  for (const char *decorated : {"QX318_OpenPort@12", "_QX318_OpenPort@12", "DllMain@12"}) {
    SCOPED_TRACE(decorated);
    EXPECT_EQ(GetProcAddress(dll_, decorated), nullptr);
  }
}

// An open port on the simulated bus, closed at the end of each test.
class OpenPort : public LoadedDll {
 protected:
  void SetUp() override {
    auto open = Get<OpenPortFn>("QX318_OpenPort");
    ASSERT_NE(open, nullptr);
    (void)TakeConverterCalls();
    ASSERT_EQ(open(port_name.c_str(), kBaudRate, &port_), 1) << port_name;
    open_calls_ = TakeConverterCalls();
  }
  void TearDown() override {
    auto close = Get<ClosePortFn>("QX318_ClosePort");
    if (close != nullptr && port_ != nullptr) {
      EXPECT_EQ(close(port_), 1);
    }
  }

  PortHandle port_ = nullptr;
  std::string open_calls_;
};

TEST_F(OpenPort, OpensThroughTheConverterOrdinalsWithTheLineSettings) {
  // Bits 1-14 of the DCB flags cleared, bit 0 set; Wine reports the upper
  // bits as 0, so the whole word is 1.
  const std::string expected =
      "CreateFile(" + port_name +
      ",c0000000,0,null,3,82,null) GetCommState SetCommState(28,115200,1,8,0,0) "
      "SetCommTimeouts(100,100,1000,0,0) SetupComm(1024,1024) PurgeComm(3) SetCommMask(5)";
  EXPECT_EQ(open_calls_, expected);
}

TEST_F(OpenPort, HelloFillsEveryFieldAndLeavesThePaddingAlone) {
  auto hello = Get<HelloFn>("QX318_HelloCmd");
  HelloAnswer answer;
  std::memset(&answer, 0xAB, sizeof answer);
  ASSERT_EQ(hello(port_, kDevice, &answer), 1);
  EXPECT_EQ(answer.value1, kDeviceModel);
  EXPECT_EQ(answer.value2, kFirmwareVersion);
  EXPECT_EQ(answer.unused3, 0xAB);
  EXPECT_EQ(answer.value3, kSerialOfDevice1);
  EXPECT_EQ(answer.value4, kRows);
  EXPECT_EQ(answer.value5, kRowLength);
  EXPECT_EQ(answer.value6, kPairs);
  EXPECT_EQ(answer.value7, kDevice);
  // One purge before the one write of the 7-byte request, then the answer:
  // start byte, length, 15 data bytes, CRC, each read with its own time-outs
  // (100 ms gap, nothing per byte, 1.1 s in all).
  EXPECT_EQ(TakeConverterCalls(),
            "PurgeComm(3) WriteFile(7,null)=7 SetCommTimeouts(100,0,1100,0,0) ReadFile(1,null)=1 "
            "SetCommTimeouts(100,0,1100,0,0) ReadFile(2,null)=2 SetCommTimeouts(100,0,1100,0,0) "
            "ReadFile(15,null)=15 SetCommTimeouts(100,0,1100,0,0) ReadFile(3,null)=3");
}

TEST_F(OpenPort, ParametersReadWriteAndFlash) {
  auto read = Get<ReadParameterFn>("QX318_ReadParameter");
  auto write = Get<WriteParameterFn>("QX318_WriteParameter");
  uint16_t value = 0;
  ASSERT_EQ(read(port_, kDevice, 0x0205, &value), 1);
  EXPECT_EQ(value, 300);

  // Each write is read back through the device, in 1, 2 and 3 groups.
  struct Case {
    ParameterCode code;
    uint16_t value;
  };
  for (const Case c : {Case{0x0107, 0x55}, Case{0x0205, 1234}, Case{0x0309, 0xFFFF}}) {
    SCOPED_TRACE(c.code);
    ASSERT_EQ(write(port_, kDevice, c.code, c.value), 1);
    value = 0;
    ASSERT_EQ(read(port_, kDevice, c.code, &value), 1);
    EXPECT_EQ(value, c.value);
  }
  // The device stored 3 groups for parameter 9; a read expecting 2 fails.
  EXPECT_EQ(read(port_, kDevice, 0x0209, &value), 0);

  EXPECT_EQ(Get<PlainFn>("QX318_FlushParamsToFlash")(port_, kDevice), 1);
  EXPECT_EQ(Get<PlainFn>("QX318_RestoreParamsFromFlash")(port_, kDevice), 1);
}

TEST_F(OpenPort, MeasurementAndLockResult) {
  auto measure = Get<GetMeasureFn>("QX318_GetMeasure");
  auto lock = Get<PlainFn>("QX318_LockResult");
  MeasureHeader header;
  std::memset(&header, 0xCD, sizeof header);
  std::array<uint16_t, 8> values{};
  values.fill(0xEEEE);
  ASSERT_EQ(measure(port_, kDevice, &header, values.data()), 1);
  if ((header.lead_byte & kFrozenFlag) != 0) {
    // Left locked by an earlier run of this test: make it live again.
    ASSERT_EQ(lock(port_, kDevice), 1);
    ASSERT_EQ(measure(port_, kDevice, &header, values.data()), 1);
  }
  EXPECT_EQ(header.lead_byte & kFrozenFlag, 0);
  EXPECT_EQ(header.unused1, 0xCD);
  EXPECT_EQ(header.pair_count, kPairs);
  // The X values run from 0 to the largest 14-bit value; every Z is 14 bits.
  EXPECT_EQ(values[0], 0);
  EXPECT_EQ(values[2], kLargest14Bits);
  EXPECT_LE(values[1], kLargest14Bits);
  EXPECT_LE(values[3], kLargest14Bits);
  EXPECT_EQ((std::array<uint16_t, 4>{values[4], values[5], values[6], values[7]}),
            (std::array<uint16_t, 4>{0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE}));

  // A lock freezes the measurement: the next ones repeat it, lead byte
  // included, and say so; the next lock makes it live again.
  ASSERT_EQ(lock(port_, kDevice), 1);
  MeasureHeader frozen{};
  std::array<uint16_t, 8> frozen_values = values;
  ASSERT_EQ(measure(port_, kDevice, &frozen, frozen_values.data()), 1);
  EXPECT_NE(frozen.lead_byte & kFrozenFlag, 0);
  MeasureHeader again{};
  std::array<uint16_t, 8> again_values = values;
  ASSERT_EQ(measure(port_, kDevice, &again, again_values.data()), 1);
  EXPECT_EQ(again.lead_byte, frozen.lead_byte);
  EXPECT_EQ(again_values, frozen_values);

  // Four values do not fit in three: nothing written.
  auto measure_ex = Get<GetMeasureExFn>("QX318_GetMeasureEx");
  values.fill(0xEEEE);
  MeasureHeader untouched{};
  EXPECT_EQ(measure_ex(port_, kDevice, &untouched, values.data(), 3), 0);
  EXPECT_EQ(values[0], 0xEEEE);
  EXPECT_EQ(measure_ex(port_, kDevice, &untouched, values.data(), 4), 1);
  EXPECT_EQ(values[2], kLargest14Bits);

  ASSERT_EQ(lock(port_, kDevice), 1);
  ASSERT_EQ(measure(port_, kDevice, &header, values.data()), 1);
  EXPECT_EQ(header.lead_byte & kFrozenFlag, 0);
}

TEST_F(OpenPort, ImageRowsAndHeader) {
  auto image = Get<GetImageFn>("QX318_GetImage");
  ImageHeader header{};
  std::array<uint8_t, 16> pixels{};
  pixels.fill(0xEE);
  ASSERT_EQ(image(port_, kDevice, &header, pixels.data()), 1);
  EXPECT_EQ(header.word4, kPixelBits);
  EXPECT_EQ(header.row_length, kRowLength);
  EXPECT_EQ(header.row_count, kRows);
  const uint16_t first_frame = header.word3;
  // Sent with bit 7 set, as every pixel: 0xFF on the wire.
  for (size_t i = 0; i < size_t{kRows} * kRowLength; ++i) {
    SCOPED_TRACE(testing::Message() << "pixel " << i);
    EXPECT_EQ(pixels[i], kWhite);
  }
  EXPECT_EQ(pixels[15], 0xEE);

  // 15 pixels do not fit in 14: refused before any row is read.
  auto image_ex = Get<GetImageExFn>("QX318_GetImageEx");
  pixels.fill(0xEE);
  EXPECT_EQ(image_ex(port_, kDevice, &header, pixels.data(), 14), 0);
  EXPECT_EQ(header.row_count, 0);
  EXPECT_EQ(pixels[0], 0xEE);
  EXPECT_EQ(image_ex(port_, kDevice, &header, pixels.data(), 15), 1);
  EXPECT_EQ(header.row_count, kRows);
  // W3 counts the device's images, the refused one included.
  EXPECT_EQ(header.word3, (first_frame + 2) & kLargest14Bits);
}

TEST_F(OpenPort, RotationValuesAndAngleFlash) {
  auto angle = Get<ValueFn>("QX318_GetRotateAngle");
  int32_t value = 0;
  ASSERT_EQ(angle(port_, kDevice, &value), 1);
  EXPECT_EQ(value, kStoredAngle);

  int32_t rotated = 0;
  ASSERT_EQ(Get<ValueFn>("QX318_RotateAxisXY")(port_, kDevice, &rotated), 1);
  ASSERT_EQ(angle(port_, kDevice, &value), 1);
  EXPECT_EQ(value, rotated) << "the angle is the one the rotation reported";

  EXPECT_EQ(Get<PlainFn>("QX318_RestoreAngleFromFlash")(port_, kDevice), 1);
  ASSERT_EQ(angle(port_, kDevice, &value), 1);
  EXPECT_EQ(value, kStoredAngle) << "restoring brings back the flash value";
  EXPECT_EQ(Get<PlainFn>("QX318_FlushAngleToFlash")(port_, kDevice), 1);
}

// A device that never answers costs one read time-out (1100 ms for the
// start byte), and the next exchange on the same port works.
TEST_F(OpenPort, SilentDeviceFailsInBoundedTimeAndThePortStaysUsable) {
  auto hello = Get<HelloFn>("QX318_HelloCmd");
  HelloAnswer answer{};
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(hello(port_, kSilentAddress, &answer), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(answer.value1, 0);
  EXPECT_EQ(hello(port_, kDevice, &answer), 1);
  EXPECT_EQ(answer.value7, kDevice);
}

TEST_F(OpenPort, NullOutputsFailWithoutTouchingTheBus) {
  MeasureHeader measure_header{};
  uint16_t values[4] = {};
  ImageHeader image_header{};
  uint8_t pixels[16] = {};
  const struct {
    const char *name;
    int32_t result;
  } cases[] = {
      {"hello", Get<HelloFn>("QX318_HelloCmd")(port_, kDevice, nullptr)},
      {"read parameter",
       Get<ReadParameterFn>("QX318_ReadParameter")(port_, kDevice, 0x0205, nullptr)},
      {"measure header", Get<GetMeasureFn>("QX318_GetMeasure")(port_, kDevice, nullptr, values)},
      {"measure values",
       Get<GetMeasureFn>("QX318_GetMeasure")(port_, kDevice, &measure_header, nullptr)},
      {"image header", Get<GetImageFn>("QX318_GetImage")(port_, kDevice, nullptr, pixels)},
      {"image pixels", Get<GetImageFn>("QX318_GetImage")(port_, kDevice, &image_header, nullptr)},
      {"rotate", Get<ValueFn>("QX318_RotateAxisXY")(port_, kDevice, nullptr)},
      {"angle", Get<ValueFn>("QX318_GetRotateAngle")(port_, kDevice, nullptr)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.result, 0);
  }
  EXPECT_EQ(TakeConverterCalls(), "");
}

TEST_F(LoadedDll, OpenAndCloseRefuseWhatTheyCannotUse) {
  auto open = Get<OpenPortFn>("QX318_OpenPort");
  auto close = Get<ClosePortFn>("QX318_ClosePort");
  PortHandle port = nullptr;
  EXPECT_EQ(open(port_name.c_str(), kBaudRate, nullptr), 0);
  EXPECT_EQ(TakeConverterCalls(), "");
  EXPECT_EQ(open("\\\\.\\COM199", kBaudRate, &port), 0);
  EXPECT_EQ(port, nullptr);
  EXPECT_EQ(close(nullptr), 0);
  EXPECT_EQ(close(QX318_INVALID_PORT), 0);
  EXPECT_EQ(TakeConverterCalls(), "CreateFile(\\\\.\\COM199,c0000000,0,null,3,82,null)");
}

// The entry point's contract, called directly: detach releases the table
// once and refuses a second time; without the table no exchange succeeds and
// no request leaves (its CRC could not be computed); attach builds it again;
// thread notifications change nothing.
TEST_F(OpenPort, DllMainBuildsAndReleasesTheCrcTable) {
  auto entry = Get<DllMainFn>("DllMain");
  auto hello = Get<HelloFn>("QX318_HelloCmd");
  HelloAnswer answer{};
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(dll_, DLL_THREAD_ATTACH, nullptr), TRUE);
  EXPECT_EQ(entry(dll_, DLL_THREAD_DETACH, nullptr), TRUE);
  EXPECT_EQ(hello(port_, kDevice, &answer), 1);

  EXPECT_EQ(entry(dll_, DLL_PROCESS_DETACH, nullptr), TRUE);
  EXPECT_EQ(entry(dll_, DLL_PROCESS_DETACH, nullptr), FALSE);
  answer = HelloAnswer{};
  (void)TakeConverterCalls();
  EXPECT_EQ(hello(port_, kDevice, &answer), 0);
  EXPECT_EQ(answer.value1, 0);
  EXPECT_EQ(TakeConverterCalls().find("WriteFile"), std::string::npos);

  EXPECT_EQ(entry(dll_, DLL_PROCESS_ATTACH, nullptr), TRUE);
  EXPECT_EQ(hello(port_, kDevice, &answer), 1);
  EXPECT_EQ(answer.value1, kDeviceModel);
}

// The version resource, read back the way installers and Explorer read it.
TEST(VersionResource, FileAndProductVersionAre1_0_0_1) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(dll_path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource";
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(dll_path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  const struct {
    const char *key;
    const char *value;
  } strings[] = {{"FileVersion", "1.0.0.1"},
                 {"ProductVersion", "1.0.0.1"},
                 {"ProductName", "QX318_RS485"},
                 {"OriginalFilename", "QX318_RS485.dll"},
                 {"InternalName", "QX318_RS485"}};
  for (const auto &s : strings) {
    SCOPED_TRACE(s.key);
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + s.key;
    char *text = nullptr;
    ASSERT_TRUE(
        VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void **>(&text), &length));
    EXPECT_STREQ(text, s.value);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (!qx318::test::TakeDllArguments(argc, argv, dll_path, port_name)) return 2;
  return RUN_ALL_TESTS();
}
