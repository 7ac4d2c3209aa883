// qx318-sim: one or more simulated QX318 devices on a pseudo-terminal (or a
// serial device), for trying the library, the host tool and scripts without
// hardware. Prints the path a host opens on its first line of output.
#include <fmt/format.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>

#include "common/stop_signal.h"
#include "common/version.h"
#include "sim/bus.h"
#include "sim/endpoint.h"
#include "sim/replay.h"
#include "tool_support.h"

namespace {

using qx318::sim::BusOptions;
using qx318::sim::DeviceConfig;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

struct Arguments {
  std::vector<int> addresses{1};
  std::string device_path;
  std::string link_path;
  std::string state_file;
  int rows = 120;
  int row_length = 160;
  int pairs = 64;
  std::string baud = "auto";
  int reply_delay_ms = 0;
  uint32_t noise = 0;
  int stall_ms = 300;
  std::vector<std::string> faults;
  uint64_t seed = 1;
  bool trace = false;
  std::string replay;
  std::string replay_port;
  bool replay_timing = false;
};

constexpr const char *kAnyRate = "auto";

// The devices' own line rate: a rate from 110 to 4000000 (below that one
// byte lasts long enough to hold up every answer and the shutdown), or auto
// (and its older spelling 0): the devices take whatever rate the host set
// and answer unpaced.
uint32_t OwnRate(const std::string &text) {
  uint32_t rate = 0;
  if (text == kAnyRate || !CLI::detail::lexical_cast(text, rate)) return 0;
  return rate;
}

CLI::Validator DeviceRate() {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        uint32_t rate = 0;
        const bool number = CLI::detail::lexical_cast(text, rate);
        return text == kAnyRate || (number && (rate == 0 || (rate >= 110 && rate <= 4000000)))
                   ? std::string()
                   : "'" + text + "' is not auto, 0 or a rate from 110 to 4000000";
      },
      "auto|0|110-4000000");
}

// --replay serves a recorded trace instead of devices: the options that
// shape the devices and their faults do not apply to it.
void DefineReplayOptions(CLI::App &app, Arguments &a) {
  CLI::Option *replay =
      app.add_option("--replay", a.replay,
                     "Serve the exchanges of a trace the library wrote (QX318_TRACE) instead of "
                     "devices: each request is answered with the bytes recorded for it");
  for (const char *name : {"--address", "--state", "--rows", "--row-length", "--pairs",
                           "--reply-delay", "--noise", "--fault", "--stall-ms", "--seed"}) {
    replay->excludes(app.get_option(name));
  }
  app.add_option("--replay-port", a.replay_port,
                 "With a trace of several ports, the port whose exchanges to serve")
      ->needs(replay);
  app.add_flag("--replay-timing", a.replay_timing,
               "Answer with the recorded delays (a whole answer ends when it ended then)")
      ->needs(replay);
}

