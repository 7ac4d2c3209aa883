// The C++ interface (qx318.hpp) against qx318-sim on a pseudo-terminal, built
// once as C++17 (its own Span) and once as C++20 (std::span): every command,
// the capacity checks of the span outputs, Port ownership through moves, and
// failures that say which command failed where, and why, and the arguments
// refused before anything is sent, in the words of docs/arguments.md.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "argument_rules.h"
#include "child_process.h"
#include "qx318.hpp"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The simulated devices: what their hello answers and what sizes they use.
constexpr uint32_t kModel = 318;
constexpr uint32_t kFirmware = 12;
constexpr uint32_t kSerialBase = 3180000;
constexpr uint16_t kRows = 24;
constexpr uint16_t kRowLength = 40;
constexpr uint16_t kPairs = 16;
constexpr uint8_t kWhite = 127;
constexpr uint8_t kFrozenBit = 0x40;
constexpr int32_t kSilentAddress = 5;

// Generous: a missing answer costs 1.1 s; this proves only "does not hang".
constexpr auto kNoHangBound = std::chrono::seconds(5);

#if QX318_HPP_FAILURE_REASONS
constexpr int32_t kNoAnswer = QX318_FAIL_NO_ANSWER;
constexpr int32_t kCrcMismatch = QX318_FAIL_CRC_MISMATCH;
constexpr int32_t kCapacity = QX318_FAIL_CAPACITY;
constexpr int32_t kWrongLength = QX318_FAIL_WRONG_LENGTH;
constexpr int32_t kNotFound = QX318_FAIL_NOT_FOUND;
constexpr int32_t kClosedPort = QX318_FAIL_INVALID_HANDLE;
#else
constexpr int32_t kNoAnswer = qx318::kUnknownFailure;
constexpr int32_t kCrcMismatch = qx318::kUnknownFailure;
constexpr int32_t kCapacity = qx318::kUnknownFailure;
constexpr int32_t kWrongLength = qx318::kUnknownFailure;
constexpr int32_t kNotFound = qx318::kUnknownFailure;
constexpr int32_t kClosedPort = qx318::kUnknownFailure;
#endif

// A qx318-sim process serving devices 1 and 3 on a pseudo-terminal reached
// through a symlink in a scratch folder.
class SimulatedBus {
 public:
  explicit SimulatedBus(const std::string &name, std::vector<std::string> extra = {})
      : folder_(fs::temp_directory_path() /
                ("qx318-cxx-" + std::to_string(getpid()) + "-" + name)) {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    link_ = (folder_ / "bus").string();
    std::vector<std::string> arguments = {"--address",    "1,3",
                                          "--rows",       std::to_string(kRows),
                                          "--row-length", std::to_string(kRowLength),
                                          "--pairs",      std::to_string(kPairs),
                                          "--seed",       "12",
                                          "--state",      (folder_ / "flash.json").string(),
                                          "--link",       link_};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    child_ = std::make_unique<qx318::testing::Child>(QX318_SIM_PATH, arguments,
                                                     (folder_ / "sim.log").string());
    // The first line is the pseudo-terminal's path, printed once the link is
    // in place.
    ready_ = child_->started() && !child_->ReadLine(milliseconds(10000)).empty();
  }
  ~SimulatedBus() {
    child_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  SimulatedBus(const SimulatedBus &) = delete;
  SimulatedBus &operator=(const SimulatedBus &) = delete;

  bool ready() const { return ready_; }
  const std::string &path() const { return link_; }

 private:
  fs::path folder_;
  std::string link_;
  std::unique_ptr<qx318::testing::Child> child_;
  bool ready_ = false;
};

class CxxInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.ready()) << "qx318-sim did not start";
    qx318::Result<qx318::Port> opened = qx318::Port::Open(bus_.path(), 115200);
    ASSERT_TRUE(opened) << opened.error().message();
    port_ = std::move(*opened);
  }

  SimulatedBus bus_{::testing::UnitTest::GetInstance()->current_test_info()->name()};
  qx318::Port port_;
};

