// The table of argument rules in docs/arguments.md, read for the tests: each
// interface checks itself against the page, so that the page and the code
// cannot drift apart. Header-only; compiles as C++17.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qx318::testing {

struct ArgumentRule {
  std::string name;
  std::string checked;
  int64_t low = 0;
  int64_t high = 0;
  std::string message;

  // The group count a value-N-group(s) rule is about.
  unsigned Groups() const {
    std::smatch found;
    static const std::regex kValueRule("value-([0-9]+)-groups?");
    if (!std::regex_match(name, found, kValueRule)) {
      throw std::invalid_argument(name + " is not a value rule");
    }
    return static_cast<unsigned>(std::stoul(found[1].str()));
  }

  // The message with its placeholders filled: every placeholder must be
  // given, and nothing else.
  std::string Refusal(const std::map<std::string, std::string> &fields) const {
    static const std::regex kPlaceholder(R"(\{(\w+)\})");
    std::set<std::string> wanted;
    std::string out;
    auto rest = message.cbegin();
    for (std::sregex_iterator it(message.begin(), message.end(), kPlaceholder), end; it != end;
         ++it) {
      const std::string field = (*it)[1].str();
      const auto given = fields.find(field);
      if (given == fields.end())
        throw std::invalid_argument(name + ": no value for {" + field + "}");
      wanted.insert(field);
      out.append(rest, (*it)[0].first);
      out += given->second;
      rest = (*it)[0].second;
    }
    out.append(rest, message.cend());
    if (wanted.size() != fields.size()) {
      throw std::invalid_argument(name + ": a field the message does not take");
    }
    return out;
  }
};

namespace argument_rules_detail {

inline std::vector<std::string> Cells(const std::string &line) {
  std::vector<std::string> cells;
  std::string cell;
  std::istringstream in(line.substr(1));  // after the leading '|'
  while (std::getline(in, cell, '|')) {
    const auto first = cell.find_first_not_of(" `");
    const auto last = cell.find_last_not_of(" `");
    cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
  }
  if (!cells.empty() && cells.back().empty()) cells.pop_back();  // after the trailing '|'
  return cells;
}

}  // namespace argument_rules_detail

// The rules by name, from the one table of the page headed
// | rule | checked | limit | message |. Throws when the page has another form.
inline std::map<std::string, ArgumentRule> ReadArgumentRules(const std::string &page) {
  using argument_rules_detail::Cells;
  static const std::vector<std::string> kColumns = {"rule", "checked", "limit", "message"};
  static const std::regex kLimit(R"((-?[0-9]+)\.\.(-?[0-9]+))");
  std::ifstream in(page);
  if (!in) throw std::runtime_error("cannot read " + page);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);

  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i][0] == '|' && Cells(lines[i]) == kColumns) {
      starts.push_back(i);
    }
  }
  if (starts.size() != 1) throw std::runtime_error(page + ": not exactly one table of rules");

  std::map<std::string, ArgumentRule> rules;
  for (std::size_t i = starts[0] + 2; i < lines.size() && !lines[i].empty() && lines[i][0] == '|';
       ++i) {
    const std::vector<std::string> cells = Cells(lines[i]);
    std::smatch limit;
    if (cells.size() != kColumns.size() || !std::regex_match(cells[2], limit, kLimit) ||
        rules.count(cells[0]) != 0) {
      throw std::runtime_error(page + ": bad or repeated row " + lines[i]);
    }
    rules[cells[0]] = ArgumentRule{cells[0], cells[1], std::stoll(limit[1].str()),
                                   std::stoll(limit[2].str()), cells[3]};
  }
  return rules;
}

// {code} and {group_count} as the page writes them.
inline std::string CodeText(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(code));
  return text;
}
inline std::string GroupCountText(unsigned groups) {
  return std::to_string(groups) + (groups == 1 ? " group" : " groups");
}

}  // namespace qx318::testing
