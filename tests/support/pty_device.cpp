#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace qx318::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long the device thread waits for the rest of a frame once its start
// byte came; the library writes a frame in one go.
constexpr milliseconds kFrameCompletion{2000};
// While no slave descriptor is open the master reports a hang-up at once;
// this is how long to wait before looking again.
constexpr milliseconds kHangUpRetry{5};

[[noreturn]] void ThrowErrno(const char *what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Canonical input with echo and signals, XON/XOFF, CR/NL translation,
// bit 7 stripped and output post-processing: everything raw mode must undo.
void MakeSlaveHostile(int master) {
  termios tio{};
  if (tcgetattr(master, &tio) != 0) ThrowErrno("tcgetattr");
  tio.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP | BRKINT;
  tio.c_oflag |= OPOST | ONLCR;
  tio.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  tio.c_cflag |= CS7 | PARENB;
  if (tcsetattr(master, TCSANOW, &tio) != 0) ThrowErrno("tcsetattr");
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) ThrowErrno("fcntl");
}

int PollTimeoutUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60'000 ? 60'000 : static_cast<int>(left);
}

}  // namespace

PtyDevice::PtyDevice() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) ThrowErrno("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) ThrowErrno("grantpt/unlockpt");
  const char *name = ptsname(master_);
  if (name == nullptr) ThrowErrno("ptsname");
  slave_path_ = name;
  SetNonBlocking(master_);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  MakeSlaveHostile(master_);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) ThrowErrno("pipe");
  wake_read_ = pipe_fds[0];
  wake_write_ = pipe_fds[1];
  SetNonBlocking(wake_read_);
}

PtyDevice::~PtyDevice() {
  Stop();
  close(wake_read_);
  close(wake_write_);
  close(master_);
}

void PtyDevice::Start(std::function<void()> body) {
  Stop();
  stopping_ = false;
  thread_ = std::thread(std::move(body));
}

void PtyDevice::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  const uint8_t wake = 1;
  (void)!write(wake_write_, &wake, 1);
  thread_.join();
  uint8_t drain[16];
  while (read(wake_read_, drain, sizeof drain) > 0) {
  }
  stopping_ = false;
}

void PtyDevice::Serve(Handler handler) {
  ServeScripted([handler = std::move(handler)](const Bytes &request) {
    Bytes answer = handler(request);
    std::vector<Chunk> chunks;
    if (!answer.empty()) chunks.push_back(Chunk{std::move(answer), milliseconds(0)});
    return chunks;
  });
}

void PtyDevice::ServeScripted(ScriptedHandler handler) {
  Start([this, handler = std::move(handler)] { RunScripted(handler); });
}

void PtyDevice::StreamForever(Bytes pattern) {
  Start([this, pattern = std::move(pattern)] { RunStream(pattern); });
}

void PtyDevice::RunScripted(const ScriptedHandler &handler) {
  for (;;) {
    Bytes frame;
    const Io got = ReadFrame(frame, Clock::time_point::max());
    if (got == Io::kStopped) return;
    if (got != Io::kDone) continue;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(frame);
    }
    changed_.notify_all();
    for (const Chunk &chunk : handler(frame)) {
      if (!Pause(chunk.pause_before)) return;
      if (Write(chunk.bytes, Clock::time_point::max()) == Io::kStopped) return;
    }
    {
      std::lock_guard lock(mutex_);
      ++replies_;
    }
    changed_.notify_all();
  }
}

void PtyDevice::RunStream(const Bytes &pattern) {
  while (Write(pattern, Clock::time_point::max()) == Io::kDone) {
  }
}

std::vector<Bytes> PtyDevice::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool PtyDevice::WaitForRequests(size_t count, milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool PtyDevice::WaitForReplies(size_t count, milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return replies_ >= count; });
}

bool PtyDevice::WriteAll(const Bytes &bytes, milliseconds timeout) {
  return Write(bytes, Clock::now() + timeout) == Io::kDone;
}

bool PtyDevice::WriteChunks(const std::vector<Chunk> &chunks) {
  for (const Chunk &chunk : chunks) {
    if (!Pause(chunk.pause_before) || !WriteAll(chunk.bytes)) return false;
  }
  return true;
}

std::optional<Bytes> PtyDevice::ReadRequest(milliseconds timeout) {
  Bytes frame;
  if (ReadFrame(frame, Clock::now() + timeout) != Io::kDone) return std::nullopt;
  return frame;
}