void ExpectFailure(const qx318::Failure &failure, const char *command, const std::string &port,
                   int32_t address, int32_t code) {
  EXPECT_STREQ(failure.command, command);
  EXPECT_EQ(failure.port, port);
  EXPECT_EQ(failure.address, address);
  EXPECT_EQ(failure.code, code) << failure.message();
  const std::string message = failure.message();
  EXPECT_NE(message.find(command), std::string::npos) << message;
  EXPECT_NE(message.find(port), std::string::npos) << message;
  if (address >= 0) {
    EXPECT_NE(message.find("address " + std::to_string(address)), std::string::npos) << message;
  }
#if QX318_HPP_FAILURE_REASONS
  EXPECT_FALSE(failure.text.empty()) << message;
  EXPECT_NE(message.find(failure.text), std::string::npos) << message;
#endif
}

TEST_F(CxxInterface, HelloNamesEachDevice) {
  for (int32_t address : {1, 3}) {
    SCOPED_TRACE(address);
    qx318::Result<HelloAnswer> hello = port_.device(address).Hello();
    ASSERT_TRUE(hello) << hello.error().message();
    EXPECT_EQ(hello->value1, kModel);
    EXPECT_EQ(hello->value2, kFirmware);
    EXPECT_EQ(hello->value3, kSerialBase + static_cast<uint32_t>(address));
    EXPECT_EQ(hello->value4, kRows);
    EXPECT_EQ(hello->value5, kRowLength);
    EXPECT_EQ(hello->value6, kPairs);
    EXPECT_EQ(hello->value7, address);
  }
}

TEST_F(CxxInterface, ParameterRoundTripThroughFlash) {
  const qx318::Device device = port_.device(3);
  const ParameterCode code = qx318::MakeParameterCode(5, 2);
  EXPECT_EQ(code, 0x0205);
  EXPECT_EQ(device.ReadParameter(code).value(), 5) << "factory value of parameter 5";

  ASSERT_TRUE(device.WriteParameter(code, 300));
  EXPECT_EQ(device.ReadParameter(code).value(), 300);
  ASSERT_TRUE(device.SaveParameters());
  ASSERT_TRUE(device.WriteParameter(code, 999));
  EXPECT_EQ(device.ReadParameter(code).value(), 999);
  ASSERT_TRUE(device.RestoreParameters());
  EXPECT_EQ(device.ReadParameter(code).value(), 300);

  // Parameter 5 travels in two groups: a read asking for three fails.
  qx318::Result<uint16_t> wrong_width = device.ReadParameter(qx318::MakeParameterCode(5, 3));
  ASSERT_FALSE(wrong_width);
  ExpectFailure(wrong_width.error(), "read parameter", bus_.path(), 3, kWrongLength);
  EXPECT_EQ(device.ReadParameter(code).value_or(0), 300) << "the next exchange is clean";
}

TEST_F(CxxInterface, MeasurementAsPairsAndIntoSpans) {
  const qx318::Device device = port_.device(1);
  qx318::Result<qx318::Measurement> measurement = device.Measure();
  ASSERT_TRUE(measurement) << measurement.error().message();
  ASSERT_EQ(measurement->pairs.size(), kPairs);
  EXPECT_LT(measurement->lead_byte, 128);
  // X runs evenly from 0 to 16383 across the field of view.
  EXPECT_EQ(measurement->pairs.front().first, 0);
  EXPECT_EQ(measurement->pairs.back().first, 16383);
  for (size_t i = 1; i < measurement->pairs.size(); ++i) {
    EXPECT_GT(measurement->pairs[i].first, measurement->pairs[i - 1].first) << i;
    EXPECT_LT(measurement->pairs[i].second, 16384) << i;
  }

  std::vector<uint16_t> exact(2 * kPairs, 0xBEEF);
  qx318::Result<MeasureHeader> header = device.MeasureInto(exact);
  ASSERT_TRUE(header) << header.error().message();
  EXPECT_EQ(header->pair_count, kPairs);
  EXPECT_EQ(exact[0], 0);
  EXPECT_EQ(exact[2 * kPairs - 2], 16383);

  std::vector<uint16_t> short_by_one(2 * kPairs - 1, 0xBEEF);
  qx318::Result<MeasureHeader> refused = device.MeasureInto(short_by_one);
  ASSERT_FALSE(refused);
  ExpectFailure(refused.error(), "measure", bus_.path(), 1, kCapacity);
  EXPECT_EQ(short_by_one, std::vector<uint16_t>(2 * kPairs - 1, 0xBEEF)) << "nothing written";
}

