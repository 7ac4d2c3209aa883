// The host tool's subcommands, each as the body the run skeleton (run.h)
// calls against the open port, and each with its own usage check.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "QX318_RS485.h"
#include "host/run.h"

namespace qx318::host {

// "0x0205" or "517"; nullopt unless 0-65535.
std::optional<uint32_t> ParseNumber(const std::string &text);

struct ScanRange {
  int first = 0;
  int last = 31;
};

Body Scan(ScanRange range);
Body Hello();
Body ParamGet(ParameterCode code);
Body ParamSet(ParameterCode code, uint16_t value, bool verify);
Body ParamFlash(bool save);
Body Lock();
Body Image(std::string output);
Body Rotate();
Body AngleGet();
Body AngleFlash(bool save);

// The usage checks that need more than one argument; empty when fine.
std::string ScanRangeProblem(ScanRange range);
// The code's parameter number, then its group count.
std::string ParameterCodeProblem(const std::string &code_text);
std::string ParameterValueProblem(const std::string &code_text, const std::string &value_text);
std::string ImageOutputProblem(bool output_given, const std::string &output);

// The parameter number travels in one 7-bit data byte: 128-255 cannot be
// addressed, whatever the code's low byte says.
inline constexpr uint32_t kLargestParameterNumber = 0x7F;

// A 16-bit value travels in 1 to 3 groups of 7 bits.
inline constexpr uint32_t kFewestGroups = 1;
inline constexpr uint32_t kMostGroups = 3;

// The largest value a parameter's group count can carry on the wire.
uint32_t LargestValueFor(ParameterCode code);

}  // namespace qx318::host
