#include "sim/state_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/output_file.h"

namespace qx318::sim {
namespace {

constexpr const char *kFormat = "qx318-sim-state";
constexpr int kVersion = 1;

// Only the parameters that differ from the factory contents are listed, by
// number, so that the file stays short enough to read and edit.
nlohmann::json ToJson(uint8_t address, const FlashContents &flash) {
  const FlashContents factory = FactoryFlash();
  nlohmann::json parameters = nlohmann::json::object();
  for (size_t n = 0; n < flash.parameters.size(); ++n) {
    const ParameterSlot &slot = flash.parameters[n];
    if (slot == factory.parameters[n]) continue;
    parameters[std::to_string(n)] = {{"value", slot.value}, {"groups", slot.groups}};
  }
  return {{"address", address}, {"angle", flash.angle}, {"parameters", parameters}};
}

// A whole number from 0 to largest, or an exception naming the field: a
// hand-edited file must not load a value that wraps or is cut short.
uint32_t UnsignedField(const nlohmann::json &object, const std::string &field, uint32_t largest,
                       const std::string &where) {
  const nlohmann::json &value = object.at(field);
  if (!value.is_number_unsigned() || value.get<uint64_t>() > largest) {
    throw std::out_of_range(where + field + " must be a whole number from 0 to " +
                            std::to_string(largest) + ", not " + value.dump());
  }
  return static_cast<uint32_t>(value.get<uint64_t>());
}

size_t ParameterNumber(const std::string &key, size_t count, const std::string &where) {
  const bool digits =
      !key.empty() && key.size() <= 3 && key.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoul(key) >= count) {
    throw std::out_of_range(where + "parameter key \"" + key + "\" must be a number from 0 to " +
                            std::to_string(count - 1));
  }
  return std::stoul(key);
}

FlashContents FromJson(const nlohmann::json &device, const std::string &where) {
  FlashContents flash = FactoryFlash();
  const nlohmann::json &angle = device.at("angle");
  if (!angle.is_number_integer() || angle.get<int64_t>() < INT32_MIN ||
      angle.get<int64_t>() > INT32_MAX) {
    throw std::out_of_range(where + "angle must be a 32-bit whole number, not " + angle.dump());
  }
  flash.angle = angle.get<int32_t>();
  for (const auto &[key, slot] : device.at("parameters").items()) {
    const size_t number = ParameterNumber(key, flash.parameters.size(), where);
    const std::string slot_where = where + "parameter " + key + ": ";
    flash.parameters[number].value =
        static_cast<uint16_t>(UnsignedField(slot, "value", 0xFFFF, slot_where));
    flash.parameters[number].groups =
        static_cast<uint8_t>(UnsignedField(slot, "groups", 0xFF, slot_where));
  }
  return flash;
}

}  // namespace

bool LoadState(const std::string &path, FlashByAddress *out, std::string *error) {
  out->clear();
  if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  try {
    const nlohmann::json doc = nlohmann::json::parse(in);
    if (doc.at("format") != kFormat || doc.at("version") != kVersion) {
      *error = path + ": not a qx318-sim state file of version 1";
      return false;
    }
    for (const auto &device : doc.at("devices")) {
      const auto address = static_cast<uint8_t>(UnsignedField(device, "address", 31, ""));
      (*out)[address] = FromJson(device, "device " + std::to_string(address) + ": ");
    }
    return true;
  } catch (const std::exception &e) {
    *error = path + ": " + e.what();
    return false;
  }
}

bool SaveState(const std::string &path, const FlashByAddress &state, std::string *error) {
  nlohmann::json devices = nlohmann::json::array();
  for (const auto &[address, flash] : state) devices.push_back(ToJson(address, flash));
  const nlohmann::json doc = {{"format", kFormat}, {"version", kVersion}, {"devices", devices}};
  const std::string text = doc.dump(2) + "\n";

  tools::ReplacingFile file(path);
  if (file.ok()) {
    (void)std::fputs(text.c_str(), file.get());  // a failed write shows in Commit
    if (file.Commit()) return true;
  }
  *error = file.error();
  return false;
}

}  // namespace qx318::sim