TEST_F(CxxInterface, LockResultFreezesAndReleasesTheMeasurement) {
  const qx318::Device device = port_.device(1);
  ASSERT_TRUE(device.LockResult());
  const qx318::Measurement first = device.Measure().value();
  const qx318::Measurement second = device.Measure().value();
  EXPECT_TRUE(first.lead_byte & kFrozenBit);
  EXPECT_EQ(first.lead_byte, second.lead_byte);
  ASSERT_EQ(first.pairs.size(), second.pairs.size());
  for (size_t i = 0; i < first.pairs.size(); ++i) {
    EXPECT_EQ(first.pairs[i].second, second.pairs[i].second) << i;
  }
  ASSERT_TRUE(device.LockResult());
  EXPECT_FALSE(device.Measure().value().lead_byte & kFrozenBit);
}

void ExpectWhiteBorder(const qx318::Image &image) {
  for (size_t r = 0; r < image.height(); ++r) {
    const qx318::Span<const uint8_t> row = image.row(r);
    ASSERT_EQ(row.size(), image.width());
    for (size_t c = 0; c < row.size(); ++c) {
      const bool border = r < 2 || c < 2 || r + 2 >= image.height() || c + 2 >= image.width();
      if (border) {
        EXPECT_EQ(row[c], kWhite) << r << "," << c;
      }
      EXPECT_LT(row[c], 128) << r << "," << c;
    }
  }
}

TEST_F(CxxInterface, ImageWithItsHeader) {
  const qx318::Device device = port_.device(3);
  qx318::Result<qx318::Image> first = device.GetImage();
  ASSERT_TRUE(first) << first.error().message();
  EXPECT_EQ(first->height(), kRows);
  EXPECT_EQ(first->width(), kRowLength);
  EXPECT_EQ(first->pixels.size(), size_t{kRows} * kRowLength);
  EXPECT_EQ(first->header.word4, 7) << "bits per pixel";
  ExpectWhiteBorder(*first);

  // Exactly the room it needs, through a span; the next frame's ramp has
  // moved on by 8 grey levels (pixel 2,2 lies on the ramp, off the disc).
  std::vector<uint8_t> pixels(size_t{kRows} * kRowLength);
  qx318::Result<ImageHeader> next = device.GetImageInto(pixels);
  ASSERT_TRUE(next) << next.error().message();
  EXPECT_EQ(next->word3, (first->header.word3 + 1) % 16384) << "frame number";
  EXPECT_EQ(next->row_count, kRows);
  EXPECT_EQ(next->row_length, kRowLength);
  const size_t ramp = 2 * size_t{kRowLength} + 2;
  EXPECT_EQ(pixels[ramp], (first->pixels[ramp] + 8) % 128);
}

TEST_F(CxxInterface, ImageLargerThanTheRoomIsRefusedBeforeAnyRow) {
  const qx318::Device device = port_.device(3);
  const size_t needed = size_t{kRows} * kRowLength;

  qx318::Result<qx318::Image> refused = device.GetImage(needed - 1);
  ASSERT_FALSE(refused);
  ExpectFailure(refused.error(), "image", bus_.path(), 3, kCapacity);

  std::vector<uint8_t> small(needed - 1, 0xEE);
  qx318::Result<ImageHeader> into = device.GetImageInto(small);
  ASSERT_FALSE(into);
  EXPECT_EQ(small, std::vector<uint8_t>(needed - 1, 0xEE)) << "no row read into the buffer";

  qx318::Result<qx318::Image> fits = device.GetImage(needed);
  ASSERT_TRUE(fits) << fits.error().message();
  EXPECT_EQ(fits->pixels.size(), needed);
}

TEST_F(CxxInterface, RotationAngleSavedAndRestored) {
  const qx318::Device device = port_.device(1);
  const int32_t saved = device.RotateAxis().value();
  EXPECT_EQ(device.RotationAngle().value(), saved);
  ASSERT_TRUE(device.SaveAngle());
  // The bump wanders, so a later fit usually finds another angle; the
  // restore brings back the saved one either way.
  usleep(300 * 1000);
  ASSERT_TRUE(device.RotateAxis());
  ASSERT_TRUE(device.RestoreAngle());
  EXPECT_EQ(device.RotationAngle().value(), saved);
}

TEST_F(CxxInterface, SilentAddressFailsWithItsReasonInBoundedTime) {
  const auto start = steady_clock::now();
  qx318::Result<HelloAnswer> hello = port_.device(kSilentAddress).Hello();
  EXPECT_LT(steady_clock::now() - start, kNoHangBound);
  ASSERT_FALSE(hello);
  ExpectFailure(hello.error(), "hello", bus_.path(), kSilentAddress, kNoAnswer);

  try {
    (void)hello.value();
    ADD_FAILURE() << "value() of a failure returned";
  } catch (const qx318::Error &error) {
    EXPECT_EQ(error.failure().address, kSilentAddress);
    EXPECT_EQ(std::string(error.what()), hello.error().message());
  }
  EXPECT_TRUE(port_.device(3).Hello()) << "the bus works after the silence";
}

