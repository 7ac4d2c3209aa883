#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

extern char **environ;

namespace qx318::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char *> Argv(const std::string &program, const std::vector<std::string> &arguments) {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &a : arguments) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Waits for pid until the deadline, polling its status; kills it after.
void Reap(pid_t pid, Clock::time_point deadline, RunResult *result) {
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      (void)waitpid(pid, &status, 0);
      break;
    }
    pollfd none{-1, 0, 0};
    (void)poll(&none, 0, 5);
  }
  if (WIFEXITED(status)) result->exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result->signal = WTERMSIG(status);
}

}  // namespace

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

RunResult RunProgram(const std::string &program, const std::vector<std::string> &arguments,
                     const std::string &directory, std::chrono::seconds limit) {
  RunResult result;
  char out_name[] = "/tmp/qx318-test-out-XXXXXX";
  char err_name[] = "/tmp/qx318-test-err-XXXXXX";
  const int out_fd = mkostemp(out_name, O_CLOEXEC);
  const int err_fd = mkostemp(err_name, O_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  std::vector<char *> argv = Argv(program, arguments);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned == 0) Reap(pid, Clock::now() + limit, &result);
  close(out_fd);
  close(err_fd);
  result.out = ReadFile(out_name);
  result.err = ReadFile(err_name);
  unlink(out_name);
  unlink(err_name);
  return result;
}

Child::Child(const std::string &program, const std::vector<std::string> &arguments,
             const std::string &stderr_file)
    : stderr_file_(stderr_file) {
  int pipe_fds[2] = {-1, -1};
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<char *> argv = Argv(program, arguments);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  out_fd_ = pipe_fds[0];
}

Child::~Child() {
  if (pid_ > 0) (void)Stop(SIGTERM);  // Stop kills it if it does not exit in time
  if (out_fd_ >= 0) close(out_fd_);
}

std::string Child::ReadLine(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return {};
    pollfd entry{out_fd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(out_fd_, buffer, sizeof buffer);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

RunResult Child::Stop(int signal_number, std::chrono::seconds limit) {
  RunResult result;
  if (pid_ <= 0) return result;
  kill(pid_, signal_number);
  Reap(pid_, Clock::now() + limit, &result);
  pid_ = -1;
  result.err = ReadFile(stderr_file_);
  return result;
}

}  // namespace qx318::testing
