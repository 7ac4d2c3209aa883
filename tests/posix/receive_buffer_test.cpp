// The POSIX converter's receive buffer: bytes read ahead of the reads that
// ask for them must behave exactly as if they were still in the kernel's
// queue. They come out in order and whole, they count for the time-outs as
// arriving when a read takes them, a large read gets them first and the rest
// straight from the device, and a purge discards them together with the
// kernel's queue while never touching bytes on their way out. Also: a device
// that refuses low-latency mode still opens. The buffer's own steps, as a
// network port drives them too: takes across a compaction, and a full buffer
// nobody reads losing its oldest bytes to the new ones.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "QX318_RS485.h"
#include "port/converter.h"
#include "port/posix/low_latency.h"
#include "port/posix/timed_io.h"
#include "port_on_pty.h"
#include "pty_device.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr CommTimeouts kPortTimeouts{100, 100, 1000, 0, 0};
constexpr CommTimeouts kNoWait{0xFFFFFFFFu, 0, 0, 0, 0};

Bytes Numbered(size_t count, uint8_t first) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7 + i / 256);
  return bytes;
}

Bytes Slice(const Bytes &bytes, size_t from, size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// ------------------------------------------------- the buffer itself

// What a transport does to its buffer, one step at a time. Appended bytes
// are numbered 1, 2, 3, ... across the whole case.
struct BufferStep {
  enum Kind { kAppend, kTake, kMakeRoom, kExpectRoom } kind;
  uint32_t count = 0;
};

struct BufferCase {
  const char *name;
  std::vector<BufferStep> steps;
  Bytes taken;  // every byte the takes handed out, in order
};

// A small capacity, so that a case reaches the edges in a few steps.
using SmallBuffer = posix::BasicReceiveBuffer<8>;

TEST(ReceiveBufferOperations, HandOutBytesOnceInOrderAndDropTheOldestOnOverrun) {
  using S = BufferStep;
  const BufferCase cases[] = {
      {"partial takes keep the order",
       {{S::kAppend, 5}, {S::kTake, 2}, {S::kTake, 2}, {S::kAppend, 3}, {S::kTake, 10}},
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"a take across a compaction",
       {{S::kAppend, 8},
        {S::kTake, 5},
        {S::kMakeRoom},
        {S::kExpectRoom, 5},
        {S::kAppend, 5},
        {S::kTake, 3},
        {S::kTake, 10}},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
      {"a full buffer nobody read drops its bytes for the new ones",
       {{S::kAppend, 8}, {S::kMakeRoom}, {S::kExpectRoom, 8}, {S::kAppend, 3}, {S::kTake, 10}},
       {9, 10, 11}},
      {"room left at the end: nothing moves",
       {{S::kAppend, 5}, {S::kTake, 2}, {S::kMakeRoom}, {S::kExpectRoom, 3}, {S::kTake, 10}},
       {1, 2, 3, 4, 5}},
      {"an emptied buffer offers its whole room again",
       {{S::kAppend, 6}, {S::kTake, 6}, {S::kExpectRoom, 8}, {S::kAppend, 8}, {S::kTake, 8}},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
  };
  for (const BufferCase &c : cases) {
    SCOPED_TRACE(c.name);
    SmallBuffer buffer;
    uint8_t next = 1;
    Bytes taken;
    for (const BufferStep &step : c.steps) {
      switch (step.kind) {
        case S::kAppend:
          ASSERT_LE(step.count, buffer.room_size());
          for (uint32_t i = 0; i < step.count; ++i) buffer.room()[i] = next++;
          buffer.Appended(step.count);
          break;
        case S::kTake: {
          uint8_t out[SmallBuffer::kCapacity + 4] = {};
          const uint32_t size_before = buffer.size();
          const uint32_t got = buffer.Take(out, step.count);
          EXPECT_EQ(got, std::min(step.count, size_before));
          EXPECT_EQ(buffer.size(), size_before - got);
          taken.insert(taken.end(), out, out + got);
          break;
        }
        case S::kMakeRoom:
          buffer.MakeRoom();
          EXPECT_GT(buffer.room_size(), 0u);
          break;
        case S::kExpectRoom:
          EXPECT_EQ(buffer.room_size(), step.count);
          break;
      }
    }
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(buffer.size(), 0u) << "bytes left that no take handed out";
  }
}

// Buffered reads on a raw slave, driven directly.
class BufferedRead : public RawSlaveOnPty {
 protected:
  posix::TransferResult Read(uint32_t count, const CommTimeouts &timeouts, Bytes &into) {
    into.assign(count, 0);
    const auto result = posix::ReadWithTimeouts(fd_, buffer_, into.data(), count, timeouts);
    into.resize(result.count);
    return result;
  }

  // Reads count bytes at the port's time-outs, reporting how long it took.
  posix::TransferResult TimedRead(uint32_t count, const CommTimeouts &timeouts, Bytes &into,
                                  Clock::duration &elapsed) {
    const auto start = Clock::now();
    const auto result = Read(count, timeouts, into);
    elapsed = Clock::now() - start;
    return result;
  }

  posix::ReceiveBuffer buffer_;
};

// One burst fills the buffer; the field reads that follow take from it, in
// order, without losing or repeating a byte.
TEST_F(BufferedRead, FieldReadsAreServedFromOneBurstInOrder) {
  const Bytes answer = Numbered(21, 0x10);
  ASSERT_TRUE(device_.WriteAll(answer));
  Bytes got;
  Bytes all;
  for (uint32_t field : {1u, 2u, 15u, 3u}) {
    const auto result = Read(field, kPortTimeouts, got);
    ASSERT_FALSE(result.failed);
    ASSERT_EQ(result.count, field);
    all.insert(all.end(), got.begin(), got.end());
  }
  EXPECT_EQ(all, answer);
  EXPECT_EQ(buffer_.size(), 0u);
  EXPECT_EQ(Read(10, kNoWait, got).count, 0u) << "a byte surfaced twice";
}

// A large read gets the buffered bytes first, then the rest, in order, also
// when the rest is far larger than the buffer.
TEST_F(BufferedRead, LargeReadTakesBufferedBytesThenTheDevicesRest) {
  const Bytes head = Numbered(40, 0x01);
  const Bytes tail = Numbered(3 * posix::ReceiveBuffer::kCapacity + 77, 0x33);
  ASSERT_TRUE(device_.WriteAll(head));
  Bytes first;
  ASSERT_EQ(Read(1, kPortTimeouts, first).count, 1u);
  EXPECT_EQ(first[0], head[0]);

  auto writer = std::async(std::launch::async, [&] { return device_.WriteAll(tail); });
  Bytes rest;
  const auto count = static_cast<uint32_t>(head.size() - 1 + tail.size());
  const auto result = Read(count, kPortTimeouts, rest);
  EXPECT_FALSE(result.failed);
  ASSERT_EQ(result.count, count);
  Bytes expected = Slice(head, 1, head.size() - 1);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(rest, expected);
  EXPECT_TRUE(writer.get());
}

// Bytes taken from the buffer count as arriving when the read takes them:
// with too few of them, the 100 ms gap ends the read, not its far total.
TEST_F(BufferedRead, BufferedBytesStartTheGapOfTheReadThatTakesThem) {
  const Bytes sent = Numbered(6, 0x40);
  ASSERT_TRUE(device_.WriteAll(sent));
  Bytes got;
  ASSERT_EQ(Read(1, kPortTimeouts, got).count, 1u);
  Clock::duration elapsed{};
  const auto result = TimedRead(10, CommTimeouts{100, 0, 20000, 0, 0}, got, elapsed);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(got, Slice(sent, 1, 5));
  EXPECT_LT(elapsed, milliseconds(3000)) << "the gap did not end the read";
}

// The total time-out is that of the bytes asked for (here 1000 + 100 x 3),
// not of the buffer's capacity that each read from the device also offers.
TEST_F(BufferedRead, TotalTimeOutIsThatOfTheBytesAskedFor) {
  Bytes got;
  Clock::duration elapsed{};
  const auto result = TimedRead(3, CommTimeouts{0, 100, 1000, 0, 0}, got, elapsed);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.count, 0u);
  EXPECT_GE(elapsed, milliseconds(1290)) << "gave up before its time-out";
  EXPECT_LT(elapsed, milliseconds(4000)) << "waited past its time-out";
}

// A trickle ended by the total time-out: what the read did not take stays
// for the next read, in order.
TEST_F(BufferedRead, BytesLeftByATimedOutReadComeNext) {
  std::vector<Chunk> trickle;
  for (int i = 0; i < 30; ++i)
    trickle.push_back({Bytes{static_cast<uint8_t>(i)}, milliseconds(20)});
  auto writer = std::async(std::launch::async, [&] { return device_.WriteChunks(trickle); });
  Bytes first;
  const auto result = Read(100, CommTimeouts{100, 0, 300, 0, 0}, first);
  EXPECT_FALSE(result.failed);
  EXPECT_GE(result.count, 1u);
  EXPECT_LT(result.count, 30u);
  ASSERT_TRUE(writer.get());

  Bytes rest;
  (void)Read(static_cast<uint32_t>(30 - first.size()), kPortTimeouts, rest);
  Bytes all = first;
  all.insert(all.end(), rest.begin(), rest.end());
  Bytes expected(30);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(all, expected);
}

// Bytes buffered before the other side went away are still delivered; then
// the read fails at once instead of waiting out its time-out.
TEST(BufferedReadHangUp, DeliversWhatCameThenFailsAtOnce) {
  int fd = -1;
  posix::ReceiveBuffer buffer;
  const Bytes sent = Numbered(8, 0x21);
  Bytes first(1);
  {
    PtyDevice device;
    fd = OpenRawSlave(device.slave_path());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(device.WriteAll(sent));
    ASSERT_EQ(posix::ReadWithTimeouts(fd, buffer, first.data(), 1, kPortTimeouts).count, 1u);
  }
  Bytes rest(20);
  const auto start = Clock::now();
  const auto result =
      posix::ReadWithTimeouts(fd, buffer, rest.data(), 20, CommTimeouts{100, 100, 10000, 0, 0});
  const auto elapsed = Clock::now() - start;
  close(fd);
  EXPECT_TRUE(result.failed);
  ASSERT_EQ(result.count, 7u);
  rest.resize(7);
  EXPECT_EQ(rest, Slice(sent, 1, 7));
  EXPECT_LT(elapsed, milliseconds(5000));
}

// ---------------------------------------------------------- the purge

// The converter as the library drives it, on a pseudo-terminal.
class BufferedPort : public PortOnPty<> {
 protected:
  Bytes Read(uint32_t count) {
    Bytes bytes(count);
    uint32_t got = 0;
    (void)Converter().read_file(port_, bytes.data(), count, &got, nullptr);
    bytes.resize(got);
    return bytes;
  }
  // Everything the port holds right now, without waiting.
  Bytes ReadWhatIsThere() {
    CommTimeouts no_wait = kNoWait;
    CommTimeouts port = kPortTimeouts;
    EXPECT_TRUE(Converter().set_comm_timeouts(port_, &no_wait));
    Bytes bytes = Read(64 * 1024);
    EXPECT_TRUE(Converter().set_comm_timeouts(port_, &port));
    return bytes;
  }
  bool Purge() { return Converter().purge_comm(port_, kPurgeTxAbort | kPurgeRxAbort) != 0; }
};

// Stale bytes both read ahead into the buffer and still in the kernel's
// queue are gone after the purge; only what the device sends later comes.
TEST_F(BufferedPort, BytesReceivedBeforeAPurgeNeverSurfaceAfterIt) {
  const Bytes stale = Numbered(40, 0x80);
  const Bytes more_stale = Numbered(25, 0x90);
  const Bytes fresh = {0x01, 0x02, 0x03, 0x04, 0x05};
  ASSERT_TRUE(device_.WriteAll(stale));
  ASSERT_EQ(Read(1), Slice(stale, 0, 1));
  ASSERT_TRUE(device_.WriteAll(more_stale));

  ASSERT_TRUE(Purge());
  ASSERT_TRUE(device_.WriteAll(fresh));
  EXPECT_EQ(Read(static_cast<uint32_t>(fresh.size())), fresh);
  EXPECT_EQ(ReadWhatIsThere(), Bytes{});
}

// A whole answer and a second, stale one arrive in one burst; the second is
// read ahead with the first. The next exchange's purge drops it, and the
// next answer is the device's new one.
TEST_F(BufferedPort, AnAnswerReadAheadIsNotTakenForTheNextOne) {
  const Bytes first_data(15, 0x11);
  const Bytes stale_data(15, 0x22);
  const Bytes fresh_data(15, 0x33);
  // By value: the device's thread may still run the handler as the test
  // body ends.
  device_.Serve([=, served = 0](const Bytes &) mutable {
    if (served++ > 0) return AnswerFrame(fresh_data);
    Bytes both = AnswerFrame(first_data);
    const Bytes stale = AnswerFrame(stale_data);
    both.insert(both.end(), stale.begin(), stale.end());
    return both;
  });
  HelloAnswer hello{};
  ASSERT_EQ(QX318_HelloCmd(port_, 1, &hello), 1);
  EXPECT_EQ(hello.value1, 0x11 | 0x11 << 7);
  ASSERT_EQ(QX318_HelloCmd(port_, 1, &hello), 1);
  EXPECT_EQ(hello.value1, 0x33 | 0x33 << 7) << "the stale answer was taken";
}

// The purge never discards outgoing bytes: a request written just before it
// reaches the device whole.
TEST_F(BufferedPort, ARequestWrittenJustBeforeAPurgeStillGoesOut) {
  const Bytes request = Numbered(3000, 0x05);
  uint32_t written = 0;
  ASSERT_TRUE(Converter().write_file(port_, request.data(), static_cast<uint32_t>(request.size()),
                                     &written, nullptr));
  ASSERT_EQ(written, request.size());
  ASSERT_TRUE(Purge());
  Bytes arrived;
  while (arrived.size() < request.size()) {
    const Bytes more = device_.ReadAvailable(milliseconds(1000));
    if (more.empty()) break;
    arrived.insert(arrived.end(), more.begin(), more.end());
  }
  EXPECT_EQ(arrived, request);
}

// ------------------------------------------------------ low latency

// A pseudo-terminal has no low-latency mode and refuses the request; the
// refusal changes nothing on the line and fails no open.
TEST(LowLatency, RefusalLeavesTheLineAloneAndTheOpenSucceeds) {
  PtyDevice device;
  const int fd = OpenRawSlave(device.slave_path());
  ASSERT_GE(fd, 0);
  termios before{};
  ASSERT_EQ(tcgetattr(fd, &before), 0);
  EXPECT_FALSE(posix::RequestLowLatency(fd));
  termios after{};
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  close(fd);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);

  PortHandle port = nullptr;
  ASSERT_EQ(QX318_OpenPort(device.slave_path().c_str(), 115200, &port), 1);
  device.Serve([](const Bytes &) { return AnswerFrame(Bytes(15, 0x01)); });
  HelloAnswer hello{};
  EXPECT_EQ(QX318_HelloCmd(port, 1, &hello), 1);
  device.Stop();
  EXPECT_EQ(QX318_ClosePort(port), 1);
}

TEST(LowLatency, NotATerminalIsRefused) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  EXPECT_FALSE(posix::RequestLowLatency(pipe_fds[0]));
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

}  // namespace
}  // namespace qx318::test