TEST(CxxInterfaceFailures, CorruptAnswerCarriesItsReasonAndTheNextExchangeIsClean) {
  SimulatedBus bus("corrupt", {"--fault", "corrupt-crc"});
  ASSERT_TRUE(bus.ready());
  qx318::Port port = qx318::Port::Open(bus.path(), 115200).value();
  qx318::Result<int32_t> angle = port.device(1).RotationAngle();
  ASSERT_FALSE(angle);
  ExpectFailure(angle.error(), "rotation angle", bus.path(), 1, kCrcMismatch);
  EXPECT_TRUE(port.device(1).RotationAngle());
}

TEST(CxxInterfaceFailures, OpeningAMissingPortNamesIt) {
  const std::string missing = "/dev/qx318-no-such-port";
  qx318::Result<qx318::Port> port = qx318::Port::Open(missing, 115200);
  ASSERT_FALSE(port);
  ExpectFailure(port.error(), "open", missing, -1, kNotFound);
  EXPECT_EQ(port.error().message().find("address"), std::string::npos);
}

static_assert(!std::is_copy_constructible<qx318::Port>::value, "a Port is not copied");
static_assert(!std::is_copy_assignable<qx318::Port>::value, "a Port is not copied");
static_assert(std::is_nothrow_move_constructible<qx318::Port>::value, "moves cannot fail");
static_assert(std::is_nothrow_move_assignable<qx318::Port>::value, "moves cannot fail");

// The serial back end opens a port exclusively: a second open of the same
// path fails for as long as the first is open. That shows when a Port closed.
bool CanOpen(const std::string &path) { return bool(qx318::Port::Open(path, 115200)); }

TEST_F(CxxInterface, MovedPortStaysOpenAndItsDevicesFollow) {
  const qx318::Device device = port_.device(3);
  qx318::Port moved = std::move(port_);
  EXPECT_FALSE(port_.is_open());
  EXPECT_EQ(port_.handle(), QX318_INVALID_PORT);
  ASSERT_TRUE(moved.is_open());
  EXPECT_EQ(moved.description(), bus_.path());
  EXPECT_FALSE(CanOpen(bus_.path())) << "still open after the move";
  EXPECT_TRUE(device.Hello()) << "a Device follows its Port through a move";
  EXPECT_FALSE(port_.device(3).Hello()) << "the moved-from Port has no port";
}

TEST_F(CxxInterface, ClosedPortFailsItsDevicesWithoutReachingTheLibrary) {
  const qx318::Device device = port_.device(3);
  port_.Close();
  EXPECT_FALSE(port_.is_open());
  EXPECT_TRUE(CanOpen(bus_.path())) << "Close() released the port";
  qx318::Result<HelloAnswer> hello = device.Hello();
  ASSERT_FALSE(hello);
  ExpectFailure(hello.error(), "hello", bus_.path(), 3, kClosedPort);
  port_.Close();  // a second close does nothing
}

TEST_F(CxxInterface, DestructionAndMoveAssignmentClose) {
  {
    qx318::Port scoped = std::move(port_);
    EXPECT_FALSE(CanOpen(bus_.path()));
  }
  EXPECT_TRUE(CanOpen(bus_.path())) << "the destructor closed the port";

  SimulatedBus other("other-bus");
  ASSERT_TRUE(other.ready());
  qx318::Port target = qx318::Port::Open(bus_.path(), 115200).value();
  qx318::Port source = qx318::Port::Open(other.path(), 115200).value();
  target = std::move(source);
  EXPECT_TRUE(CanOpen(bus_.path())) << "move assignment closed the port it replaced";
  EXPECT_FALSE(CanOpen(other.path())) << "and kept the one it took";
  EXPECT_EQ(target.description(), other.path());
  EXPECT_TRUE(target.device(1).Hello());
}

// ---------------------------------------------------------------------------
// The argument rules of docs/arguments.md, read from the page.

using qx318::testing::ArgumentRule;
using qx318::testing::CodeText;
using qx318::testing::GroupCountText;
using Fields = std::map<std::string, std::string>;

