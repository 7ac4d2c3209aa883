// What the tool suites set up again and again: a folder of the test's own,
// qx318-sim children serving a pseudo-terminal, a pseudo-terminal of the
// test's own (a serial line, a terminal for standard error), and readable
// names for table-driven cases.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace qx318::testing {

inline const std::string kTool = QX318_TOOL_PATH;
inline const std::string kSim = QX318_SIM_PATH;

// A test's own folder (removed at its end) and the simulators it started
// (stopped at its end, before the folder goes).
class ToolFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/qx318-tools-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    sims_.clear();
    std::filesystem::remove_all(dir_);
  }

  // Starts a simulator and returns the path it serves (its first line).
  std::string StartSim(const std::vector<std::string> &arguments) {
    sim_errs_.resize(sims_.size());
    sim_errs_.push_back(dir_ + "/sim-" + std::to_string(++sims_started_) + ".err");
    sims_.push_back(std::make_unique<Child>(kSim, arguments, sim_errs_.back()));
    Child &sim = *sims_.back();
    EXPECT_TRUE(sim.started());
    const std::string path = sim.ReadLine(std::chrono::milliseconds(20000));
    EXPECT_FALSE(path.empty()) << ReadFile(sim_errs_.back());
    return path;
  }

  // Stops the simulator started last and returns its standard error.
  std::string StopSim(int expected_status = 0) {
    const RunResult r = sims_.back()->Stop(SIGTERM);
    EXPECT_EQ(r.exit_code, expected_status);
    sims_.pop_back();
    const std::string err = ReadFile(sim_errs_.back());
    sim_errs_.pop_back();
    return err;
  }

  // What the simulator started last has written to standard error so far
  // (its --trace lines among it).
  std::string SimErrors() const { return ReadFile(sim_errs_.back()); }

  std::string dir_;
  std::vector<std::unique_ptr<Child>> sims_;

 private:
  std::vector<std::string> sim_errs_;  // beside sims_, one each
  int sims_started_ = 0;
};

// A pseudo-terminal of the test's own: its slave plays an existing serial
// line for qx318-sim --device, or a terminal for the tool's standard error;
// settings are read and set through the master.
class PseudoTerminal {
 public:
  PseudoTerminal() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      slave_ = ptsname(master_);
    }
  }
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
  }
  PseudoTerminal(const PseudoTerminal &) = delete;
  PseudoTerminal &operator=(const PseudoTerminal &) = delete;

  bool ok() const { return !slave_.empty(); }
  const std::string &slave() const { return slave_; }
  int master() const { return master_; }
  termios Settings() const {
    termios tio{};
    EXPECT_EQ(tcgetattr(master_, &tio), 0);
    return tio;
  }
  // 9600 baud with what a raw 8N1 line without flow control must not keep.
  void SetUpCooked9600() const {
    termios tio = Settings();
    tio.c_cflag |= CSTOPB | CRTSCTS | PARENB;
    tio.c_lflag |= ICANON | ECHO;
    tio.c_iflag |= IXON;
    ASSERT_EQ(cfsetispeed(&tio, B9600), 0);
    ASSERT_EQ(cfsetospeed(&tio, B9600), 0);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &tio), 0);
    const termios applied = Settings();
    ASSERT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B9600));
  }

 private:
  int master_;
  std::string slave_;
};

struct PngPixels {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // rows top to bottom, channels as asked
};

// Reads a PNG as format (PNG_FORMAT_GRAY, PNG_FORMAT_RGB) with libpng's
// simplified API: what the tool wrote, read by a library of its own.
inline bool ReadPng(const std::string &path, uint32_t format, PngPixels *out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return false;
  image.format = format;
  out->width = image.width;
  out->height = image.height;
  out->pixels.assign(PNG_IMAGE_SIZE(image), 0);
  const bool ok = png_image_finish_read(&image, nullptr, out->pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

// A build without cairo refuses --plot (tests/packages checks that); the
// tests of the plot itself skip there.
inline bool PlotBuiltIn() {
  const RunResult r = RunProgram(kTool, {"--version"}, "/");
  return r.out.find("not built in") == std::string::npos;
}

// A case's description as a test name: what gtest accepts, the rest '_'.
inline std::string TestNameOf(std::string text) {
  for (char &c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return text;
}

// Names each case of a table after its `what`.
struct NamedAfterWhat {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case> &info) const {
    return TestNameOf(info.param.what);
  }
};

}  // namespace qx318::testing
