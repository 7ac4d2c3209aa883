// The stop both tools share: SIGINT/SIGTERM or another thread make one
// descriptor readable, and every wait that watches it ends.
#include "common/stop_signal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qx318::tools {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Long enough that a wait which does not notice the stop fails the test by
// its time limit rather than passing by luck.
constexpr milliseconds kNeverInTheTest{10 * 60 * 1000};

extern "C" void CountingHandler(int) {}

// The handler a signal has now.
void (*HandlerOf(int signal_number))(int) {
  struct sigaction current {};
  EXPECT_EQ(sigaction(signal_number, nullptr, &current), 0);
  return current.sa_handler;
}

TEST(StopPipe, SignalFromAnotherThreadEndsEveryKindOfWait) {
  const StopPipe pipe;
  ASSERT_TRUE(pipe.ok());
  EXPECT_FALSE(StopRequested(pipe.read_fd()));
  EXPECT_TRUE(WaitUntilUnlessStopped(pipe.read_fd(), Clock::now())) << "nothing asked to stop";

  int never_ready[2];
  ASSERT_EQ(::pipe(never_ready), 0);
  std::thread stopper([&pipe] { pipe.Signal(); });
  EXPECT_EQ(WaitForUnlessStopped(never_ready[0], POLLIN, pipe.read_fd(), milliseconds(-1)),
            Woken::kStopped);
  stopper.join();
  EXPECT_TRUE(StopRequested(pipe.read_fd()));
  EXPECT_FALSE(WaitUntilUnlessStopped(pipe.read_fd(), Clock::now() + kNeverInTheTest));
  EXPECT_FALSE(PauseUnlessStopped(pipe.read_fd(), kNeverInTheTest));
  close(never_ready[0]);
  close(never_ready[1]);
}

TEST(StopPipe, AReadyDescriptorWakesAWaitWithItsEvents) {
  const StopPipe pipe;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(write(ready[1], "x", 1), 1);
  short revents = 0;
  EXPECT_EQ(WaitForUnlessStopped(ready[0], POLLIN, pipe.read_fd(), kNeverInTheTest, &revents),
            Woken::kReady);
  EXPECT_NE(revents & POLLIN, 0);
  EXPECT_EQ(WaitForUnlessStopped(ready[1], POLLIN, pipe.read_fd(), milliseconds(0)),
            Woken::kTimedOut);
  close(ready[0]);
  close(ready[1]);
}

struct SignalCase {
  const char *what;
  int signal_number;
  SecondSignal second;
  bool default_after_first;  // the default action is back after the first signal
};

class StopOnSignalsCase : public ::testing::TestWithParam<SignalCase> {};

TEST_P(StopOnSignalsCase, TurnsTheSignalIntoAStopAndRestoresTheHandlerAfterwards) {
  const SignalCase c = GetParam();
  struct sigaction mine {};
  mine.sa_handler = CountingHandler;
  sigemptyset(&mine.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(c.signal_number, &mine, &before), 0);
  {
    const StopOnSignals stop({SIGINT, SIGTERM, SIGHUP}, c.second);
    ASSERT_TRUE(stop.ok());
    EXPECT_FALSE(StopRequested(stop.fd()));
    ASSERT_EQ(raise(c.signal_number), 0);
    EXPECT_TRUE(StopRequested(stop.fd()));
    EXPECT_FALSE(WaitUntilUnlessStopped(stop.fd(), Clock::now() + kNeverInTheTest));
    EXPECT_EQ(HandlerOf(c.signal_number) == SIG_DFL, c.default_after_first);
  }
  EXPECT_EQ(HandlerOf(c.signal_number), CountingHandler) << "the previous handler is back";
  ASSERT_EQ(sigaction(c.signal_number, &before, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StopOnSignalsCase,
    ::testing::Values(SignalCase{"sigint_ends_at_once", SIGINT, SecondSignal::kEndsAtOnce, true},
                      SignalCase{"sigterm_ends_at_once", SIGTERM, SecondSignal::kEndsAtOnce, true},
                      SignalCase{"sigterm_ignored_again", SIGTERM, SecondSignal::kIgnored, false},
                      SignalCase{"sighup_ignored_again", SIGHUP, SecondSignal::kIgnored, false}),
    [](const auto &param_info) { return std::string(param_info.param.what); });

}  // namespace
}  // namespace qx318::tools
