// qx318-netlink-grid: one cell of scripts/network-grid.sh. Builds the link
// (tests/netlink/netlink_fixture.h) with the cell's delay, jitter and loss,
// serves the simulated device through ser2net with Nagle on or off, runs the
// workload through one scheme and prints the cell as one Markdown table row.
// A benchmark, not a test: it exits 0 whatever the failures, 1 only when the
// link could not be built.
//
// Usage: qx318-netlink-grid SCHEME DELAY_MS JITTER_MS LOSS NODELAY(0|1)
//                           HELLOS MEASUREMENTS IMAGES [SEED]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "QX318_RS485.h"
#include "netlink_fixture.h"
#include "workload.h"

namespace {

using qx318::test::OperationStats;

std::string Times(const OperationStats &s) {
  char text[64];
  std::snprintf(text, sizeof text, "%.0f / %.0f", s.Percentile(0.5), s.Percentile(0.95));
  return text;
}

std::string Failures(const OperationStats &s) {
  std::string text = std::to_string(s.failures) + "/" + std::to_string(s.calls);
  if (s.failures > 0) text += " (" + s.Reasons() + ")";
  if (s.wrong > 0) text += ", " + std::to_string(s.wrong) + " wrong";
  return text;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 9 && argc != 10) {
    std::fprintf(stderr,
                 "usage: qx318-netlink-grid SCHEME DELAY_MS JITTER_MS LOSS NODELAY HELLOS "
                 "MEASUREMENTS IMAGES [SEED]\n");
    return 2;
  }
  const std::string scheme = argv[1];
  const qx318::test::LinkShape shape{std::atof(argv[2]), std::atof(argv[3]), std::atof(argv[4]),
                                     argc == 10 ? std::strtoull(argv[9], nullptr, 10) : 1};
  const bool nodelay = std::atoi(argv[5]) != 0;
  const qx318::test::Workload work{std::atoi(argv[6]), std::atoi(argv[7]), std::atoi(argv[8])};
  const qx318::test::DeviceShape device{256, 256, 64};

  qx318::test::NetLink link;
  std::string error;
  if (!link.Start(shape,
                  {.nodelay = nodelay,
                   .sim_arguments = {"--rows", "256", "--row-length", "256", "--pairs", "64"}},
                  &error)) {
    std::fprintf(stderr, "qx318-netlink-grid: %s\n", error.c_str());
    return 1;
  }
  PortHandle port = QX318_INVALID_PORT;
  if (QX318_OpenPort(qx318::test::NetLink::Url(scheme).c_str(), qx318::test::kLineRate, &port) !=
      1) {
    std::fprintf(stderr, "qx318-netlink-grid: open failed: %s\n", QX318_GetLastFailureDetail());
    return 1;
  }
  const qx318::test::WorkloadResult r = qx318::test::RunWorkload(port, work, device);
  (void)QX318_ClosePort(port);

  std::string cell = scheme + " " + Number(shape.delay_ms) + "±" + Number(shape.jitter_ms) + " ms";
  if (shape.loss > 0) cell += ", " + Number(shape.loss * 100) + " % loss";
  cell += nodelay ? ", nodelay" : ", Nagle";
  std::printf("| %s | %s | %s | %s | %s | %s | %s | %.2f |\n", cell.c_str(),
              Failures(r.hello).c_str(), Failures(r.measure).c_str(), Failures(r.image).c_str(),
              Times(r.hello).c_str(), Times(r.measure).c_str(), Times(r.image).c_str(),
              r.hello.Percentile(0.5) / shape.RoundTripMs());
  return 0;
}