Bytes PtyDevice::ReadAvailable(milliseconds quiet) {
  Bytes all;
  uint8_t block[4096];
  while (WaitReadable(Clock::now() + quiet) == Io::kDone) {
    const ssize_t got = read(master_, block, sizeof block);
    if (got > 0) {
      all.insert(all.end(), block, block + got);
    } else if (got < 0 && errno != EAGAIN && errno != EINTR && !Pause(kHangUpRetry)) {
      break;
    }
  }
  return all;
}

// Sleeps for pause unless Stop() comes first; false when it did.
bool PtyDevice::Pause(milliseconds pause) {
  if (pause <= milliseconds(0)) return !stopping_;
  pollfd wake{wake_read_, POLLIN, 0};
  const auto deadline = Clock::now() + pause;
  while (!stopping_ && Clock::now() < deadline) {
    (void)poll(&wake, 1, PollTimeoutUntil(deadline));
  }
  return !stopping_;
}

PtyDevice::Io PtyDevice::WaitReadable(Clock::time_point deadline) {
  for (;;) {
    if (stopping_) return Io::kStopped;
    if (Clock::now() >= deadline) return Io::kTimedOut;
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    const int ready = poll(fds, 2, PollTimeoutUntil(deadline));
    if (ready < 0 && errno != EINTR) return Io::kStopped;
    if (fds[1].revents != 0) return Io::kStopped;
    if (fds[0].revents & POLLIN) return Io::kDone;
    // Hang-up: no slave is open (yet, or any more). Look again shortly.
    if (fds[0].revents != 0 && !Pause(kHangUpRetry)) return Io::kStopped;
  }
}

PtyDevice::Io PtyDevice::ReadExactly(uint8_t *bytes, size_t count, Clock::time_point deadline) {
  size_t done = 0;
  while (done < count) {
    const Io ready = WaitReadable(deadline);
    if (ready != Io::kDone) return ready;
    const ssize_t got = read(master_, bytes + done, count - done);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got < 0 && errno != EAGAIN && errno != EINTR && !Pause(kHangUpRetry)) {
      return Io::kStopped;  // EIO: the slave closed between poll and read
    }
  }
  return Io::kDone;
}

PtyDevice::Io PtyDevice::ReadFrame(Bytes &frame, Clock::time_point deadline) {
  uint8_t start = kWireMarker;
  while (start & kWireMarker) {
    const Io got = ReadExactly(&start, 1, deadline);
    if (got != Io::kDone) return got;
    if (start & kWireMarker) ++skipped_;
  }
  const Clock::time_point rest_deadline = std::min(deadline, Clock::now() + kFrameCompletion);
  uint8_t length[2] = {};
  if (const Io got = ReadExactly(length, 2, rest_deadline); got != Io::kDone) return got;
  const size_t n = AssembleGroups(length, kLengthGroups);
  frame.assign(n + kRequestOverhead, 0);
  frame[0] = start;
  frame[1] = length[0];
  frame[2] = length[1];
  return ReadExactly(frame.data() + 3, n + 4, rest_deadline);
}

PtyDevice::Io PtyDevice::Write(const Bytes &bytes, Clock::time_point deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (stopping_) return Io::kStopped;
    const ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
    if (put > 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    if (Clock::now() >= deadline) return Io::kTimedOut;
    pollfd fds[2] = {{master_, POLLOUT, 0}, {wake_read_, POLLIN, 0}};
    const int ready = poll(fds, 2, PollTimeoutUntil(deadline));
    if (ready < 0 && errno != EINTR) return Io::kStopped;
    if (fds[1].revents != 0) return Io::kStopped;
    if ((fds[0].revents & POLLOUT) == 0 && fds[0].revents != 0 && !Pause(kHangUpRetry)) {
      return Io::kStopped;
    }
  }
  return Io::kDone;
}

std::vector<Chunk> InPieces(const Bytes &bytes, size_t piece, std::chrono::milliseconds pause,
                            std::chrono::milliseconds first_pause) {
  std::vector<Chunk> chunks;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const size_t end = std::min(bytes.size(), at + piece);
    chunks.push_back({Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(end)),
                      at == 0 ? first_pause : pause});
  }
  return chunks;
}

int OpenRawSlave(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

}  // namespace qx318::test
