// The tool's usage checks against the one table of argument rules in
// docs/arguments.md: each refusal carries the page's words, exits with 2 and
// sends nothing (the port is /dev/null, which would fail any exchange with
// status 1); each limit is accepted by a simulated device.
#include "argument_rules.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "tool_fixture.h"

namespace qx318::testing {
namespace {

const std::map<std::string, ArgumentRule> &Rules() {
  static const std::map<std::string, ArgumentRule> rules = ReadArgumentRules(QX318_ARGUMENTS_PAGE);
  return rules;
}

struct Refusal {
  const char *what;
  const char *rule;
  std::vector<std::string> arguments;  // after --port /dev/null
  std::map<std::string, std::string> fields;
};

void PrintTo(const Refusal &c, std::ostream *os) { *os << c.what; }

class ToolRefuses : public ToolFixture, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ToolRefuses, WithThePagesWordsBeforeAnyTraffic) {
  std::vector<std::string> arguments{"--port", "/dev/null"};
  arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const RunResult r = RunProgram(kTool, arguments, dir_);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  const std::string expected = Rules().at(GetParam().rule).Refusal(GetParam().fields);
  EXPECT_NE(r.err.find(expected), std::string::npos) << "expected: " << expected << "\n" << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

std::map<std::string, std::string> ValueFields(const char *value, uint32_t code) {
  const unsigned groups = code >> 8;
  const uint32_t largest = groups >= 3 ? 65535u : (1u << (7 * groups)) - 1;
  return {{"value", value},
          {"code", CodeText(code)},
          {"group_count", GroupCountText(groups)},
          {"largest", std::to_string(largest)}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolRefuses,
    ::testing::Values(
        Refusal{"address 32", "address", {"--address", "32", "hello"}, {{"address", "32"}}},
        Refusal{"address -1", "address", {"--address", "-1", "hello"}, {{"address", "-1"}}},
        Refusal{
            "number 128 read", "parameter-number", {"param", "get", "0x0280"}, {{"number", "128"}}},
        Refusal{"number 128 written",
                "parameter-number",
                {"param", "set", "0x0280", "0"},
                {{"number", "128"}}},
        Refusal{"0 groups read",
                "group-count",
                {"param", "get", "0x0005"},
                {{"groups", "0"}, {"code", "0x0005"}}},
        Refusal{"4 groups read",
                "group-count",
                {"param", "get", "0x0405"},
                {{"groups", "4"}, {"code", "0x0405"}}},
        Refusal{"0 groups written",
                "group-count",
                {"param", "set", "0x0005", "0"},
                {{"groups", "0"}, {"code", "0x0005"}}},
        Refusal{"4 groups written",
                "group-count",
                {"param", "set", "0x0405", "0"},
                {{"groups", "4"}, {"code", "0x0405"}}},
        Refusal{"128 in 1 group",
                "value-1-group",
                {"param", "set", "0x0105", "128"},
                ValueFields("128", 0x0105)},
        Refusal{"16384 in 2 groups",
                "value-2-groups",
                {"param", "set", "0x0205", "16384"},
                ValueFields("16384", 0x0205)}),
    NamedAfterWhat());

// Each rule's limits pass: the argument reaches a simulated device and comes
// back as written.
struct Acceptance {
  const char *what;
  std::vector<std::string> arguments;  // after --simulate
  const char *printed;                 // what stdout must hold
};

void PrintTo(const Acceptance &c, std::ostream *os) { *os << c.what; }

class ToolAccepts : public ToolFixture, public ::testing::WithParamInterface<Acceptance> {};

TEST_P(ToolAccepts, TheLimitsOfEachRule) {
  std::vector<std::string> arguments{"--simulate"};
  arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const RunResult r = RunProgram(kTool, arguments, dir_);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find(GetParam().printed), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolAccepts,
    ::testing::Values(
        Acceptance{"address 0", {"--address", "0", "hello"}, "address 0"},
        Acceptance{"address 31", {"--address", "31", "hello"}, "address 31"},
        Acceptance{"number 127", {"param", "set", "0x017F", "1", "--verify"}, "1"},
        Acceptance{"127 in 1 group", {"param", "set", "0x0105", "127", "--verify"}, "127"},
        Acceptance{"16383 in 2 groups", {"param", "set", "0x0205", "16383", "--verify"}, "16383"},
        Acceptance{"65535 in 3 groups", {"param", "set", "0x0305", "65535", "--verify"}, "65535"}),
    NamedAfterWhat());

// The limits this test's cases sit on are the page's.
TEST(ToolArgumentRules, TheCasesSitOnThePagesLimits) {
  EXPECT_EQ(Rules().at("address").low, 0);
  EXPECT_EQ(Rules().at("address").high, 31);
  EXPECT_EQ(Rules().at("parameter-number").high, 127);
  EXPECT_EQ(Rules().at("group-count").low, 1);
  EXPECT_EQ(Rules().at("group-count").high, 3);
  EXPECT_EQ(Rules().at("value-1-group").high, 127);
  EXPECT_EQ(Rules().at("value-2-groups").high, 16383);
  EXPECT_EQ(Rules().at("value-3-groups").high, 65535);
}

}  // namespace
}  // namespace qx318::testing
