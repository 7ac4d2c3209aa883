// How each kind of result reads: one renderer per result type, giving both
// the JSON document and the lines for a person, so that every subcommand
// prints the same result the same way. Measurements have their own record
// (measurement_record.h): they also have a CSV form and come in streams.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "QX318_RS485.h"

namespace qx318::host {

using Json = nlohmann::ordered_json;

struct Rendered {
  Json json;
  std::string text;  // whole lines, each ending in a newline
};

// Pretty-printed on standard output. Paths are bytes, not necessarily UTF-8:
// a byte JSON cannot carry becomes U+FFFD instead of an exception.
void PrintJson(const Json &doc);

// The one JSON error object: {"code": N, "reason": "...", "detail": "..."}.
Json FailureJson(int32_t code, const std::string &detail);

Json HelloJson(const HelloAnswer &answer);
std::string HelloText(const HelloAnswer &answer);  // "value1 318, value2 12, ..."

Rendered HelloResult(int address, const HelloAnswer &answer);
Rendered ParameterRead(int address, ParameterCode code, uint16_t value);
Rendered ParameterWritten(int address, ParameterCode code, uint16_t value, bool verified);
// what: "parameters" or "angle"
Rendered FlashConfirmed(int address, const char *what, bool save);
Rendered LockSent(int address);
Rendered AngleResult(int address, int32_t angle, bool rotated);

struct ImageSummary {
  ImageHeader header{};
  uint8_t min_pixel = 0;
  uint8_t max_pixel = 0;
  std::string output;  // empty: not written to a file
};
Rendered ImageResult(int address, const ImageSummary &image);

// "1 group", "2 groups": the high byte of a parameter code.
std::string GroupCount(ParameterCode code);

}  // namespace qx318::host
