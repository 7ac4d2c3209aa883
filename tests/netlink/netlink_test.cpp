// The library over a real network path: ser2net serving a paced qx318-sim in
// a network namespace of its own, the library in another, joined by a link
// with delay, jitter, loss and cuts (qx318-link-relay). Each test builds and
// removes its own namespaces.
//
// What must hold on such a link: after an outage no call returns another
// request's answer; a parameter written just before a close reaches the
// device; a lossy long link serves every exchange; and a server that dies,
// a link cut mid-answer, a refused or unanswered connect each fail the call
// promptly with the reason that names it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "QX318_RS485.h"
#include "netlink_fixture.h"
#include "param_name.h"
#include "tool_support.h"
#include "workload.h"

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kAddress = 1;

// The library's bounds: the first byte of an answer is awaited 1.1 s, a gap
// inside one 0.1 s, a connect 3 s; on a network port each wait may grow by
// up to 1.5 s while TCP itself is retransmitting. Slack covers a loaded
// machine; these bounds prove that nothing waits longer than it may.
constexpr milliseconds kFirstByteWait(1100);
constexpr milliseconds kGapWait(100);
constexpr milliseconds kConnectWait(3000);
constexpr milliseconds kRetransmitAllowance(1500);
constexpr milliseconds kSlack(1000);

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

std::string FailureNow() {
  return std::to_string(QX318_GetLastFailure()) + " (" + QX318_GetLastFailureDetail() + ")";
}

// Each test starts its own link; the thread then lives in the client's
// namespace until the NetLink goes.
class NetlinkTest : public ::testing::TestWithParam<const char *> {
 protected:
  void StartLink(const LinkShape &shape, const ServerSetup &setup) {
    std::string error;
    ASSERT_TRUE(link_.Start(shape, setup, &error)) << error;
  }
  void Cut() {
    std::string error;
    ASSERT_TRUE(link_.Cut(&error)) << error;
  }
  void Restore() {
    std::string error;
    ASSERT_TRUE(link_.Restore(&error)) << error;
  }
  PortHandle Open(const std::string &url) {
    PortHandle port = QX318_INVALID_PORT;
    EXPECT_EQ(QX318_OpenPort(url.c_str(), kLineRate, &port), 1) << url << ": " << FailureNow();
    return port;
  }
  std::string scheme() const { return GetParam(); }

  NetLink link_;
};

std::string SchemeName(const ::testing::TestParamInfo<const char *> &scheme) {
  return scheme.param;
}

// ---------------------------------------------------------------------------
// The link itself: a connection takes at least the round trip the link was
// given, none is made while the link is cut, and one is made again once it
// is restored. Everything else here relies on it.

using NetlinkRelayTest = NetlinkTest;

TEST_F(NetlinkRelayTest, DelaysCutsAndRestores) {
  const LinkShape shape{40, 10, 0, 1};
  StartLink(shape, {.nodelay = true, .sim_arguments = {}});
  const milliseconds shortest_round_trip(
      static_cast<int64_t>(2 * (shape.delay_ms - shape.jitter_ms)));
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    const int fd = ConnectToServer(kRawPort, milliseconds(3000));
    const milliseconds took = Since(start);
    ASSERT_GE(fd, 0) << "no connection over the link";
    close(fd);
    EXPECT_GE(took, shortest_round_trip) << "the link did not delay the connection";
    // ser2net lets the device go a moment after the client leaves.
    std::string error;
    ASSERT_TRUE(link_.WaitUntilServed(kRawPort, &error)) << error;
  }
  Cut();
  const int cut_fd = ConnectToServer(kRawPort, milliseconds(1000));
  EXPECT_LT(cut_fd, 0) << "a connection was made over a cut link";
  if (cut_fd >= 0) close(cut_fd);
  Restore();
  const int fd = ConnectToServer(kRawPort, milliseconds(3000));
  EXPECT_GE(fd, 0) << "no connection once the link was restored";
  if (fd >= 0) close(fd);
}

// ---------------------------------------------------------------------------
// An outage on one open port: requests made while the link is cut fail, and
// once it is back a call returns its own answer or fails, never the answer
// to a request sent during the outage.

struct Parameter {
  ParameterCode code;
  uint16_t value;  // written first, so that each holds a value of its own
};

constexpr Parameter kA{0x0211, 1017};
constexpr Parameter kB{0x0222, 1034};
constexpr Parameter kC{0x0233, 1051};
constexpr Parameter kD{0x0244, 1068};
constexpr milliseconds kOutage(3000);
constexpr int kOutageRounds = 3;

