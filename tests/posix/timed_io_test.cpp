// The time-out model of the POSIX converter's reads and writes, driven
// directly on a pseudo-terminal: the cases a whole exchange cannot reach
// (a trickling device, the no-wait and wait-for-ever settings, a hang-up).
#include "port/posix/timed_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <numeric>

#include "port_on_pty.h"
#include "pty_device.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kNoWait = 0xFFFFFFFFu;

class TimedIo : public RawSlaveOnPty {
 protected:
  // Reads count bytes, reporting how long it took.
  posix::TransferResult TimedRead(uint32_t count, const CommTimeouts &timeouts,
                                  Clock::duration &elapsed) {
    buffer_.assign(count, 0);
    const auto start = Clock::now();
    const auto result = posix::ReadWithTimeouts(fd_, buffer_.data(), count, timeouts);
    elapsed = Clock::now() - start;
    return result;
  }

  Bytes buffer_;
};

TEST_F(TimedIo, ReadOfNothingReturnsAtOnce) {
  Clock::duration elapsed{};
  const auto result = TimedRead(0, CommTimeouts{100, 100, 1000, 0, 0}, elapsed);
  EXPECT_EQ(result.count, 0u);
  EXPECT_FALSE(result.failed);
  EXPECT_LT(elapsed, milliseconds(500));
}

// A device sending one byte every 30 ms never lets the 100 ms interval
// expire; only the total time-out (here 400 ms) ends the read.
TEST_F(TimedIo, TotalTimeOutEndsATricklingRead) {
  std::vector<Chunk> trickle;
  for (int i = 0; i < 40; ++i)
    trickle.push_back({Bytes{static_cast<uint8_t>(i)}, milliseconds(30)});
  auto writer = std::async(std::launch::async, [&] { return device_.WriteChunks(trickle); });

  Clock::duration elapsed{};
  const auto result = TimedRead(100, CommTimeouts{100, 0, 400, 0, 0}, elapsed);
  EXPECT_FALSE(result.failed);
  EXPECT_GE(result.count, 1u);
  EXPECT_LT(result.count, 100u);
  EXPECT_GE(elapsed, milliseconds(390));
  EXPECT_LT(elapsed, milliseconds(2500)) << "the total time-out was not honoured";
  for (uint32_t i = 0; i < result.count; ++i) EXPECT_EQ(buffer_[i], i) << "byte " << i;
  writer.wait();
}

// With a total far away, the interval still ends the read soon after the
// last byte.
TEST_F(TimedIo, IntervalEndsTheReadLongBeforeTheTotal) {
  ASSERT_TRUE(device_.WriteAll({1, 2, 3}));
  Clock::duration elapsed{};
  const auto result = TimedRead(10, CommTimeouts{100, 0, 20000, 0, 0}, elapsed);
  EXPECT_EQ(result.count, 3u);
  EXPECT_LT(elapsed, milliseconds(3000));
}

// Before the first byte only the total counts: the interval does not start
// until a byte has arrived.
TEST_F(TimedIo, IntervalDoesNotRunBeforeTheFirstByte) {
  auto writer = std::async(std::launch::async, [&] {
    return device_.WriteChunks({{Bytes{7, 8, 9}, milliseconds(400)}});
  });
  Clock::duration elapsed{};
  const auto result = TimedRead(3, CommTimeouts{100, 0, 3000, 0, 0}, elapsed);
  EXPECT_EQ(result.count, 3u);
  EXPECT_EQ(buffer_, (Bytes{7, 8, 9}));
  writer.wait();
}

TEST_F(TimedIo, NoWaitSettingReturnsWhatIsThere) {
  const CommTimeouts no_wait{kNoWait, 0, 0, 0, 0};
  Clock::duration elapsed{};
  auto result = TimedRead(10, no_wait, elapsed);
  EXPECT_EQ(result.count, 0u);
  EXPECT_LT(elapsed, milliseconds(500));

  ASSERT_TRUE(device_.WriteAll({4, 5, 6}));
  // The bytes cross the pseudo-terminal asynchronously; look until they show.
  uint32_t total = 0;
  const auto give_up = Clock::now() + milliseconds(5000);
  Bytes seen;
  while (total < 3 && Clock::now() < give_up) {
    result = TimedRead(10, no_wait, elapsed);
    EXPECT_LT(elapsed, milliseconds(500));
    seen.insert(seen.end(), buffer_.begin(), buffer_.begin() + result.count);
    total += result.count;
  }
  EXPECT_EQ(seen, (Bytes{4, 5, 6}));
}

TEST_F(TimedIo, NoTimeOutsWaitUntilEverythingArrived) {
  auto writer = std::async(std::launch::async, [&] {
    return device_.WriteChunks({{Bytes{1}, milliseconds(300)}, {Bytes{2, 3}, milliseconds(300)}});
  });
  Clock::duration elapsed{};
  const auto result = TimedRead(3, CommTimeouts{0, 0, 0, 0, 0}, elapsed);
  EXPECT_EQ(result.count, 3u);
  EXPECT_EQ(buffer_, (Bytes{1, 2, 3}));
  EXPECT_TRUE(writer.get());
}

// A converter that disappears (here: the master closes) fails the read at
// once instead of running into the time-out.
TEST(TimedIoHangUp, ReadFailsAtOnceWhenTheOtherSideIsGone) {
  int fd = -1;
  {
    PtyDevice device;
    fd = OpenRawSlave(device.slave_path());
    ASSERT_GE(fd, 0);
  }
  uint8_t byte = 0;
  const auto start = Clock::now();
  const auto result = posix::ReadWithTimeouts(fd, &byte, 1, CommTimeouts{100, 100, 10000, 0, 0});
  const auto elapsed = Clock::now() - start;
  close(fd);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.count, 0u);
  EXPECT_LT(elapsed, milliseconds(5000));
}

// A write larger than every kernel buffer on the way completes, in order,
// while the device drains it.
TEST_F(TimedIo, LargeWriteArrivesWhole) {
  Bytes sent(256 * 1024);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + i / 251);
  auto reader = std::async(std::launch::async, [&] {
    Bytes got;
    while (got.size() < sent.size()) {
      Bytes more = device_.ReadAvailable(milliseconds(2000));
      if (more.empty()) break;
      got.insert(got.end(), more.begin(), more.end());
    }
    return got;
  });
  const auto result = posix::WriteWithTimeouts(fd_, sent.data(), static_cast<uint32_t>(sent.size()),
                                               CommTimeouts{100, 100, 1000, 0, 0});
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.count, sent.size());
  EXPECT_EQ(reader.get(), sent);
}

}  // namespace
}  // namespace qx318::test
