// The fixtures of the suites over pseudo-terminals:
//  - PortOnPty: a device on a pseudo-terminal (device_) and the library's
//    port opened on it at 115 200 baud (port_). Tear-down stops the device
//    first, so that nothing it still sends races the close, then closes the
//    port, which must succeed. Base is ::testing::Test or a
//    ::testing::TestWithParam.
//  - RawSlaveOnPty: a device on a pseudo-terminal and its slave opened raw
//    on a bare descriptor (fd_), for suites that drive the converter's reads
//    themselves.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include "QX318_RS485.h"
#include "pty_device.h"

namespace qx318::test {

template <typename Base = ::testing::Test>
class PortOnPty : public Base {
 protected:
  void SetUp() override {
    ASSERT_EQ(QX318_OpenPort(device_.slave_path().c_str(), 115200, &port_), 1);
  }
  void TearDown() override {
    device_.Stop();
    if (port_ != nullptr) {
      EXPECT_EQ(QX318_ClosePort(port_), 1);
    }
  }

  PtyDevice device_;
  PortHandle port_ = nullptr;
};

class RawSlaveOnPty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(fd_, 0); }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }

  PtyDevice device_;
  int fd_ = OpenRawSlave(device_.slave_path());
};

}  // namespace qx318::test
