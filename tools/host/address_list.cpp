#include "host/address_list.h"

#include <fmt/format.h>

#include <charconv>
#include <filesystem>
#include <set>
#include <utility>

namespace qx318::host {
namespace {

// A whole number, in range or not; false for anything else.
bool ParseAddress(const std::string &text, int *address) {
  const char *end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *address);
  return !text.empty() && ec == std::errc() && ptr == end;
}

std::vector<std::string> SplitAt(const std::string &text, char separator) {
  std::vector<std::string> pieces;
  size_t begin = 0;
  for (size_t at = text.find(separator); at != std::string::npos;
       at = text.find(separator, begin)) {
    pieces.push_back(text.substr(begin, at - begin));
    begin = at + 1;
  }
  pieces.push_back(text.substr(begin));
  return pieces;
}

}  // namespace

std::vector<int> ParseAddressList(const std::string &text, int largest, std::string *problem) {
  std::vector<int> addresses;
  std::set<int> seen;
  for (const std::string &item : SplitAt(text, ',')) {
    // "-1" is a number out of range, not a range.
    const size_t dash = item.find('-', 1);
    const std::string first_text = item.substr(0, dash);
    const std::string last_text = dash == std::string::npos ? item : item.substr(dash + 1);
    int first = 0;
    int last = 0;
    for (const auto &[end_text, end] : {std::pair{&first_text, &first}, {&last_text, &last}}) {
      if (!ParseAddress(*end_text, end)) {
        *problem = fmt::format("'{}' is not an address (0-{}) or a rising range of them (1-4)",
                               item, largest);
        return {};
      }
      if (*end < 0 || *end > largest) {
        *problem = fmt::format("Value {} not in range 0 to {}", *end_text, largest);
        return {};
      }
    }
    if (first > last) {
      *problem = fmt::format("range {} does not rise (write {}-{})", item, last, first);
      return {};
    }
    for (int address = first; address <= last; ++address) {
      if (!seen.insert(address).second) {
        *problem = fmt::format("address {} is listed twice in {}", address, text);
        return {};
      }
      addresses.push_back(address);
    }
  }
  return addresses;
}

std::string PathForAddress(const std::string &path, int address, bool several) {
  if (!several) return path;
  const std::filesystem::path p(path);
  std::filesystem::path named = p;
  named.replace_filename(
      fmt::format("{}-a{}{}", p.stem().string(), address, p.extension().string()));
  return named.string();
}

}  // namespace qx318::host
