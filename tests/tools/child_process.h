// Running the built executables as a user would: a command with its output
// captured, and a qx318-sim kept running in the background for a test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qx318::testing {

struct RunResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  int signal = 0;      // the signal that ended it, if any
  std::string out;
  std::string err;
};

// Runs program with arguments in directory (empty: this process's), waits
// at most limit, and returns what it printed. A child still running at the
// limit is killed and reported with its signal.
RunResult RunProgram(const std::string &program, const std::vector<std::string> &arguments,
                     const std::string &directory = {},
                     std::chrono::seconds limit = std::chrono::seconds(60));

// A child whose standard output is read line by line and whose standard
// error goes to a file.
class Child {
 public:
  Child(const std::string &program, const std::vector<std::string> &arguments,
        const std::string &stderr_file);
  ~Child();  // stops (SIGTERM, then SIGKILL) and reaps a child still running
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The next line of standard output, or empty after limit.
  std::string ReadLine(std::chrono::milliseconds limit);
  // Sends signal_number and waits at most limit for the exit.
  RunResult Stop(int signal_number, std::chrono::seconds limit = std::chrono::seconds(20));

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string pending_;
  std::string stderr_file_;
};

std::string ReadFile(const std::string &path);

}  // namespace qx318::testing
