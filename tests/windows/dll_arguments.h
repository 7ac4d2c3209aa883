// The command line of the programs that drive the shipped DLL under Wine:
// DLL_PATH PORT_NAME, then gtest's own options. Both programs read it the
// same way, so that CMakeLists.txt starts them the same way.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace qx318::test {

// Lets gtest take its options, then reads the DLL under test and the COM port
// qx318-sim serves. False, after printing the usage, when they are not both
// there: main then returns 2.
inline bool TakeDllArguments(int &argc, char **argv, std::string &dll_path,
                             std::string &port_name) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DLL_PATH PORT_NAME [gtest options]\n", argv[0]);
    return false;
  }
  dll_path = argv[1];
  port_name = argv[2];
  return true;
}

}  // namespace qx318::test