class NetlinkOutageTest : public NetlinkTest {
 protected:
  enum class Read { kRight, kWrong, kFailed };

  // A read fails or returns the parameter's own value; another value is a
  // fault, reported here.
  Read ReadParameter(PortHandle port, const Parameter &p, const char *when) {
    uint16_t value = 0;
    if (QX318_ReadParameter(port, kAddress, p.code, &value) != 1) return Read::kFailed;
    EXPECT_EQ(value, p.value) << when << ": parameter " << (p.code & 0xFF)
                              << " answered with another request's value";
    return value == p.value ? Read::kRight : Read::kWrong;
  }
  bool ReadRight(PortHandle port, const Parameter &p, const char *when) {
    return ReadParameter(port, p, when) == Read::kRight;
  }
};

TEST_P(NetlinkOutageTest, AfterAnOutageEveryCallGetsItsOwnAnswerOrFails) {
  StartLink({40, 10, 0, 1}, {.nodelay = true, .sim_arguments = {}});
  const DeviceShape shape{120, 160, 64};
  const PortHandle port = Open(NetLink::Url(scheme()));
  ASSERT_NE(port, QX318_INVALID_PORT);
  for (const Parameter &p : {kA, kB, kC, kD}) {
    ASSERT_EQ(QX318_WriteParameter(port, kAddress, p.code, p.value), 1) << FailureNow();
    ASSERT_TRUE(ReadRight(port, p, "before the outage")) << FailureNow();
  }
  std::vector<uint16_t> frozen;
  MeasureHeader frozen_header{};
  ASSERT_TRUE(FreezeMeasurement(port, shape, &frozen, &frozen_header)) << FailureNow();

  for (int round = 0; round < kOutageRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // The port is usable again (at the latest) some seconds after an outage.
    const auto recovering = Clock::now();
    int a_tries = 0;
    int a_wrong = 0;
    Read a = Read::kFailed;
    while (a != Read::kRight && Since(recovering) < milliseconds(20000)) {
      a = ReadParameter(port, kA, "A");
      ++a_tries;
      a_wrong += a == Read::kWrong ? 1 : 0;
    }
    ASSERT_EQ(a, Read::kRight) << "no read succeeded within 20 s: " << FailureNow();

    Cut();
    const auto cut_at = Clock::now();
    EXPECT_FALSE(ReadRight(port, kB, "B during the cut")) << "a read succeeded over a cut link";
    EXPECT_FALSE(ReadRight(port, kC, "C during the cut")) << "a read succeeded over a cut link";
    std::this_thread::sleep_for(kOutage - std::min(kOutage, Since(cut_at)));
    Restore();

    const Read d = ReadParameter(port, kD, "D after the outage");
    const std::string d_outcome = d == Read::kRight   ? "right"
                                  : d == Read::kWrong ? "WRONG"
                                                      : "failed " + FailureNow();
    MeasureHeader header{};
    std::vector<uint16_t> values(frozen.size());
    const bool measured = QX318_GetMeasureEx(port, kAddress, &header, values.data(),
                                             static_cast<uint32_t>(values.size())) == 1;
    std::string m_outcome = measured ? "right" : "failed " + FailureNow();
    if (measured && (header.pair_count != frozen_header.pair_count ||
                     header.lead_byte != frozen_header.lead_byte || values != frozen)) {
      m_outcome = "WRONG (" + std::to_string(header.pair_count) + " pairs)";
      ADD_FAILURE() << "a measurement other than the device's: " << header.pair_count
                    << " pairs, lead " << int{header.lead_byte} << ", the device's "
                    << frozen_header.pair_count << " pairs, lead " << int{frozen_header.lead_byte};
    }
    std::printf("outage %s round %d: A right after %d reads (%d wrong); D %s; measurement %s\n",
                scheme().c_str(), round, a_tries, a_wrong, d_outcome.c_str(), m_outcome.c_str());
  }
  EXPECT_EQ(QX318_ClosePort(port), 1);
}

INSTANTIATE_TEST_SUITE_P(EachScheme, NetlinkOutageTest, ::testing::Values("tcp", "rfc2217"),
                         SchemeName);

// ---------------------------------------------------------------------------
// A parameter written right before the port closes reaches the device: the
// close must not throw away the request still on its way.

