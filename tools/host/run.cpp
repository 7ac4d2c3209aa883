#include "host/run.h"

#include <fmt/format.h>
#include <grp.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>

#include "sim/in_process_bus.h"

namespace qx318::host {
namespace {

// The library takes an absolute path as a device path and anything else as
// a USB product description; a relative path the user sees in the folder
// means the file.
std::string PortName(const std::string &port) {
  std::error_code ignored;
  if (!port.empty() && port.front() != '/' && std::filesystem::exists(port, ignored)) {
    return std::filesystem::absolute(port, ignored).string();
  }
  return port;
}

// The error document of a failed call: which call, where, and why, so that
// a script logging several ports and devices can tell them apart.
Json CallFailureJson(const std::string &command, const Target &target, int32_t code,
                     const std::string &detail) {
  Json error{{"command", command}, {"port", target.port}, {"address", target.address}};
  error.update(FailureJson(code, detail));
  return error;
}

void ReportLibraryFailure(const std::string &command, const Target &target,
                          const std::string &context, const std::string &hint = {}) {
  const int32_t code = QX318_GetLastFailure();
  const std::string detail = QX318_GetLastFailureDetail();
  const std::string reason =
      hint.empty() ? LastFailureText() : LastFailureText() + " (" + hint + ")";
  ReportFailure(command, target, context.empty() ? reason : context + ": " + reason);
  if (target.json_errors) {
    Json error = CallFailureJson(command, target, code, detail);
    if (!hint.empty()) error["hint"] = hint;
    PrintJson(Json{{"error", error}});
  }
}

// A serial device is opened by the members of the group that owns it
// (dialout on Debian and Ubuntu): the usual first stumble at a new bench.
std::string PermissionHint(const std::string &port) {
  if (QX318_GetLastFailure() != QX318_FAIL_ACCESS_DENIED) return {};
  struct stat device {};
  const group *owner =
      stat(PortName(port).c_str(), &device) == 0 ? getgrgid(device.st_gid) : nullptr;
  const std::string name = owner != nullptr && device.st_gid != 0 ? owner->gr_name : "dialout";
  return fmt::format(
      "the device is open to the members of group {}: 'sudo usermod -aG {} $USER', then log in "
      "again",
      name, name);
}

// An open port, closed on destruction.
class OpenPort {
 public:
  explicit OpenPort(const Target &target) {
    if (QX318_OpenPort(PortName(target.port).c_str(), target.baud, &port_) != 1) {
      port_ = QX318_INVALID_PORT;
    }
  }
  ~OpenPort() {
    if (port_ != QX318_INVALID_PORT) (void)QX318_ClosePort(port_);
  }
  OpenPort(const OpenPort &) = delete;
  OpenPort &operator=(const OpenPort &) = delete;
  bool ok() const { return port_ != QX318_INVALID_PORT; }
  PortHandle handle() const { return port_; }

 private:
  PortHandle port_ = QX318_INVALID_PORT;
};

int RunOnSimulatedBus(const std::string &command, Target target, const OutputStyle &style,
                      const Body &body) {
  sim::BusOptions options;
  options.devices.clear();
  std::set<int> addresses(target.addresses.begin(), target.addresses.end());
  addresses.insert(1);
  for (const int address : addresses) {
    sim::DeviceConfig config;
    config.address = static_cast<uint8_t>(address);
    options.devices.push_back(config);
  }
  sim::InProcessBus bus(std::move(options));
  if (!bus.ok()) {
    fmt::print(stderr, "qx318 {}: cannot start the simulated bus: {}\n", command, bus.error());
    return kExitDevice;
  }
  target.port = bus.port_path();
  return RunOnPort(command, target, style, body);
}

}  // namespace

void ReportFailure(const std::string &command, const Target &target, const std::string &what) {
  fmt::print(stderr, "qx318 {}: port {}, address {}: {}\n", command, target.port, target.address,
             what);
}

std::string LastFailureText() {
  const std::string detail = QX318_GetLastFailureDetail();
  return detail.empty() ? QX318_FailureText(QX318_GetLastFailure()) : detail;
}

// A result that never reached its reader (a full disk, a closed pipe) is a
// failure, not a success.
int OutputWritten(const std::string &command, int status) {
  const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  if (status != kExitOk || flushed) return status;
  std::fprintf(stderr, "qx318 %s: the output could not be written\n", command.c_str());
  return kExitDevice;
}

int Call::LibraryFailed(const std::string &context, const std::string &hint) const {
  ReportLibraryFailure(command_, target_, context, hint);
  return kExitDevice;
}

int Call::Failed(const std::string &what) const {
  ReportFailure(command_, target_, what);
  return kExitDevice;
}

int Call::Interrupted(const std::string &what) const {
  ReportFailure(command_, target_, "interrupted: " + what);
  return kExitInterrupted;
}

int Call::Print(const Rendered &result) const {
  if (style_.json) {
    PrintJson(result.json);
  } else {
    fmt::print("{}", result.text);
  }
  return kExitOk;
}

Body ForEachAddress(Body body) {
  return [body = std::move(body)](const Call &call) {
    int status = kExitOk;
    for (const int address : call.target().addresses) {
      Target one = call.target();
      one.address = address;
      const int result = body(Call(call.command(), one, call.style(), call.port()));
      if (result == kExitInterrupted) return result;
      if (result != kExitOk) status = result;
    }
    return status;
  };
}

int RunOnPort(const std::string &command, const Target &target, const OutputStyle &style,
              const Body &body) {
  const OpenPort port(target);
  if (!port.ok()) {
    ReportLibraryFailure(command, target,
                         fmt::format("cannot open the port at {} baud", target.baud),
                         PermissionHint(target.port));
    return kExitDevice;
  }
  return body(Call(command, target, style, port.handle()));
}

int RunSubcommand(const std::string &command, const Bus &bus, Target target,
                  const OutputStyle &style, const Body &body) {
  // The library reads the variable when a port is opened.
  if (bus.trace) (void)setenv("QX318_TRACE", "-", 1);
  target.json_errors = style.json;
  const int status = bus.simulate ? RunOnSimulatedBus(command, target, style, body)
                                  : RunOnPort(command, target, style, body);
  return OutputWritten(command, status);
}

}  // namespace qx318::host