const std::map<std::string, ArgumentRule> &Rules() {
  static const std::map<std::string, ArgumentRule> rules =
      qx318::testing::ReadArgumentRules(QX318_ARGUMENTS_PAGE);
  return rules;
}

std::vector<std::string> ValueRules() {
  std::vector<std::string> names;
  for (const auto &entry : Rules()) {
    if (entry.first.rfind("value-", 0) == 0) names.push_back(entry.first);
  }
  return names;
}

// A parameter of its own for each value rule, so that one rule's writes never
// change the width another rule reads with.
constexpr unsigned kFirstValueParameter = 40;

template <class T>
void ExpectRefused(const qx318::Result<T> &result, const std::string &rule, const Fields &fields) {
  ASSERT_FALSE(result) << rule << " passed";
  const std::string expected = Rules().at(rule).Refusal(fields);
  EXPECT_EQ(result.error().code, qx318::kInvalidArgument) << result.error().message();
  EXPECT_EQ(result.error().text, expected);
  EXPECT_NE(result.error().message().find(expected), std::string::npos);
}

// Devices at the first and last address too, so that an accepted address
// shows in an answer.
class ArgumentRules : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.ready()) << "qx318-sim did not start";
    port_ = qx318::Port::Open(bus_.path(), 115200).value();
  }

  SimulatedBus bus_{
      std::string("rules-") + ::testing::UnitTest::GetInstance()->current_test_info()->name(),
      {"--address", "0,31"}};
  qx318::Port port_;
};

TEST_F(ArgumentRules, ThePageHasTheRulesThisTestKnows) {
  std::vector<std::string> names;
  for (const auto &entry : Rules()) names.push_back(entry.first);
  EXPECT_EQ(names, (std::vector<std::string>{"address", "group-count", "parameter-number",
                                             "value-1-group", "value-2-groups", "value-3-groups"}));
  std::vector<unsigned> groups;
  for (const std::string &name : ValueRules()) groups.push_back(Rules().at(name).Groups());
  EXPECT_EQ(groups, (std::vector<unsigned>{1, 2, 3}));
}

TEST_F(ArgumentRules, AddressOutsideItsRangeIsRefusedByEveryCall) {
  const ArgumentRule &rule = Rules().at("address");
  // 33 would reach device 1 through the C API's 5-bit mask.
  for (const int64_t address : {rule.low - 1, rule.high + 1, rule.high + 2, int64_t{INT32_MIN}}) {
    SCOPED_TRACE(address);
    const qx318::Device device = port_.device(static_cast<int32_t>(address));
    const Fields fields{{"address", std::to_string(address)}};
    std::vector<uint16_t> values(8);
    std::vector<uint8_t> pixels(8);
    ExpectRefused(device.Hello(), "address", fields);
    ExpectRefused(device.ReadParameter(0x0205), "address", fields);
    ExpectRefused(device.ReadParameter(0x0085), "address", fields);  // the address comes first
    ExpectRefused(device.WriteParameter(0x0205, 1), "address", fields);
    ExpectRefused(device.SaveParameters(), "address", fields);
    ExpectRefused(device.RestoreParameters(), "address", fields);
    ExpectRefused(device.Measure(), "address", fields);
    ExpectRefused(device.MeasureInto(values), "address", fields);
    ExpectRefused(device.LockResult(), "address", fields);
    ExpectRefused(device.GetImage(), "address", fields);
    ExpectRefused(device.GetImageInto(pixels), "address", fields);
    ExpectRefused(device.RotateAxis(), "address", fields);
    ExpectRefused(device.RotationAngle(), "address", fields);
    ExpectRefused(device.SaveAngle(), "address", fields);
    ExpectRefused(device.RestoreAngle(), "address", fields);
  }
  for (const int64_t address : {rule.low, rule.high}) {
    qx318::Result<HelloAnswer> hello = port_.device(static_cast<int32_t>(address)).Hello();
    ASSERT_TRUE(hello) << hello.error().message();
    EXPECT_EQ(hello->value7, address);
  }
}