constexpr ParameterCode kWrittenCode = 0x0250;
constexpr int kWriteCloseRuns = 20;

using NetlinkWriteCloseTest = NetlinkTest;

TEST_P(NetlinkWriteCloseTest, AWriteRightBeforeTheCloseIsNeverLost) {
  StartLink({40, 10, 0, 1}, {.nodelay = true, .sim_arguments = {}});
  const std::string url = NetLink::Url(scheme());
  int open_failed = 0;
  int write_failed = 0;
  int reopen_failed = 0;
  int read_failed = 0;
  int lost = 0;
  std::string first_problem;
  for (int run = 0; run < kWriteCloseRuns; ++run) {
    const auto value = static_cast<uint16_t>(2000 + 37 * run);
    PortHandle port = QX318_INVALID_PORT;
    if (QX318_OpenPort(url.c_str(), kLineRate, &port) != 1) {
      ++open_failed;
      if (first_problem.empty()) first_problem = "open: " + FailureNow();
      continue;
    }
    const bool written = QX318_WriteParameter(port, kAddress, kWrittenCode, value) == 1;
    if (!written && first_problem.empty()) first_problem = "write: " + FailureNow();
    write_failed += written ? 0 : 1;
    (void)QX318_ClosePort(port);

    if (QX318_OpenPort(url.c_str(), kLineRate, &port) != 1) {
      ++reopen_failed;
      if (first_problem.empty()) first_problem = "reopen: " + FailureNow();
      continue;
    }
    uint16_t read_back = 0;
    if (QX318_ReadParameter(port, kAddress, kWrittenCode, &read_back) != 1) {
      ++read_failed;
      if (first_problem.empty()) first_problem = "read: " + FailureNow();
    } else if (written && read_back != value) {
      ++lost;
      if (first_problem.empty()) {
        first_problem = "wrote " + std::to_string(value) + ", read " + std::to_string(read_back);
      }
    }
    (void)QX318_ClosePort(port);
  }
  std::printf(
      "write then close %s: %d runs, open failed %d, write failed %d, reopen failed %d, read "
      "failed %d, lost %d%s%s\n",
      scheme().c_str(), kWriteCloseRuns, open_failed, write_failed, reopen_failed, read_failed,
      lost, first_problem.empty() ? "" : "; first: ", first_problem.c_str());
  EXPECT_EQ(open_failed, 0);
  EXPECT_EQ(write_failed, 0);
  EXPECT_EQ(reopen_failed, 0);
  EXPECT_EQ(read_failed, 0);
  EXPECT_EQ(lost, 0) << first_problem;
}

INSTANTIATE_TEST_SUITE_P(EachScheme, NetlinkWriteCloseTest, ::testing::Values("tcp", "rfc2217"),
                         SchemeName);

// ---------------------------------------------------------------------------
// One cell of the grid (scripts/network-grid.sh has them all): 80 ms +-
// 10 ms one way and 0.5 % loss each way. Every exchange must succeed with
// the device's values; the times are printed for the notes, not judged.

using NetlinkOneCellTest = NetlinkTest;

TEST_P(NetlinkOneCellTest, EveryExchangeSucceedsOnALossyLongLink) {
  const LinkShape shape{80, 10, 0.005, 7};
  const DeviceShape device{256, 256, 64};
  StartLink(shape, {.nodelay = true,
                    .sim_arguments = {"--rows", "256", "--row-length", "256", "--pairs", "64"}});
  const PortHandle port = Open(NetLink::Url(scheme()));
  ASSERT_NE(port, QX318_INVALID_PORT);
  const auto start = Clock::now();
  const WorkloadResult result = RunWorkload(port, Workload{300, 50, 5}, device);
  EXPECT_EQ(QX318_ClosePort(port), 1);
  std::printf("one cell %s, 80 +- 10 ms one way, 0.5 %% loss, round trip %.0f ms, %lld s:\n%s",
              scheme().c_str(), shape.RoundTripMs(),
              static_cast<long long>(Since(start).count() / 1000), StatsTable(result).c_str());
  std::printf("hello median over the round trip: %.2f\n",
              result.hello.Percentile(0.5) / shape.RoundTripMs());
  for (const OperationStats *s : {&result.hello, &result.measure, &result.image}) {
    EXPECT_EQ(s->failures, 0) << s->name << " failures " << s->Reasons() << ": "
                              << s->first_problem;
    EXPECT_EQ(s->wrong, 0) << s->name << ": " << s->first_problem;
  }
}

