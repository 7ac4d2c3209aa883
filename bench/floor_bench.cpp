// The library beside its floor: for each job, the same request and answer
// bytes over a pseudo-terminal, once through the library and once through a
// minimal program that makes the fewest system calls for them (write the
// request; then, per burst of the answer, one poll and one read, and no poll
// while a read came back full). Both talk to the same minimal device on the
// master side, so the table shows what the library adds on the host. The
// host runs on processor 0 and the devices on processor 1.
//
// The jobs are measured in one process run, in repetitions whose order is
// rotated, and the table gives medians; the ratio is the median of the
// ratios of the two sides measured next to each other. System calls are
// counted on the host thread alone, through the raw_syscalls:sys_enter
// tracepoint (root, or perf_event_paranoid -1, and tracefs).
//
// A pseudo-terminal has no line rate: these are the library's and the
// kernel's costs, not a serial line's. Not a test: nothing here passes or
// fails.
#include <fcntl.h>
#include <linux/perf_event.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "QX318_RS485.h"
#include "wire_oracle.h"

namespace {

using qx318::test::Bytes;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kHello = 1;
constexpr uint8_t kGetMeasure = 5;
constexpr uint8_t kGetImage = 6;
constexpr int32_t kAddress = 1;
constexpr int kPollMs = 2000;  // a stalled exchange ends the run, not the table

// ------------------------------------------------------------ wire bytes

Bytes AnswerFrame(const Bytes &data) {
  Bytes frame{0x00};
  qx318::test::AppendMarkedGroups(frame, static_cast<uint32_t>(data.size()), 2);
  for (uint8_t byte : data) frame.push_back(static_cast<uint8_t>(byte | 0x80u));
  qx318::test::AppendMarkedGroups(frame, qx318::test::BitwiseCrc16(data), 3);
  return frame;
}

Bytes HelloAnswerBytes() {
  Bytes data(15);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x11 + i);
  return AnswerFrame(data);
}

Bytes MeasureAnswer(uint16_t pairs) {
  std::vector<uint16_t> values(2u * pairs);
  for (size_t j = 0; j < values.size(); ++j) values[j] = static_cast<uint16_t>(j & 0x3FFF);
  return AnswerFrame(qx318::test::MeasureData(1, pairs, values));
}

Bytes ImageAnswer(uint16_t rows, uint16_t row_length) {
  return qx318::test::ImageAnswer(qx318::test::PatternImage(rows, row_length, 1, 7));
}

// ------------------------------------------------------- system calls

// Counts the system calls the calling thread enters, from its creation on.
class SyscallCounter {
 public:
  SyscallCounter() {
    const long id = TracepointId();
    if (id < 0) return;
    perf_event_attr attr{};
    attr.type = PERF_TYPE_TRACEPOINT;
    attr.size = sizeof attr;
    attr.config = static_cast<uint64_t>(id);
    fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
  }
  ~SyscallCounter() {
    if (fd_ >= 0) close(fd_);
  }
  SyscallCounter(const SyscallCounter &) = delete;
  SyscallCounter &operator=(const SyscallCounter &) = delete;

  bool ok() const { return fd_ >= 0; }

  // The count so far; the read that asks for it is counted too.
  uint64_t Now() const {
    uint64_t value = 0;
    return read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value) ? value : 0;
  }

 private:
  static long TracepointId() {
    for (const char *root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
      std::ifstream file(std::string(root) + "/events/raw_syscalls/sys_enter/id");
      long id = -1;
      if (file >> id) return id;
    }
    return -1;
  }

  int fd_ = -1;
};

// ------------------------------------------------------------ placement

// The host runs on one processor and every device on another, as on two
// machines; left to the scheduler, the two sides move between sharing a
// processor and not, and the rates jump between two levels from one second
// to the next. With one processor everything shares it.
const int kHostCpu = 0;
const int kDeviceCpu = std::thread::hardware_concurrency() > 1 ? 1 : 0;

void PinToCpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  (void)pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// ------------------------------------------------------------ the device

