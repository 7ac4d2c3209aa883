// The one path every subcommand takes: the bus (the port named, or a
// simulated one in this process), the port opened, the subcommand's library
// calls, its result rendered or its failure reported on one line, and the
// exit status (a result that never reached its reader is a failure).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "QX318_RS485.h"
#include "host/results.h"

namespace qx318::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDevice = 1;  // no port, or the device did not answer correctly
inline constexpr int kExitUsage = 2;
// Stopped by Ctrl-C (128 + SIGINT, as a shell reports it).
inline constexpr int kExitInterrupted = 130;

struct Target {
  std::string port;  // a device path or a USB product description
  uint32_t baud = 115200;
  int address = 1;                // the device a call is for
  std::vector<int> addresses{1};  // every device the subcommand polls in turn
  bool json_errors = false;       // failures also as {"error": ...} on stdout
};

struct OutputStyle {
  bool json = false;
  bool csv = false;
  bool progress = false;  // a progress bar on stderr
};

// One clear line on stderr: "qx318 COMMAND: port P, address A: WHAT".
void ReportFailure(const std::string &command, const Target &target, const std::string &what);

// The library's own reason for the call that just failed on this thread:
// its detail with the figures, or its sentence when there are none.
std::string LastFailureText();

// What a subcommand's body works with: the open port, the device, the style
// to print in, and the one way each outcome is reported.
class Call {
 public:
  Call(const std::string &command, const Target &target, const OutputStyle &style, PortHandle port)
      : command_(command), target_(target), style_(style), port_(port) {}

  const std::string &command() const { return command_; }
  const Target &target() const { return target_; }
  const OutputStyle &style() const { return style_; }
  PortHandle port() const { return port_; }
  int address() const { return target_.address; }
  // Whether the subcommand polls more than this one device.
  bool several_addresses() const { return target_.addresses.size() > 1; }

  // The library call that just failed, with its reason (after context, when
  // given); with --json also as {"error": ...} on standard output.
  // hint, when given, follows the library's reason on the same line.
  int LibraryFailed(const std::string &context = {}, const std::string &hint = {}) const;
  // A failure the tool found itself.
  int Failed(const std::string &what) const;
  // A call stopped by Ctrl-C, with what became of it.
  int Interrupted(const std::string &what) const;
  // The result as JSON or for a person, as the style says.
  int Print(const Rendered &result) const;

 private:
  const std::string &command_;
  const Target &target_;
  const OutputStyle &style_;
  PortHandle port_;
};

// A subcommand's library calls against the open port; the exit status.
using Body = std::function<int(const Call &)>;

// body once for every address of the target, in turn, each with a Call for
// that one address. Fails when any failed; an interrupt ends it at once.
Body ForEachAddress(Body body);

// Opens target's port, runs body and closes the port again.
int RunOnPort(const std::string &command, const Target &target, const OutputStyle &style,
              const Body &body);

// Where a subcommand runs: the port given, or a simulated bus in this
// process (devices at address 1 and at each of target.addresses).
struct Bus {
  bool simulate = false;
  bool trace = false;  // every frame on standard error (QX318_TRACE=-)
};

// status, or a failure when standard output could not take the result.
int OutputWritten(const std::string &command, int status);

// The whole run: bus, port, body, and a result that could not be written
// turned into a failure.
int RunSubcommand(const std::string &command, const Bus &bus, Target target,
                  const OutputStyle &style, const Body &body);

}  // namespace qx318::host