INSTANTIATE_TEST_SUITE_P(EachScheme, NetlinkOneCellTest, ::testing::Values("tcp", "rfc2217"),
                         SchemeName);

// ---------------------------------------------------------------------------
// Faults: each fails the call with its reason within its bound.

const LinkShape kFaultLink{80, 10, 0, 3};

struct FaultCase {
  const char *name;
  const char *scheme;
  void (*run)(NetLink &link, const std::string &scheme);
};

void PrintTo(const FaultCase &fault, std::ostream *out) { *out << fault.name; }

void ReportFault(const char *name, const std::string &scheme, milliseconds took) {
  std::printf("fault %s %s: failed with %s after %lld ms\n", name, scheme.c_str(),
              FailureNow().c_str(), static_cast<long long>(took.count()));
}

// ser2net is killed while an image streams in (a quarter of its rows in).
void ServerKilledMidImage(NetLink &link, const std::string &scheme) {
  constexpr uint32_t kRowsBeforeKill = 64;
  const std::string url = NetLink::Url(scheme);
  PortHandle port = QX318_INVALID_PORT;
  ASSERT_EQ(QX318_OpenPort(url.c_str(), kLineRate, &port), 1) << FailureNow();
  std::vector<uint8_t> pixels(size_t{256} * 256);
  Clock::time_point killed_at{};
  ImageHeader header{};
  const int32_t result = tools::FetchImage(
      port, kAddress, &header, [&pixels](uint32_t, uint32_t) { return pixels.data(); },
      [&](uint32_t rows_done, uint32_t) {
        if (rows_done != kRowsBeforeKill) return;
        link.StopServer(SIGKILL);
        killed_at = Clock::now();
      });
  const int32_t reason = QX318_GetLastFailure();
  ASSERT_NE(killed_at, Clock::time_point{}) << "the image ended before the kill: " << FailureNow();
  const milliseconds took = Since(killed_at);
  ReportFault("server killed mid-image", scheme, took);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(reason == QX318_FAIL_HUNG_UP || reason == QX318_FAIL_ANSWER_CUT_SHORT) << reason;
  EXPECT_LE(took, kFirstByteWait + kRetransmitAllowance + kSlack);
  EXPECT_EQ(QX318_ClosePort(port), 1);
}

// The link is cut while a long measurement (4095 pairs, about 1.4 s on the
// line) streams in; once it is back, the next measurement is the device's.
void LinkCutMidMeasurement(NetLink &link, const std::string &scheme) {
  const DeviceShape shape{256, 256, 4095};
  PortHandle port = QX318_INVALID_PORT;
  ASSERT_EQ(QX318_OpenPort(NetLink::Url(scheme).c_str(), kLineRate, &port), 1) << FailureNow();
  std::vector<uint16_t> frozen;
  MeasureHeader frozen_header{};
  ASSERT_TRUE(FreezeMeasurement(port, shape, &frozen, &frozen_header)) << FailureNow();

  // The answer starts a round trip after the request and lasts about 1.4 s:
  // 0.6 s past the round trip is well inside it.
  std::atomic<int64_t> cut_at_ns{0};
  const auto start = Clock::now();
  std::thread cutter([&] {
    std::this_thread::sleep_until(
        start + milliseconds(static_cast<int64_t>(kFaultLink.RoundTripMs() + 600)));
    std::string error;
    if (link.Cut(&error)) cut_at_ns = Clock::now().time_since_epoch().count();
  });
  MeasureHeader header{};
  std::vector<uint16_t> values(frozen.size());
  const int32_t result = QX318_GetMeasureEx(port, kAddress, &header, values.data(),
                                            static_cast<uint32_t>(values.size()));
  const int32_t reason = QX318_GetLastFailure();
  const auto returned_at = Clock::now();
  cutter.join();
  ASSERT_NE(cut_at_ns.load(), 0) << "the link was not cut";
  const Clock::time_point cut_at{Clock::duration(cut_at_ns.load())};
  ASSERT_EQ(result, 0) << "the measurement succeeded although the link was cut after "
                       << std::chrono::duration_cast<milliseconds>(cut_at - start).count() << " ms";
  const auto took = std::chrono::duration_cast<milliseconds>(returned_at - cut_at);
  ReportFault("link cut mid-measurement", scheme, took);
  EXPECT_EQ(reason, QX318_FAIL_ANSWER_CUT_SHORT);
  EXPECT_LE(took, kGapWait + kRetransmitAllowance + kSlack);

  std::string error;
  ASSERT_TRUE(link.Restore(&error)) << error;
  std::fill(values.begin(), values.end(), 0);
  ASSERT_EQ(QX318_GetMeasureEx(port, kAddress, &header, values.data(),
                               static_cast<uint32_t>(values.size())),
            1)
      << "the first measurement after the link came back: " << FailureNow();
  EXPECT_EQ(header.pair_count, frozen_header.pair_count);
  EXPECT_EQ(values, frozen) << "a measurement other than the device's";
  EXPECT_EQ(QX318_ClosePort(port), 1);
}

