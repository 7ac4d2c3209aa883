// The simulated devices on a pseudo-terminal served by a thread of this
// test, driven through the library's public functions and the real POSIX
// converter: what a host sees of the device model, the multi-drop bus, the
// wire options and every injected fault.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "QX318_RS485.h"
#include "protocol/command_codes.h"
#include "sim/device_model.h"
#include "sim/in_process_bus.h"
#include "sim/state_file.h"

namespace qx318::sim {
namespace {

using std::chrono::milliseconds;

constexpr uint16_t kRows = 24;
constexpr uint16_t kRowLength = 40;
constexpr uint16_t kPairs = 12;

BusOptions TwoDevices() {
  BusOptions options;
  options.devices.clear();
  for (const uint8_t address : {uint8_t{1}, uint8_t{2}}) {
    options.devices.push_back(DeviceConfig{address, kRows, kRowLength, kPairs});
  }
  return options;
}

class SimulatedBus : public ::testing::Test {
 protected:
  void StartBus(BusOptions options) {
    bus_ = std::make_unique<InProcessBus>(std::move(options));
    ASSERT_TRUE(bus_->ok()) << bus_->error();
    ASSERT_EQ(QX318_OpenPort(bus_->port_path().c_str(), 115200, &port_), 1);
  }
  void SetUp() override { StartBus(TwoDevices()); }
  void TearDown() override {
    if (port_ != QX318_INVALID_PORT) (void)QX318_ClosePort(port_);
    bus_.reset();
  }

  bool Hello(int address, HelloAnswer *answer) {
    return QX318_HelloCmd(port_, address, answer) == 1;
  }
  bool FetchImage(ImageHeader *header, std::vector<uint8_t> *pixels) {
    pixels->assign(size_t{kRows} * kRowLength, 0);
    return QX318_GetImageEx(port_, 1, header, pixels->data(),
                            static_cast<uint32_t>(pixels->size())) == 1;
  }