void DefineOptions(CLI::App &app, Arguments &a) {
  app.add_option("-a,--address", a.addresses,
                 "Bus address of a simulated device (0-31); repeat or "
                 "separate with commas for several devices")
      ->delimiter(',')
      ->check(CLI::Range(0, int{qx318::kAddressMask}))
      ->capture_default_str();
  app.add_option("--device", a.device_path,
                 "Serve on this serial device instead of a new pseudo-terminal");
  app.add_option("--link", a.link_path,
                 "Make a symlink PATH to the bus endpoint (removed on exit)");
  app.add_option("--state", a.state_file,
                 "Keep the devices' flash (parameters, angle) in FILE across runs");
  app.add_option("--rows", a.rows, "Image rows")
      ->check(CLI::Range(0, static_cast<int>(qx318::kMax14BitValue)))
      ->capture_default_str();
  app.add_option("--row-length", a.row_length, "Image row length in pixels")
      ->check(CLI::Range(0, static_cast<int>(qx318::kMax14BitValue)))
      ->capture_default_str();
  app.add_option("--pairs", a.pairs, "Value pairs in a measurement")
      ->check(CLI::Range(0, 4095))
      ->capture_default_str();
  app.add_option("--baud", a.baud,
                 "The devices' line rate (110-4000000): answers paced at it, 10 bit times a "
                 "byte; a host whose pseudo-terminal is at another rate gets garbled bytes or "
                 "nothing, as through mismatched UARTs; with --device the line speed. auto "
                 "(or 0): any rate the host sets is understood, answers unpaced")
      ->type_name("RATE")
      ->check(DeviceRate())
      ->capture_default_str();
  app.add_option("--reply-delay", a.reply_delay_ms, "Milliseconds before each answer")
      ->check(CLI::Range(0, 60000))
      ->capture_default_str();
  app.add_option("--noise", a.noise, "Bytes with bit 7 set sent before each answer")
      ->check(CLI::Range(0, 16383))
      ->capture_default_str();
  app.add_option("--fault", a.faults,
                 "Inject a fault: KIND, KIND:next=N or KIND:rate=P, KIND one of corrupt-crc, "
                 "drop-byte, truncate, stall, no-answer, wrong-length (repeatable)");
  app.add_option("--stall-ms", a.stall_ms, "Length of the pause a stall fault makes")
      ->check(CLI::Range(150, 60000))
      ->capture_default_str();
  app.add_option("--seed", a.seed, "Seed of every random choice (noise, faults, measurement)")
      ->capture_default_str();
  app.add_flag("--trace", a.trace, "Print every request and answer on stderr, as hex and decoded");
  DefineReplayOptions(app, a);
}

bool BuildOptions(const Arguments &a, BusOptions *options, std::string *error) {
  options->devices.clear();
  std::set<int> seen;
  for (const int address : a.addresses) {
    if (!seen.insert(address).second) continue;
    DeviceConfig config;
    config.address = static_cast<uint8_t>(address);
    config.image_rows = static_cast<uint16_t>(a.rows);
    config.image_row_length = static_cast<uint16_t>(a.row_length);
    config.pair_count = static_cast<uint16_t>(a.pairs);
    options->devices.push_back(config);
  }
  for (const std::string &text : a.faults) {
    const auto rule = qx318::sim::ParseFaultRule(text, error);
    if (!rule) return false;
    options->faults.push_back(*rule);
  }
  options->wire.baud = OwnRate(a.baud);
  // A serial device has its own UART at --baud and the host's is across the
  // cable: the hardware garbles a mismatch there, and the simulator cannot
  // see the host's rate anyway.
  options->hear_at_own_rate = a.device_path.empty();
  options->wire.reply_delay = std::chrono::milliseconds(a.reply_delay_ms);
  options->wire.noise_bytes = a.noise;
  options->wire.stall = std::chrono::milliseconds(a.stall_ms);
  options->seed = a.seed;
  options->state_file = a.state_file;
  if (a.trace) {
    // A trace reader that went away or a full disk must not end the
    // simulator: the devices keep serving, the lines are lost.
    options->trace = [](const std::string &line) {
      (void)std::fwrite(line.data(), 1, line.size(), stderr);
      (void)std::fputc('\n', stderr);
      (void)std::fflush(stderr);
      std::clearerr(stderr);
    };
  }
  return true;
}

// Serves the recording on the endpoint until a stop signal; 1 when any
// request did not match it.
int ServeReplay(const Arguments &a, const qx318::sim::Recording &recording,
                const std::function<void(const std::string &)> &trace, int fd, int stop_fd) {
  std::string error;
  qx318::sim::ReplayOptions replay;
  replay.recorded_timing = a.replay_timing;
  replay.baud = OwnRate(a.baud);
  replay.trace = trace;
  replay.report = [](const std::string &text) {
    (void)std::fprintf(stderr, "%s\n", text.c_str());
    (void)std::fflush(stderr);
  };
  qx318::sim::Replayer replayer(recording, replay);
  if (!replayer.Serve(fd, stop_fd, &error)) {
    fmt::print(stderr, "qx318-sim: {}\n", error);
    return kExitFailure;
  }
  fmt::print(stderr, "qx318-sim: replayed {} of {} recorded exchanges, {} requests did not match\n",
             replayer.served(), replayer.recorded(), replayer.mismatches());
  return replayer.mismatches() == 0 ? 0 : kExitFailure;
}