// Nothing listens on the port in the server's namespace: the connect is
// refused at once.
void ConnectionRefused(NetLink &, const std::string &scheme) {
  const std::string url = NetLink::UrlOfPort(scheme, kUnusedPort);
  PortHandle port = QX318_INVALID_PORT;
  const auto start = Clock::now();
  EXPECT_EQ(QX318_OpenPort(url.c_str(), kLineRate, &port), 0);
  const milliseconds took = Since(start);
  ReportFault("connection refused", scheme, took);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_CONNECTION_REFUSED) << FailureNow();
  EXPECT_LE(took, milliseconds(1000));
}

// The link is cut before the open: the connect hears nothing back, which
// does not tell a host that is down from a firewall that drops, so the reason
// is the general one.
void BlackHoledConnect(NetLink &link, const std::string &scheme) {
  std::string error;
  ASSERT_TRUE(link.Cut(&error)) << error;
  PortHandle port = QX318_INVALID_PORT;
  const auto start = Clock::now();
  EXPECT_EQ(QX318_OpenPort(NetLink::Url(scheme).c_str(), kLineRate, &port), 0);
  const milliseconds took = Since(start);
  ReportFault("black-holed connect", scheme, took);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_CONNECTION) << FailureNow();
  EXPECT_LE(took, kConnectWait + kSlack);
  ASSERT_TRUE(link.Restore(&error)) << error;
}

// An address the client's namespace has no route to (only the link's peer
// is reachable there): the connect fails at once and says why.
void HostUnreachable(NetLink &, const std::string &scheme) {
  const std::string url = scheme + "://10.78.0.1:3001";
  PortHandle port = QX318_INVALID_PORT;
  const auto start = Clock::now();
  EXPECT_EQ(QX318_OpenPort(url.c_str(), kLineRate, &port), 0);
  const milliseconds took = Since(start);
  ReportFault("host unreachable", scheme, took);
  EXPECT_EQ(QX318_GetLastFailure(), QX318_FAIL_HOST_UNREACHABLE) << FailureNow();
  EXPECT_NE(std::string(QX318_GetLastFailureDetail()).find("unreachable"), std::string::npos)
      << FailureNow();
  EXPECT_LE(took, milliseconds(1000));
}

const FaultCase kFaults[] = {
    {"server_killed_mid_image_tcp", "tcp", ServerKilledMidImage},
    {"server_killed_mid_image_rfc2217", "rfc2217", ServerKilledMidImage},
    {"link_cut_mid_measurement_tcp", "tcp", LinkCutMidMeasurement},
    {"link_cut_mid_measurement_rfc2217", "rfc2217", LinkCutMidMeasurement},
    {"connection_refused_tcp", "tcp", ConnectionRefused},
    {"connection_refused_rfc2217", "rfc2217", ConnectionRefused},
    {"black_holed_connect_tcp", "tcp", BlackHoledConnect},
    {"black_holed_connect_rfc2217", "rfc2217", BlackHoledConnect},
    {"host_unreachable_tcp", "tcp", HostUnreachable},
    {"host_unreachable_rfc2217", "rfc2217", HostUnreachable},
};

class NetlinkFaultTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  NetLink link_;
};

TEST_P(NetlinkFaultTest, FailsWithItsReasonWithinItsBound) {
  std::string error;
  ASSERT_TRUE(
      link_.Start(kFaultLink,
                  {.nodelay = true,
                   .sim_arguments = {"--rows", "256", "--row-length", "256", "--pairs", "4095"}},
                  &error))
      << error;
  GetParam().run(link_, GetParam().scheme);
}

INSTANTIATE_TEST_SUITE_P(Table, NetlinkFaultTest, ::testing::ValuesIn(kFaults), test::ParamName());

}  // namespace
}  // namespace qx318::test
