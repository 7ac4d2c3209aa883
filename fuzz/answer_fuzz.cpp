// Arbitrary device bytes as the answer to every command that reads an
// ordinary answer frame. Input: a command selector, one argument byte (a
// group count, a capacity or a flash action), then the device's byte stream.
// The library's verdict and outputs must match the wire model's reading of
// the stream, and no output may be written past its end.
#include <array>
#include <cstring>
#include <memory>

#include "QX318_RS485.h"
#include "fake_converter.h"
#include "fuzz_target.h"

namespace qx318::fuzz {
namespace {

using test::AssembleGroups;
using test::ParsedAnswer;

enum Selector : uint8_t {
  kHello,
  kReadParameter,
  kGetMeasure,
  kGetMeasureEx,
  kRotateAxisXY,
  kGetRotateAngle,
  kFlash,
  kSelectorCount
};

constexpr uint32_t kMaxMeasureValues = 2u * 16383u;
constexpr uint8_t kFillByte = 0xA5;
constexpr uint16_t kFillValue = 0xA5A5;

bool Accepted(const std::optional<ParsedAnswer> &answer) { return answer && answer->crc_ok; }

bool RunHello(PortHandle port, const std::optional<ParsedAnswer> &answer) {
  HelloAnswer record;
  std::memset(&record, kFillByte, sizeof record);
  const int32_t result = QX318_HelloCmd(port, 1, &record);
  const bool expected = Accepted(answer) && answer->data.size() == 15;
  Require(result == (expected ? 1 : 0), "hello verdict");
  Require(record.unused3 == kFillByte, "hello wrote the unused byte");
  if (!expected) {
    HelloAnswer untouched;
    std::memset(&untouched, kFillByte, sizeof untouched);
    Require(std::memcmp(&record, &untouched, sizeof record) == 0, "failed hello wrote its record");
    return false;
  }
  const std::array<uint32_t, 7> v = test::HelloValues(answer->data);
  Require(record.value1 == v[0] && record.value2 == v[1] && record.value3 == v[2] &&
              record.value4 == v[3] && record.value5 == v[4] && record.value6 == v[5] &&
              record.value7 == v[6],
          "hello values");
  return true;
}

bool RunReadParameter(PortHandle port, uint8_t groups, const std::optional<ParsedAnswer> &answer) {
  const auto code = static_cast<ParameterCode>(groups << 8 | 0x05);
  uint16_t value = kFillValue;
  const int32_t result = QX318_ReadParameter(port, 1, code, &value);
  const bool expected = Accepted(answer) && answer->data.size() == groups && groups <= 128;
  Require(result == (expected ? 1 : 0), "read parameter verdict");
  if (!expected) {
    Require(value == kFillValue, "failed read stored a value");
    return false;
  }
  Require(value == static_cast<uint16_t>(AssembleGroups(answer->data.data(), answer->data.size())),
          "parameter value");
  return true;
}

// The library's reason for refusing an accepted measurement answer: a data
// length other than 3 + 4 x pair_count first, then a pair count above the
// capacity; QX318_FAIL_NONE when the measurement is taken.
int32_t MeasureRefusal(const Bytes &data, uint32_t capacity) {
  if (data.size() < 3) return QX318_FAIL_WRONG_LENGTH;
  const uint32_t pair_count = AssembleGroups(&data[1], 2);
  if (data.size() != 3u + 4u * pair_count) return QX318_FAIL_WRONG_LENGTH;
  if (2 * pair_count > capacity) return QX318_FAIL_CAPACITY;
  return QX318_FAIL_NONE;
}

bool RunMeasure(PortHandle port, bool with_capacity, uint8_t argument,
                const std::optional<ParsedAnswer> &answer) {
  const uint32_t capacity = with_capacity ? argument * 32u : kMaxMeasureValues;
  // Exactly capacity values, so that the sanitizers see any write past them.
  const auto values = std::make_unique<uint16_t[]>(capacity);
  for (uint32_t i = 0; i < capacity; ++i) values[i] = kFillValue;
  MeasureHeader header;
  std::memset(&header, kFillByte, sizeof header);

  const int32_t result = with_capacity
                             ? QX318_GetMeasureEx(port, 1, &header, values.get(), capacity)
                             : QX318_GetMeasure(port, 1, &header, values.get());
  Require(header.unused1 == kFillByte, "measurement wrote the unused byte");

  const bool accepted = Accepted(answer);
  const int32_t refusal = accepted ? MeasureRefusal(answer->data, capacity) : QX318_FAIL_NONE;
  const bool expected = accepted && refusal == QX318_FAIL_NONE;
  Require(result == (expected ? 1 : 0), "measurement verdict");
  if (accepted) Require(QX318_GetLastFailure() == refusal, "measurement failure reason");
  if (!expected) {
    Require(header.lead_byte == kFillByte && header.pair_count == (kFillByte << 8 | kFillByte),
            "failed measurement wrote its header");
    for (uint32_t i = 0; i < capacity; ++i) {
      Require(values[i] == kFillValue, "failed measurement wrote a value");
    }
    return false;
  }
  const Bytes &data = answer->data;
  const uint32_t pair_count = AssembleGroups(&data[1], 2);
  Require(header.lead_byte == data[0] && header.pair_count == pair_count, "measurement header");
  for (uint32_t j = 0; j < capacity; ++j) {
    const uint16_t expected_value = j < 2 * pair_count
                                        ? static_cast<uint16_t>(AssembleGroups(&data[3 + 2 * j], 2))
                                        : kFillValue;
    Require(values[j] == expected_value, "measurement value");
  }
  return true;
}

bool RunRotation(PortHandle port, bool angle, const std::optional<ParsedAnswer> &answer) {
  int32_t value = static_cast<int32_t>(0xA5A5A5A5u);
  const int32_t result =
      angle ? QX318_GetRotateAngle(port, 1, &value) : QX318_RotateAxisXY(port, 1, &value);
  const bool expected = Accepted(answer) && answer->data.size() == 5;
  Require(result == (expected ? 1 : 0), "rotation verdict");
  if (!expected) {
    Require(static_cast<uint32_t>(value) == 0xA5A5A5A5u, "failed rotation stored a value");
    return false;
  }
  Require(static_cast<uint32_t>(value) == AssembleGroups(answer->data.data(), 5), "rotation value");
  return true;
}

struct FlashFunction {
  int32_t(QX318_CALL *call)(PortHandle, int32_t);
  uint8_t action;
};

constexpr FlashFunction kFlashFunctions[] = {
    {QX318_FlushParamsToFlash, 0x55},
    {QX318_RestoreParamsFromFlash, 0x33},
    {QX318_FlushAngleToFlash, 0x55},
    {QX318_RestoreAngleFromFlash, 0x33},
};

bool RunFlash(PortHandle port, uint8_t argument, const std::optional<ParsedAnswer> &answer) {
  const FlashFunction &function = kFlashFunctions[argument % 4];
  const int32_t result = function.call(port, 1);
  const bool expected =
      Accepted(answer) && !answer->data.empty() && answer->data[0] == function.action;
  Require(result == (expected ? 1 : 0), "flash verdict");
  return expected;
}

}  // namespace

bool RunInput(const uint8_t *input, size_t size) {
  if (size < 2) return false;
  const auto selector = static_cast<Selector>(input[0] % kSelectorCount);
  const uint8_t argument = input[1];
  const Bytes stream(input + 2, input + size);

  fake::FakeConverter converter;
  converter.QueueAnswer(stream);
  const PortHandle port = converter.handle();
  const std::optional<ParsedAnswer> answer = test::ParseAnswer(stream);
  switch (selector) {
    case kHello:
      return RunHello(port, answer);
    case kReadParameter:
      return RunReadParameter(port, argument, answer);
    case kGetMeasure:
      return RunMeasure(port, false, argument, answer);
    case kGetMeasureEx:
      return RunMeasure(port, true, argument, answer);
    case kRotateAxisXY:
      return RunRotation(port, false, answer);
    case kGetRotateAngle:
      return RunRotation(port, true, answer);
    default:
      return RunFlash(port, argument, answer);
  }
}

Bytes GenerateInput(InputGenerator &gen) {
  const auto selector = static_cast<uint8_t>(gen.Below(kSelectorCount));
  auto argument = gen.Byte();
  Bytes data;
  // Lengths around the one each command expects.
  const auto near = [&gen](uint32_t length) {
    if (gen.Below(4) != 0) return length;
    const uint32_t moved = length + gen.Below(3);
    return moved > 0 ? moved - 1 : 0;
  };
  switch (selector) {
    case kHello:
      data = gen.Noise(near(15));
      break;
    case kReadParameter:
      argument = static_cast<uint8_t>(gen.Below(6));
      data = gen.Noise(near(argument));
      break;
    case kGetMeasure:
    case kGetMeasureEx: {
      // Half the answers carry exactly the pairs they count, the others any
      // number up to one more; a quarter then gain or lose a few bytes.
      const uint32_t pairs = gen.Below(4) == 0 ? gen.Below(16384) : gen.Below(40);
      data = {gen.Byte()};
      Append(data, test::Groups(pairs, 2));
      const uint32_t carried = gen.Below(2) == 0 ? pairs : gen.Below(pairs + 2);
      Append(data, gen.Noise(4 * carried));
      if (gen.Below(4) == 0) {
        const uint32_t off_by = 1 + gen.Below(3);
        if (gen.Below(2) == 0) {
          Append(data, gen.Noise(off_by));
        } else {
          data.resize(data.size() - std::min<size_t>(data.size(), off_by));
        }
      }
      data.resize(std::min<size_t>(data.size(), gen.Below(8) == 0 ? gen.Below(3) : 16383));
      break;
    }
    case kRotateAxisXY:
    case kGetRotateAngle:
      data = gen.Noise(near(5));
      break;
    default:
      data = gen.Noise(gen.Below(4));
      if (!data.empty() && gen.Below(2) == 0) data[0] = (argument % 2 == 0) ? 0x55 : 0x33;
      break;
  }
  for (uint8_t &byte : data) byte &= 0x7F;
  Bytes wire = gen.Below(10) == 0 ? gen.Noise(gen.Below(40)) : test::AnswerFrame(data);
  gen.MaybeDamage(wire);
  Bytes input{selector, argument};
  Append(input, wire);
  return input;
}

}  // namespace qx318::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  (void)qx318::fuzz::RunInput(data, size);
  return 0;
}
