// Handles of the POSIX converter: a value it never handed out, or one already
// closed, is refused by every operation (nothing reaches any device, and the
// process survives), and a stale handle never reaches a port opened later.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "QX318_RS485.h"
#include "every_command.h"
#include "port/converter.h"
#include "pty_device.h"
#include "wire_oracle.h"

namespace qx318::test {
namespace {

using std::chrono::milliseconds;

constexpr int32_t kAddress = 1;

PortHandle HandleFromValue(uintptr_t value) { return reinterpret_cast<PortHandle>(value); }

// A hello answer whose value1 tells the devices apart.
Bytes HelloAnswerFrom(uint16_t value1) {
  Bytes data = Groups(value1, 2);
  data.resize(15, 0);
  return AnswerFrame(data);
}

// A device that answers every hello with its own mark.
class MarkedDevice {
 public:
  explicit MarkedDevice(uint16_t mark) {
    device_.Serve([mark](const Bytes &request) {
      const auto decoded = DecodeRequest(request);
      if (!decoded || !decoded->crc_ok || decoded->command != kHello) return Bytes{};
      return HelloAnswerFrom(mark);
    });
  }
  const std::string &path() const { return device_.slave_path(); }
  size_t requests() const { return device_.requests().size(); }
  // Whether a request beyond the first `seen` arrives within a moment: long
  // enough for one that was written to have been read by the device thread.
  bool AnotherRequestArrives(size_t seen) const {
    return device_.WaitForRequests(seen + 1, milliseconds(200));
  }