  std::unique_ptr<InProcessBus> bus_;
  PortHandle port_ = QX318_INVALID_PORT;
};

TEST_F(SimulatedBus, EachDeviceAnswersHelloAtItsOwnAddressOnly) {
  for (const int address : {1, 2}) {
    SCOPED_TRACE(address);
    HelloAnswer a{};
    ASSERT_TRUE(Hello(address, &a));
    EXPECT_EQ(a.value1, kDeviceModel);
    EXPECT_EQ(a.value2, kFirmwareVersion);
    EXPECT_EQ(a.value3, kSerialBase + static_cast<uint32_t>(address));
    EXPECT_EQ(a.value4, kRows);
    EXPECT_EQ(a.value5, kRowLength);
    EXPECT_EQ(a.value6, kPairs);
    EXPECT_EQ(a.value7, address);
  }
  HelloAnswer untouched{};
  untouched.value1 = 4242;
  EXPECT_FALSE(Hello(3, &untouched));  // nobody at 3: silence, not a neighbour's answer
  EXPECT_EQ(untouched.value1, 4242);
}

struct ParameterCase {
  const char *what;
  ParameterCode write_code;  // 0: no write
  uint16_t value;
  ParameterCode read_code;
  bool read_ok;
  uint16_t expected;
};

// Stable test names: gtest would otherwise print the case's bytes.
void PrintTo(const ParameterCase &c, std::ostream *os) { *os << c.what; }

class ParameterWidths : public SimulatedBus, public ::testing::WithParamInterface<ParameterCase> {};

TEST_P(ParameterWidths, AReadAnswersWithTheGroupCountOfTheLastWrite) {
  const ParameterCase &c = GetParam();
  if (c.write_code != 0) {
    ASSERT_EQ(QX318_WriteParameter(port_, 1, c.write_code, c.value), 1);
  }
  uint16_t value = 0xBEEF;
  EXPECT_EQ(QX318_ReadParameter(port_, 1, c.read_code, &value) == 1, c.read_ok);
  EXPECT_EQ(value, c.read_ok ? c.expected : 0xBEEF);
  // The other device on the bus never saw the write.
  uint16_t neighbour = 0;
  ASSERT_EQ(QX318_ReadParameter(port_, 2, static_cast<ParameterCode>(0x0200 | (c.read_code & 0xFF)),
                                &neighbour),
            1);
  EXPECT_EQ(neighbour, c.read_code & 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParameterWidths,
    ::testing::Values(ParameterCase{"factory value, two groups", 0, 0, 0x0207, true, 7},
                      ParameterCase{"factory width refuses three", 0, 0, 0x0307, false, 0},
                      ParameterCase{"two groups", 0x0205, 300, 0x0205, true, 300},
                      ParameterCase{"three groups", 0x0309, 65535, 0x0309, true, 65535},
                      ParameterCase{"one group", 0x010A, 127, 0x010A, true, 127},
                      ParameterCase{"written in three, read in two", 0x030B, 5, 0x020B, false, 0},
                      ParameterCase{"no groups", 0x000C, 99, 0x000C, true, 0}),
    [](const auto &param_info) {
      std::string name = param_info.param.what;
      for (char &ch : name) {
        if (ch == ' ' || ch == ',') ch = '_';
      }
      return name;
    });

TEST_F(SimulatedBus, FlashKeepsParametersAndAngleUntilRestored) {
  ASSERT_EQ(QX318_WriteParameter(port_, 1, 0x0205, 300), 1);
  ASSERT_EQ(QX318_FlushParamsToFlash(port_, 1), 1);
  int32_t angle = 0;
  ASSERT_EQ(QX318_RotateAxisXY(port_, 1, &angle), 1);
  ASSERT_EQ(QX318_FlushAngleToFlash(port_, 1), 1);

  ASSERT_EQ(QX318_WriteParameter(port_, 1, 0x0205, 777), 1);
  uint16_t value = 0;
  ASSERT_EQ(QX318_ReadParameter(port_, 1, 0x0205, &value), 1);
  EXPECT_EQ(value, 777);
  ASSERT_EQ(QX318_RestoreParamsFromFlash(port_, 1), 1);
  ASSERT_EQ(QX318_ReadParameter(port_, 1, 0x0205, &value), 1);
  EXPECT_EQ(value, 300);

  ASSERT_EQ(QX318_RestoreAngleFromFlash(port_, 1), 1);
  int32_t restored = 0;
  ASSERT_EQ(QX318_GetRotateAngle(port_, 1, &restored), 1);
  EXPECT_EQ(restored, angle);
}

TEST_F(SimulatedBus, MeasurementIsAProfileThatLockResultFreezesAndReleases) {
  MeasureHeader first{};
  MeasureHeader second{};
  std::vector<uint16_t> a(2 * kPairs), b(2 * kPairs);
  ASSERT_EQ(QX318_GetMeasureEx(port_, 1, &first, a.data(), 2 * kPairs), 1);
  EXPECT_EQ(first.pair_count, kPairs);
  EXPECT_EQ(first.lead_byte & kFrozenFlag, 0);
  for (size_t k = 1; k < kPairs; ++k)
    EXPECT_GT(a[2 * k], a[2 * k - 2]) << "X rises along the profile";
  for (const uint16_t v : a) EXPECT_LE(v, 0x3FFF);

  ASSERT_EQ(QX318_LockResult(port_, 1), 1);
  ASSERT_EQ(QX318_GetMeasureEx(port_, 1, &first, a.data(), 2 * kPairs), 1);
  ASSERT_EQ(QX318_GetMeasureEx(port_, 1, &second, b.data(), 2 * kPairs), 1);
  EXPECT_NE(first.lead_byte & kFrozenFlag, 0);
  EXPECT_EQ(first.lead_byte, second.lead_byte);
  EXPECT_EQ(a, b);

  ASSERT_EQ(QX318_LockResult(port_, 1), 1);
  ASSERT_EQ(QX318_GetMeasureEx(port_, 1, &second, b.data(), 2 * kPairs), 1);
  EXPECT_EQ(second.lead_byte & kFrozenFlag, 0);
  EXPECT_NE(a, b);  // fresh noise on a live profile
}

TEST_F(SimulatedBus, ImagesCarryTheTestPatternAndCountFrames) {
  for (uint16_t frame = 0; frame < 2; ++frame) {
    SCOPED_TRACE(frame);
    ImageHeader header{};
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(FetchImage(&header, &pixels));
    EXPECT_EQ(header.row_count, kRows);
    EXPECT_EQ(header.row_length, kRowLength);
    EXPECT_EQ(header.word3, frame);
    EXPECT_EQ(header.word4, kPixelBits);
    for (uint32_t r = 0; r < kRows; ++r) {
      for (uint32_t c = 0; c < kRowLength; ++c) {
        ASSERT_EQ(pixels[r * kRowLength + c], TestPatternPixel(r, c, kRows, kRowLength, frame))
            << r << "," << c;
      }
    }
  }
}

TEST_F(SimulatedBus, NegativeAnglesSurviveTheFiveGroupsAndFlash) {
  // A device whose flash holds a negative angle, restored into the working set.
  bus_.reset();
  FlashContents flash = FactoryFlash();
  flash.angle = -123456;
  const auto dir =
      std::filesystem::temp_directory_path() / ("qx318-sim-angle-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string state = (dir / "state.json").string();
  std::string error;
  ASSERT_TRUE(SaveState(state, {{uint8_t{1}, flash}}, &error)) << error;
  BusOptions options = TwoDevices();
  options.state_file = state;
  (void)QX318_ClosePort(port_);
  StartBus(options);
  int32_t angle = 0;
  EXPECT_EQ(QX318_GetRotateAngle(port_, 1, &angle), 1);
  EXPECT_EQ(angle, -123456);
  std::filesystem::remove_all(dir);
}

TEST_F(SimulatedBus, RotationStoresTheAngleItReports) {
  int32_t rotated = 0;
  int32_t read = 0;
  ASSERT_EQ(QX318_RotateAxisXY(port_, 1, &rotated), 1);
  ASSERT_EQ(QX318_GetRotateAngle(port_, 1, &read), 1);
  EXPECT_EQ(read, rotated);
  EXPECT_NE(rotated, 0);  // the profile is tilted
  int32_t other = 0;
  ASSERT_EQ(QX318_GetRotateAngle(port_, 2, &other), 1);
  EXPECT_EQ(other, 0);  // the neighbour did not rotate
}

// Commands a device never answers: writes, the lock, and codes it does not
// know. An answer to any of them would collide with the host's next request.
struct SilentCase {
  const char *what;
  uint8_t command;
  std::vector<uint8_t> data;
};

void PrintTo(const SilentCase &c, std::ostream *os) { *os << c.what; }

class SilentCommands : public ::testing::TestWithParam<SilentCase> {};

TEST_P(SilentCommands, GetNoAnswer) {
  DeviceModel model(DeviceConfig{3, kRows, kRowLength, kPairs}, 1, Clock::now());
  Request request;
  request.address = 3;
  request.command = GetParam().command;
  request.data = GetParam().data;
  EXPECT_FALSE(model.Handle(request, Clock::now()).answer.has_value());
  // The same device still answers a hello afterwards.
  Request hello;
  hello.address = 3;
  hello.command = CMD_HELLO;
  EXPECT_TRUE(model.Handle(hello, Clock::now()).answer.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SilentCommands,
    ::testing::Values(SilentCase{"write_parameter", CMD_WRITE_PARAMETER, {0x05, 0x2C, 0x02}},
                      SilentCase{"lock_result", CMD_LOCK_RESULT, {}},
                      SilentCase{"unknown_0", 0, {}}, SilentCase{"unknown_7", 7, {}},
                      SilentCase{"unknown_8", 8, {}}, SilentCase{"unknown_13", 13, {}}),
    [](const auto &param_info) { return std::string(param_info.param.what); });

struct FaultCase {
  FaultKind kind;
  bool image;  // fault the image answer instead of hello
};

void PrintTo(const FaultCase &c, std::ostream *os) {
  *os << FaultName(c.kind) << (c.image ? " on the image" : " on hello");
}

class InjectedFaults : public SimulatedBus, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(InjectedFaults, FailTheExchangeAndLeaveTheNextOneClean) {
  const FaultCase &c = GetParam();
  bus_->faults().Add(FaultRule{c.kind, 0.0, 1});
  HelloAnswer hello{};
  ImageHeader header{};
  std::vector<uint8_t> pixels;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.image ? FetchImage(&header, &pixels) : Hello(1, &hello));
  // Bounded: the library gives up within its answer time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  if (c.image) {
    EXPECT_EQ(header.row_count, 0);
    ASSERT_TRUE(FetchImage(&header, &pixels));
    EXPECT_EQ(header.row_count, kRows);
  }
  ASSERT_TRUE(Hello(1, &hello));
  EXPECT_EQ(hello.value1, kDeviceModel);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, InjectedFaults,
    ::testing::Values(
        FaultCase{FaultKind::kCorruptCrc, false}, FaultCase{FaultKind::kDropByte, false},
        FaultCase{FaultKind::kTruncate, false}, FaultCase{FaultKind::kStall, false},
        FaultCase{FaultKind::kNoAnswer, false}, FaultCase{FaultKind::kWrongLength, false},
        FaultCase{FaultKind::kCorruptCrc, true}, FaultCase{FaultKind::kDropByte, true},
        FaultCase{FaultKind::kTruncate, true}, FaultCase{FaultKind::kStall, true},
        FaultCase{FaultKind::kNoAnswer, true}, FaultCase{FaultKind::kWrongLength, true}),
    [](const auto &param_info) {
      std::string name =
          FaultName(param_info.param.kind) + (param_info.param.image ? "_image" : "_hello");
      for (char &ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

class WireRealism : public SimulatedBus {
 protected:
  void SetUp() override {
    BusOptions options = TwoDevices();
    options.wire.baud = kBaud;
    options.wire.noise_bytes = 40;
    options.wire.reply_delay = milliseconds(150);
    StartBus(options);
  }
  static constexpr uint32_t kBaud = 38400;
};

TEST_F(WireRealism, NoiseDelayAndPacingStillDecode) {
  HelloAnswer hello{};
  ASSERT_TRUE(Hello(2, &hello));
  EXPECT_EQ(hello.value7, 2);
  ImageHeader header{};
  std::vector<uint8_t> pixels;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(FetchImage(&header, &pixels));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // The answer cannot arrive faster than the line carries it.
  const double line_time = (kRows * kRowLength + 40.0 + 12) * 10 / kBaud;
  EXPECT_GE(seconds, 0.9 * line_time + 0.15);
  EXPECT_EQ(pixels[0], TestPatternPixel(0, 0, kRows, kRowLength, 0));
}

TEST(StateFile, RoundTripsAndRejectsGarbage) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("qx318-sim-state-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "state.json").string();
  FlashByAddress state;
  state[3] = FactoryFlash();
  state[3].parameters[200] = ParameterSlot{54321, 3};
  state[3].angle = -5;
  state[7] = FactoryFlash();
  std::string error;
  FlashByAddress loaded;
  ASSERT_TRUE(LoadState(path, &loaded, &error)) << "a missing file is an empty flash";
  EXPECT_TRUE(loaded.empty());
  ASSERT_TRUE(SaveState(path, state, &error)) << error;
  ASSERT_TRUE(LoadState(path, &loaded, &error)) << error;
  EXPECT_EQ(loaded, state);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "no temporary left";

  {
    std::FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("{\"format\": \"something else\"}", f);
    std::fclose(f);
  }
  EXPECT_FALSE(LoadState(path, &loaded, &error));
  EXPECT_NE(error.find(path), std::string::npos);
  std::filesystem::remove_all(dir);
}

// A save that cannot be made names the file the user gave, never the
// temporary one it was to be written under, and leaves nothing behind.
TEST(StateFile, AFailedSaveNamesTheFileAndLeavesNoTemporary) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("qx318-sim-unsaved-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string in_missing_folder = (dir / "missing" / "state.json").string();
  const std::string a_folder = (dir / "taken").string();
  std::filesystem::create_directory(a_folder);
  for (const std::string &path : {in_missing_folder, a_folder}) {
    SCOPED_TRACE(path);
    std::string error;
    EXPECT_FALSE(SaveState(path, {{uint8_t{1}, FactoryFlash()}}, &error));
    const std::string named = "cannot write " + path + ": ";
    ASSERT_EQ(error.rfind(named, 0), 0u) << error;
    EXPECT_EQ(error.find('/', named.size()), std::string::npos) << "another file named: " << error;
  }
  std::vector<std::string> left;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"taken"});
  EXPECT_TRUE(std::filesystem::is_empty(a_folder));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qx318::sim