// The minimal device on a pseudo-terminal's master: it reads a request of
// known size and writes its one answer in one call.
class Device {
 public:
  Device(size_t request_size, Bytes answer)
      : request_size_(request_size), answer_(std::move(answer)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char *name = ptsname(master_);
    if (name == nullptr || pipe2(stop_, O_CLOEXEC) != 0) return;
    slave_path_ = name;
    thread_ = std::thread([this] {
      PinToCpu(kDeviceCpu);
      Serve();
    });
  }
  ~Device() {
    if (thread_.joinable()) {
      const char stop = 1;
      (void)!write(stop_[1], &stop, 1);
      thread_.join();
    }
    for (int fd : {master_, stop_[0], stop_[1]})
      if (fd >= 0) close(fd);
  }
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  const std::string &slave_path() const { return slave_path_; }

 private:
  void Serve() {
    Bytes request(request_size_);
    for (;;) {
      size_t got = 0;
      while (got < request.size()) {
        pollfd entries[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0 || entries[1].revents != 0) return;
        const ssize_t n = read(master_, request.data() + got, request.size() - got);
        if (n <= 0) return;
        got += static_cast<size_t>(n);
      }
      size_t sent = 0;
      while (sent < answer_.size()) {
        const ssize_t n = write(master_, answer_.data() + sent, answer_.size() - sent);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
      }
    }
  }

  size_t request_size_;
  Bytes answer_;
  int master_ = -1;
  int stop_[2] = {-1, -1};
  std::string slave_path_;
  std::thread thread_;
};

// ------------------------------------------------------ the minimal host

