#include "host/results.h"

#include <fmt/format.h>

namespace qx318::host {

void PrintJson(const Json &doc) {
  fmt::print("{}\n", doc.dump(2, ' ', false, Json::error_handler_t::replace));
}

Json FailureJson(int32_t code, const std::string &detail) {
  return Json{{"code", code}, {"reason", QX318_FailureText(code)}, {"detail", detail}};
}

Json HelloJson(const HelloAnswer &a) {
  return Json{{"value1", a.value1}, {"value2", a.value2}, {"value3", a.value3},
              {"value4", a.value4}, {"value5", a.value5}, {"value6", a.value6},
              {"value7", a.value7}};
}

std::string HelloText(const HelloAnswer &a) {
  return fmt::format("value1 {}, value2 {}, value3 {}, value4 {}, value5 {}, value6 {}, value7 {}",
                     a.value1, a.value2, a.value3, a.value4, a.value5, a.value6, a.value7);
}

std::string GroupCount(ParameterCode code) {
  const unsigned groups = code >> 8;
  return fmt::format("{} group{}", groups, groups == 1 ? "" : "s");
}

Rendered HelloResult(int address, const HelloAnswer &answer) {
  return {Json{{"address", address}, {"hello", HelloJson(answer)}},
          fmt::format("address {}: {}\n", address, HelloText(answer))};
}

namespace {

Json ParameterJson(int address, ParameterCode code, uint16_t value) {
  return Json{{"address", address},
              {"code", code},
              {"parameter", code & 0xFF},
              {"groups", code >> 8},
              {"value", value}};
}

}  // namespace

Rendered ParameterRead(int address, ParameterCode code, uint16_t value) {
  return {ParameterJson(address, code, value),
          fmt::format("parameter {} (code 0x{:04X}, {}) = {}\n", code & 0xFF, code,
                      GroupCount(code), value)};
}

Rendered ParameterWritten(int address, ParameterCode code, uint16_t value, bool verified) {
  Json doc = ParameterJson(address, code, value);
  doc["verified"] = verified;
  return {std::move(doc),
          fmt::format("parameter {} (code 0x{:04X}) set to {}{}\n", code & 0xFF, code, value,
                      verified ? ", read back the same" : " (the device does not confirm writes)")};
}

Rendered FlashConfirmed(int address, const char *what, bool save) {
  return {Json{{"address", address}, {save ? "saved" : "restored", true}},
          fmt::format("{} {} flash\n", what, save ? "saved to" : "restored from")};
}

Rendered LockSent(int address) {
  return {Json{{"address", address}, {"sent", true}},
          "lock-result sent (the device does not answer it)\n"};
}

Rendered AngleResult(int address, int32_t angle, bool rotated) {
  return {Json{{"address", address}, {"angle", angle}},
          fmt::format("{}angle {}\n", rotated ? "axis rotated: " : "", angle)};
}

Rendered ImageResult(int address, const ImageSummary &image) {
  const ImageHeader &h = image.header;
  Json doc{{"address", address},
           {"row_count", h.row_count},
           {"row_length", h.row_length},
           {"word3", h.word3},
           {"word4", h.word4},
           {"min_pixel", image.min_pixel},
           {"max_pixel", image.max_pixel}};
  if (!image.output.empty()) doc["output"] = image.output;
  return {std::move(doc),
          fmt::format("image: {} rows x {} pixels, word3 {}, word4 {}, pixels {}-{}{}\n",
                      h.row_count, h.row_length, h.word3, h.word4, image.min_pixel, image.max_pixel,
                      image.output.empty() ? std::string() : ", written to " + image.output)};
}

}  // namespace qx318::host