int Serve(const Arguments &a, BusOptions options) {
  // The signals that end the simulator, delivered as readable data on a
  // descriptor so that the serving loop sees them between two exchanges. A
  // second one changes nothing: the --link symlink goes on the way out.
  const qx318::tools::StopOnSignals signals({SIGINT, SIGTERM, SIGHUP},
                                            qx318::tools::SecondSignal::kIgnored);
  if (!signals.ok()) {
    fmt::print(stderr, "qx318-sim: cannot watch for SIGINT/SIGTERM\n");
    return kExitFailure;
  }
  std::string error;
  std::optional<qx318::sim::Recording> recording;
  if (!a.replay.empty()) {
    recording = qx318::sim::LoadRecording(a.replay, a.replay_port, &error);
    if (!recording) {
      fmt::print(stderr, "qx318-sim: {}\n", error);
      return kExitFailure;
    }
  }
  const auto trace = options.trace;
  qx318::sim::Bus bus(std::move(options));
  if (!bus.Start(&error)) {
    fmt::print(stderr, "qx318-sim: {}\n", error);
    return kExitFailure;
  }
  auto endpoint = a.device_path.empty()
                      ? qx318::sim::BusEndpoint::CreatePseudoTerminal(&error)
                      : qx318::sim::BusEndpoint::OpenSerialDevice(a.device_path, &error);
  if (!endpoint) {
    fmt::print(stderr, "qx318-sim: {}\n", error);
    return kExitFailure;
  }
  // The rate is what the user asked for: a line that does not take it is a
  // usage error, never a line left at another rate.
  const uint32_t own_rate = OwnRate(a.baud);
  if (!a.device_path.empty() && own_rate != 0 && !endpoint->SetRate(own_rate)) {
    fmt::print(stderr, "qx318-sim: --baud {}: {} does not take this rate (see qx318-sim --help)\n",
               a.baud, a.device_path);
    return kExitUsage;
  }
  std::unique_ptr<qx318::sim::SymlinkGuard> link;
  if (!a.link_path.empty()) {
    link = qx318::sim::SymlinkGuard::Create(a.link_path, endpoint->path(), &error);
    if (!link) {
      fmt::print(stderr, "qx318-sim: {}\n", error);
      return kExitFailure;
    }
  }
  fmt::print("{}\n", endpoint->path());
  std::fflush(stdout);
  if (recording) return ServeReplay(a, *recording, trace, endpoint->fd(), signals.fd());
  if (!bus.Serve(endpoint->fd(), signals.fd(), &error)) {
    fmt::print(stderr, "qx318-sim: {}\n", error);
    return kExitFailure;
  }
  return 0;
}

int Run(int argc, char **argv) {
  CLI::App app{
      "qx318-sim: simulated QX318 devices on a pseudo-terminal. Prints the path to open "
      "(e.g. qx318 --port PATH hello), then serves until SIGINT or SIGTERM.",
      "qx318-sim"};
  Arguments arguments;
  DefineOptions(app, arguments);
  qx318::tools::AddVersionFlag(app, qx318::tools::Tool::kSimulator);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    fmt::print(stderr, "qx318-sim: {} (see qx318-sim --help)\n", e.what());
    return kExitUsage;
  }
  BusOptions options;
  std::string error;
  if (!BuildOptions(arguments, &options, &error)) {
    fmt::print(stderr, "qx318-sim: {}\n", error);
    return kExitUsage;
  }
  return Serve(arguments, std::move(options));
}

}  // namespace

// Output errors (a closed pipe, a full disk) show up as failed writes rather
// than as SIGPIPE, and anything thrown unwinds through the guards, so that
// the --link symlink and the pseudo-terminal never outlive the process.
int main(int argc, char **argv) {
  (void)std::signal(SIGPIPE, SIG_IGN);
  try {
    return Run(argc, argv);
  } catch (const std::exception &e) {
    (void)std::fprintf(stderr, "qx318-sim: unexpected failure: %s\n", e.what());
    return kExitFailure;
  }
}