// The slave in raw mode, non-blocking, as the library opens it.
int OpenRawSlave(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    close(fd);
    return -1;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The fewest calls to read count bytes: a poll only when the last read came
// back short (after a request nothing can be there yet).
class MinimalReader {
 public:
  explicit MinimalReader(int fd) : fd_(fd) {}

  void RequestSent() { queue_empty_ = true; }

  bool Read(uint8_t *bytes, size_t count) {
    size_t got = 0;
    while (got < count) {
      if (queue_empty_) {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, kPollMs) <= 0) return false;
      }
      const ssize_t n = read(fd_, bytes + got, count - got);
      if (n < 0) return false;
      queue_empty_ = static_cast<size_t>(n) < count - got;
      got += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  bool queue_empty_ = true;
};

class MinimalHost {
 public:
  MinimalHost(const std::string &path, Bytes request)
      : fd_(OpenRawSlave(path)), request_(std::move(request)), reader_(fd_) {}
  ~MinimalHost() {
    if (fd_ >= 0) close(fd_);
  }
  MinimalHost(const MinimalHost &) = delete;
  MinimalHost &operator=(const MinimalHost &) = delete;

  bool ok() const { return fd_ >= 0; }

  bool Send() {
    reader_.RequestSent();
    return write(fd_, request_.data(), request_.size()) == static_cast<ssize_t>(request_.size());
  }
  bool Read(uint8_t *bytes, size_t count) { return reader_.Read(bytes, count); }

 private:
  int fd_;
  Bytes request_;
  MinimalReader reader_;
};

// ------------------------------------------------------------- the jobs

// One side of one job: an exchange to repeat on its own pseudo-terminal.
struct Side {
  std::unique_ptr<Device> device;
  std::function<bool()> exchange;
  bool ok = false;
};

struct Job {
  std::string figure;  // what one exchange is, for the table
  int count_runs;      // exchanges over which system calls are counted
  Side library;
  Side floor;
};

// The port closes with the last copy of the exchange, before its device
// stops.
std::shared_ptr<PortHandle> OpenLibraryPort(const std::string &path) {
  PortHandle port = nullptr;
  if (path.empty() || QX318_OpenPort(path.c_str(), 115200, &port) != 1) return nullptr;
  return std::shared_ptr<PortHandle>(new PortHandle(port), [](PortHandle *open) {
    (void)QX318_ClosePort(*open);
    delete open;
  });
}

Side LibrarySide(uint8_t command, Bytes answer, std::function<bool(PortHandle)> call) {
  Side side;
  side.device = std::make_unique<Device>(qx318::test::ExpectedRequest(kAddress, command).size(),
                                         std::move(answer));
  auto port = OpenLibraryPort(side.device->slave_path());
  side.ok = port != nullptr;
  side.exchange = [port, call = std::move(call)] { return call(*port); };
  return side;
}

// The floor reads the answer in the given pieces: the whole answer at once,
// or header, rows and CRC as the image is read.
Side FloorSide(uint8_t command, Bytes answer, std::vector<size_t> pieces) {
  Side side;
  const Bytes request = qx318::test::ExpectedRequest(kAddress, command);
  side.device = std::make_unique<Device>(request.size(), answer);
  auto host = std::make_shared<MinimalHost>(side.device->slave_path(), request);
  auto into = std::make_shared<Bytes>(answer.size());
  side.ok = !side.device->slave_path().empty() && host->ok();
  side.exchange = [host, into, pieces = std::move(pieces)] {
    if (!host->Send()) return false;
    size_t done = 0;
    for (size_t piece : pieces) {
      if (!host->Read(into->data() + done, piece)) return false;
      done += piece;
    }
    return true;
  };
  return side;
}

std::vector<size_t> ImagePieces(uint16_t rows, uint16_t row_length) {
  std::vector<size_t> pieces{9};  // start byte and four header words
  pieces.insert(pieces.end(), rows, row_length);
  pieces.push_back(3);
  return pieces;
}

Job HelloJob() {
  const Bytes answer = HelloAnswerBytes();
  Job job{"hello exchanges/s", 2000, {}, {}};
  job.library = LibrarySide(kHello, answer, [](PortHandle port) {
    HelloAnswer hello{};
    return QX318_HelloCmd(port, kAddress, &hello) == 1;
  });
  job.floor = FloorSide(kHello, answer, {answer.size()});
  return job;
}

Job MeasureJob(uint16_t pairs) {
  const Bytes answer = MeasureAnswer(pairs);
  Job job{std::to_string(pairs) + "-pair measurements/s", 200, {}, {}};
  auto values = std::make_shared<std::vector<uint16_t>>(2u * pairs);
  job.library = LibrarySide(kGetMeasure, answer, [values](PortHandle port) {
    MeasureHeader header{};
    return QX318_GetMeasureEx(port, kAddress, &header, values->data(),
                              static_cast<uint32_t>(values->size())) == 1;
  });
  job.floor = FloorSide(kGetMeasure, answer, {answer.size()});
  return job;
}

Job ImageJob(uint16_t rows, uint16_t row_length, int count_runs) {
  const Bytes answer = ImageAnswer(rows, row_length);
  Job job{
      std::to_string(rows) + " x " + std::to_string(row_length) + " images/s", count_runs, {}, {}};
  auto pixels = std::make_shared<Bytes>(static_cast<size_t>(rows) * row_length);
  job.library = LibrarySide(kGetImage, answer, [pixels](PortHandle port) {
    ImageHeader header{};
    return QX318_GetImageEx(port, kAddress, &header, pixels->data(),
                            static_cast<uint32_t>(pixels->size())) == 1;
  });
  job.floor = FloorSide(kGetImage, answer, ImagePieces(rows, row_length));
  return job;
}

// ---------------------------------------------------------- measuring

// The processor time this thread has used: what the host side of an
// exchange costs, whatever else the machine is doing meanwhile.
std::chrono::duration<double> ThreadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

struct Measured {
  double per_second = 0;        // exchanges; 0 when one failed
  double cpu_microseconds = 0;  // host processor time per exchange
};

// Exchanges over about `seconds`, after a short warm-up.
Measured Rate(const Side &side, double seconds) {
  const auto warm_until = Clock::now() + std::chrono::milliseconds(20);
  do {
    if (!side.exchange()) return {};
  } while (Clock::now() < warm_until);
  const auto start = Clock::now();
  const auto cpu_start = ThreadCpuTime();
  const auto until = start + std::chrono::duration<double>(seconds);
  uint64_t done = 0;
  auto now = start;
  do {
    if (!side.exchange()) return {};
    ++done;
    now = Clock::now();
  } while (now < until);
  const double exchanges = static_cast<double>(done);
  return {exchanges / std::chrono::duration<double>(now - start).count(),
          (ThreadCpuTime() - cpu_start).count() * 1e6 / exchanges};
}

// System calls per exchange on this thread; negative when they cannot be
// counted. The counter lives only for this: while it exists every system
// call on the machine passes its tracepoint, which the timings must not pay.
double SyscallsPerExchange(const Side &side, int runs) {
  const SyscallCounter counter;
  if (!counter.ok()) return -1;
  if (!side.exchange()) return -1;
  const uint64_t before = counter.Now();
  for (int i = 0; i < runs; ++i) {
    if (!side.exchange()) return -1;
  }
  const uint64_t after = counter.Now();
  return static_cast<double>(after - before - 1) / runs;  // less the second look
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Options {
  int repetitions = 11;
  double seconds = 0.25;  // per side, per repetition
  std::string jobs = "hello,measure,image256,image1024";
};

Options ParseOptions(int argc, char **argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--repetitions") options.repetitions = std::max(1, std::atoi(argv[i + 1]));
    if (name == "--seconds") options.seconds = std::max(0.01, std::atof(argv[i + 1]));
    if (name == "--jobs") options.jobs = argv[i + 1];
  }
  return options;
}

std::string Calls(double calls) {
  if (calls < 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", calls);
  return text;
}

// Whether the comma-separated list names name as one of its items. The
// items are compared in place: ","-wrapped copies of the strings make
// GCC 12 at -O3 warn of an overlapping copy inside std::string.
bool ListNames(std::string_view list, std::string_view name) {
  for (size_t start = 0; start <= list.size();) {
    const size_t end = std::min(list.find(',', start), list.size());
    if (list.substr(start, end - start) == name) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = ParseOptions(argc, argv);
  PinToCpu(kHostCpu);

  const auto wanted = [&options](std::string_view name) { return ListNames(options.jobs, name); };
  std::vector<Job> jobs;
  if (wanted("hello")) jobs.push_back(HelloJob());
  if (wanted("measure")) jobs.push_back(MeasureJob(4095));
  if (wanted("image256")) jobs.push_back(ImageJob(256, 256, 100));
  if (wanted("image1024")) jobs.push_back(ImageJob(1024, 1024, 10));
  for (const Job &job : jobs) {
    if (!job.library.ok || !job.floor.ok) {
      std::fprintf(stderr, "cannot set up a pseudo-terminal for %s\n", job.figure.c_str());
      return 1;
    }
  }

  const size_t n = jobs.size();
  struct Samples {
    std::vector<double> library, floor, ratio, library_cpu, floor_cpu;
  };
  std::vector<Samples> samples(n);
  for (int rep = 0; rep < options.repetitions; ++rep) {
    for (size_t k = 0; k < n; ++k) {
      const size_t j = (k + static_cast<size_t>(rep)) % n;
      const bool library_first = rep % 2 == 0;  // each job: either side first as often
      Measured lib;
      if (library_first) lib = Rate(jobs[j].library, options.seconds);
      const Measured flo = Rate(jobs[j].floor, options.seconds);
      if (!library_first) lib = Rate(jobs[j].library, options.seconds);
      if (lib.per_second == 0 || flo.per_second == 0) {
        std::fprintf(stderr, "an exchange failed: %s\n", jobs[j].figure.c_str());
        return 1;
      }
      samples[j].library.push_back(lib.per_second);
      samples[j].floor.push_back(flo.per_second);
      samples[j].ratio.push_back(lib.per_second / flo.per_second);
      samples[j].library_cpu.push_back(lib.cpu_microseconds);
      samples[j].floor_cpu.push_back(flo.cpu_microseconds);
    }
  }

  std::printf(
      "| figure | library | floor | ratio | system calls per exchange (library / floor) "
      "| host CPU µs per exchange (library / floor) |\n");
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  for (size_t j = 0; j < n; ++j) {
    const double lib_calls = SyscallsPerExchange(jobs[j].library, jobs[j].count_runs);
    const double floor_calls = SyscallsPerExchange(jobs[j].floor, jobs[j].count_runs);
    const Samples &s = samples[j];
    std::printf("| %s | %.0f | %.0f | %.3f | %s / %s | %.1f / %.1f |\n", jobs[j].figure.c_str(),
                Median(s.library), Median(s.floor), Median(s.ratio), Calls(lib_calls).c_str(),
                Calls(floor_calls).c_str(), Median(s.library_cpu), Median(s.floor_cpu));
  }
  std::printf("\n%d repetitions of %.2f s per side, order rotated; medians.%s\n",
              options.repetitions, options.seconds,
              SyscallCounter().ok() ? "" : " System calls not counted (needs root and tracefs).");
  return 0;
}