 private:
  PtyDevice device_;
};

PortHandle Open(const MarkedDevice &device) {
  PortHandle port = nullptr;
  EXPECT_EQ(QX318_OpenPort(device.path().c_str(), 115200, &port), 1) << device.path();
  return port;
}

// 0 when the hello failed, else the mark of the device that answered it.
uint16_t HelloMark(PortHandle port) {
  HelloAnswer answer{};
  return QX318_HelloCmd(port, kAddress, &answer) == 1 ? answer.value1 : 0;
}

// Every command through the handle fails, and no request reaches the device.
void ExpectRefusedByEveryCommand(PortHandle port, const MarkedDevice &device) {
  const size_t seen = device.requests();
  for (const CommandCall &command : EveryCommand()) {
    SCOPED_TRACE(command.name);
    EXPECT_EQ(command.call(port, kAddress), 0);
  }
  EXPECT_FALSE(device.AnotherRequestArrives(seen)) << "a request went out";
}

// What the converter does with a handle it must refuse: every operation
// fails, and reads and writes report that nothing moved.
void ExpectRefusedByTheConverter(PortHandle port) {
  const ConverterBackend &converter = Converter();
  uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t moved = 99;
  EXPECT_EQ(converter.read_file(port, bytes, sizeof bytes, &moved, nullptr), 0);
  EXPECT_EQ(moved, 0u) << "read";
  moved = 99;
  EXPECT_EQ(converter.write_file(port, bytes, sizeof bytes, &moved, nullptr), 0);
  EXPECT_EQ(moved, 0u) << "write";
  Dcb dcb{};
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  EXPECT_EQ(converter.get_comm_state(port, &dcb), 0);
  EXPECT_EQ(converter.set_comm_state(port, &dcb), 0);
  CommTimeouts timeouts{100, 100, 1000, 0, 0};
  EXPECT_EQ(converter.set_comm_timeouts(port, &timeouts), 0);
  EXPECT_EQ(converter.setup_comm(port, 1024, 1024), 0);
  EXPECT_EQ(converter.purge_comm(port, kPurgeTxAbort | kPurgeRxAbort), 0);
  EXPECT_EQ(converter.set_comm_mask(port, kEventRxChar), 0);
  EXPECT_EQ(converter.close_handle(port), 0);
}

// Shaped like a port record of the converter, with a live descriptor in it:
// a converter that took handles for pointers would use it.
struct LookAlikeRecord {
  int fd;
  uint32_t timeouts[5];
  uint32_t baud_rate;
};

TEST(PortHandles, ValuesNeverHandedOutAreRefusedEverywhere) {
  MarkedDevice device(0x1111);
  const PortHandle live = Open(device);
  ASSERT_EQ(HelloMark(live), 0x1111);

  LookAlikeRecord look_alike{0, {100, 100, 1000, 0, 0}, 115200};
  const struct {
    const char *name;
    PortHandle value;
  } bogus[] = {
      {"one", HandleFromValue(1)},
      {"small", HandleFromValue(0x3FF)},
      {"all bits but one", HandleFromValue(~uintptr_t{1})},
      {"a look-alike record", &look_alike},
      {"the live handle plus one", HandleFromValue(reinterpret_cast<uintptr_t>(live) + 1)},
      {"the live handle minus one", HandleFromValue(reinterpret_cast<uintptr_t>(live) - 1)},
  };
  for (const auto &value : bogus) {
    SCOPED_TRACE(value.name);
    ExpectRefusedByEveryCommand(value.value, device);
    ExpectRefusedByTheConverter(value.value);
    EXPECT_EQ(QX318_ClosePort(value.value), 1) << "any value but 0 and all bits set";
  }
  EXPECT_EQ(HelloMark(live), 0x1111) << "the live port is unharmed";
  EXPECT_EQ(QX318_ClosePort(live), 1);
}

TEST(PortHandles, AClosedHandleIsRefusedAndClosingItAgainIsHarmless) {
  MarkedDevice device(0x2222);
  const PortHandle port = Open(device);
  ASSERT_EQ(HelloMark(port), 0x2222);
  ASSERT_EQ(QX318_ClosePort(port), 1);

  ExpectRefusedByEveryCommand(port, device);
  EXPECT_EQ(QX318_ClosePort(port), 1) << "closing twice keeps the documented result";
  EXPECT_EQ(QX318_ClosePort(port), 1);
  ExpectRefusedByTheConverter(port);

  const PortHandle again = Open(device);
  EXPECT_EQ(HelloMark(again), 0x2222) << "the device can be opened again";
  EXPECT_EQ(QX318_ClosePort(again), 1);
}

TEST(PortHandles, AStaleHandleNeverReachesAPortOpenedLater) {
  MarkedDevice first(0x0A0A);
  MarkedDevice second(0x0B0B);
  const PortHandle stale = Open(first);
  ASSERT_EQ(QX318_ClosePort(stale), 1);
  const PortHandle fresh = Open(second);
  EXPECT_NE(fresh, stale);

  const size_t seen = second.requests();
  EXPECT_EQ(HelloMark(stale), 0) << "the stale handle reached the port opened after it";
  EXPECT_FALSE(second.AnotherRequestArrives(seen));
  EXPECT_EQ(HelloMark(fresh), 0x0B0B);
  EXPECT_EQ(QX318_ClosePort(stale), 1);
  EXPECT_EQ(HelloMark(fresh), 0x0B0B) << "closing the stale handle closed the new port";
  EXPECT_EQ(QX318_ClosePort(fresh), 1);
}

// Whatever the order of opens and closes, no handle value is handed out
// twice, and every handle closed along the way stays refused.
TEST(PortHandles, ReopeningNeverRepeatsAHandleValue) {
  std::deque<MarkedDevice> devices;  // devices own threads: never moved
  for (uint16_t mark = 1; mark <= 3; ++mark) devices.emplace_back(mark);
  std::set<PortHandle> handed_out;
  std::vector<PortHandle> closed;
  for (int round = 0; round < 40; ++round) {
    const MarkedDevice &device = devices[static_cast<size_t>(round) % devices.size()];
    const PortHandle port = Open(device);
    EXPECT_TRUE(handed_out.insert(port).second) << "round " << round << " repeated a handle";
    if (round % 8 == 0) {
      EXPECT_NE(HelloMark(port), 0);
    }
    ASSERT_EQ(QX318_ClosePort(port), 1);
    closed.push_back(port);
  }
  const PortHandle live = Open(devices[0]);
  for (PortHandle port : closed) EXPECT_EQ(HelloMark(port), 0);
  EXPECT_EQ(HelloMark(live), 1);
  EXPECT_EQ(QX318_ClosePort(live), 1);
}

}  // namespace
}  // namespace qx318::test
