// The name gtest lists a parameterised case under: the case's own name field,
// so that a failing case reads as what it is, not as an index. gtest takes
// only letters, digits and '_' in a name; anything else becomes '_'.
//
//   INSTANTIATE_TEST_SUITE_P(Table, Suite, ::testing::ValuesIn(kCases), test::ParamName());
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace qx318::test {

struct ParamName {
  template <typename Param>
  std::string operator()(const ::testing::TestParamInfo<Param> &info) const {
    std::string name(info.param.name);
    for (char &ch : name) {
      if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
  }
};

}  // namespace qx318::test
