// The host tool's commands: each opens the port, runs one or more library
// calls against one device and prints the result for a person, as JSON or
// as CSV. Each returns the process exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "QX318_RS485.h"

namespace qx318::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDevice = 1;  // no port, or the device did not answer correctly
inline constexpr int kExitUsage = 2;

struct Target {
  std::string port;  // a device path or a USB product description
  uint32_t baud = 115200;
  int address = 1;
  bool json_errors = false;  // failures also as {"error": ...} on stdout
};

struct OutputStyle {
  bool json = false;
  bool csv = false;
  bool progress = false;  // a progress bar on stderr
};

// "0x0205" or "517"; nullopt unless 0-65535.
std::optional<uint32_t> ParseNumber(const std::string &text);

// One clear line on stderr: "qx318 COMMAND: port P, address A: WHAT".
void ReportFailure(const std::string &command, const Target &target, const std::string &what);

// An open port, closed on destruction.
class Session {
 public:
  static std::optional<Session> Open(const std::string &command, const Target &target);
  ~Session();
  Session(Session &&other) noexcept;
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  Session &operator=(Session &&) = delete;
  PortHandle port() const { return port_; }

 private:
  explicit Session(PortHandle port) : port_(port) {}
  PortHandle port_;
};

struct ScanRange {
  int first = 0;
  int last = 31;
};

int RunScan(const Target &target, const OutputStyle &style, ScanRange range);
int RunHello(const Target &target, const OutputStyle &style);
int RunParamGet(const Target &target, const OutputStyle &style, ParameterCode code);
int RunParamSet(const Target &target, const OutputStyle &style, ParameterCode code, uint16_t value,
                bool verify);
int RunParamFlash(const Target &target, const OutputStyle &style, bool save);
int RunMeasure(const Target &target, const OutputStyle &style);
int RunLock(const Target &target, const OutputStyle &style);
int RunImage(const Target &target, const OutputStyle &style, const std::string &output);
int RunRotate(const Target &target, const OutputStyle &style);
int RunAngleGet(const Target &target, const OutputStyle &style);
int RunAngleFlash(const Target &target, const OutputStyle &style, bool save);

// The parameter number travels in one 7-bit data byte: 128-255 cannot be
// addressed, whatever the code's low byte says.
inline constexpr uint32_t kLargestParameterNumber = 0x7F;

// "1 group", "2 groups": the high byte of a parameter code.
std::string GroupCount(ParameterCode code);

// The largest value a parameter's group count can carry on the wire.
uint32_t LargestValueFor(ParameterCode code);

}  // namespace qx318::host