TEST_F(ArgumentRules, ParameterNumberOutsideADataByteIsRefused) {
  const ArgumentRule &rule = Rules().at("parameter-number");
  const qx318::Device device = port_.device(3);
  for (const int64_t number : {rule.high + 1, int64_t{133}, int64_t{255}}) {
    SCOPED_TRACE(number);
    const auto code = static_cast<ParameterCode>(0x0200 | number);
    const Fields fields{{"number", std::to_string(number)}};
    // kInvalidArgument, not the no-answer a request for 128-255 earns.
    ExpectRefused(device.ReadParameter(code), "parameter-number", fields);
    ExpectRefused(device.WriteParameter(code, 0), "parameter-number", fields);
    // The number comes before the group count.
    ExpectRefused(device.ReadParameter(static_cast<ParameterCode>(number)), "parameter-number",
                  fields);
  }
  // The last number a data byte carries reaches the device, whose factory
  // value for it is its number.
  const auto last = static_cast<uint8_t>(rule.high);
  EXPECT_EQ(device.ReadParameter(qx318::MakeParameterCode(last, 2)).value_or(0), rule.high);
}

TEST_F(ArgumentRules, GroupCountOutsideOneToThreeIsRefused) {
  const ArgumentRule &rule = Rules().at("group-count");
  const qx318::Device device = port_.device(3);
  for (const int64_t groups : {rule.low - 1, rule.high + 1, int64_t{255}}) {
    SCOPED_TRACE(groups);
    const auto code = static_cast<ParameterCode>(groups << 8 | 5);
    const Fields fields{{"groups", std::to_string(groups)}, {"code", CodeText(code)}};
    ExpectRefused(device.ReadParameter(code), "group-count", fields);
    ExpectRefused(device.WriteParameter(code, 0), "group-count", fields);
  }
  EXPECT_EQ(device.ReadParameter(0x0205).value_or(0), 5) << "parameter 5 untouched";
}

TEST_F(ArgumentRules, ValueWiderThanItsGroupsIsRefusedAndTheLimitsPass) {
  const qx318::Device device = port_.device(3);
  const std::vector<std::string> names = ValueRules();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const ArgumentRule &rule = Rules().at(names[i]);
    SCOPED_TRACE(rule.name);
    const auto number = static_cast<uint8_t>(kFirstValueParameter + i);
    const ParameterCode code =
        qx318::MakeParameterCode(number, static_cast<uint8_t>(rule.Groups()));
    // A uint16_t holds no value above 65535: the 3-group rule has nothing to
    // refuse here.
    if (rule.high + 1 <= UINT16_MAX) {
      const auto value = static_cast<uint16_t>(rule.high + 1);
      ExpectRefused(device.WriteParameter(code, value), rule.name,
                    Fields{{"value", std::to_string(value)},
                           {"code", CodeText(code)},
                           {"group_count", GroupCountText(rule.Groups())},
                           {"largest", std::to_string(rule.high)}});
      EXPECT_EQ(device.ReadParameter(qx318::MakeParameterCode(number, 2)).value_or(0), number)
          << "nothing reached the device";
    }
    for (const int64_t value : {rule.low, rule.high}) {
      ASSERT_TRUE(device.WriteParameter(code, static_cast<uint16_t>(value))) << value;
      EXPECT_EQ(device.ReadParameter(code).value_or(0), value);
    }
  }
}

// What the C API would have sent as 300 & 0x7F = 44.
TEST_F(ArgumentRules, TheWriteThatUsedToStore44IsRefused) {
  const qx318::Device device = port_.device(3);
  ExpectRefused(
      device.WriteParameter(0x0105, 300), "value-1-group",
      Fields{{"value", "300"}, {"code", "0x0105"}, {"group_count", "1 group"}, {"largest", "127"}});
  EXPECT_EQ(device.ReadParameter(0x0205).value_or(0), 5);
}

// On a closed port a call that got as far as the exchange fails with the
// closed port's reason: every refusal comes first.
TEST_F(ArgumentRules, RefusalsComeBeforeThePortIsUsed) {
  const qx318::Device device = port_.device(3);
  port_.Close();
  ExpectRefused(port_.device(32).Hello(), "address", Fields{{"address", "32"}});
  ExpectRefused(device.ReadParameter(0x0285), "parameter-number", Fields{{"number", "133"}});
  ExpectRefused(device.WriteParameter(0x0405, 1), "group-count",
                Fields{{"groups", "4"}, {"code", "0x0405"}});
  ExpectRefused(device.WriteParameter(0x0205, 16384), "value-2-groups",
                Fields{{"value", "16384"},
                       {"code", "0x0205"},
                       {"group_count", "2 groups"},
                       {"largest", "16383"}});
  qx318::Result<uint16_t> closed = device.ReadParameter(0x0205);
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().code, kClosedPort);
}

}  // namespace
