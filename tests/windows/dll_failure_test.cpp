// Why a call into the shipped DLL returned 0: each reason the Windows
// converter path can give, provoked through the stand-in FTD2XX.dll (a call
// it refuses, an answer or a short write it scripts) or on the line itself
// (a silent address on the serial port with qx318-sim behind it), read back
// with QX318_GetLastFailure and QX318_GetLastFailureDetail. Expected frames
// and figures come from the wire model, never from the library. Then the
// reasons of two threads that fail at once, one of which existed before the
// DLL was loaded: the DLL keeps them in fiber-local storage.
//
// Usage: qx318_dll_failure_test.exe DLL_PATH PORT_NAME [gtest options]
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "QX318_RS485.h"
#include "dll_arguments.h"
#include "param_name.h"
#include "wire_oracle.h"

namespace {

using qx318::test::Bytes;

std::string dll_path;
std::string port_name;

constexpr int32_t kDevice = 1;
constexpr int32_t kSilentAddress = 2;  // nobody answers there
constexpr uint32_t kBaudRate = 115200;
const char *const kMissingPort = "\\\\.\\COM199";

template <typename Fn>
Fn Find(HMODULE module, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// The DLL's exports, found by their plain names as a host finds them.
struct Dll {
  decltype(&QX318_OpenPort) open = nullptr;
  decltype(&QX318_ClosePort) close = nullptr;
  decltype(&QX318_HelloCmd) hello = nullptr;
  decltype(&QX318_ReadParameter) read_parameter = nullptr;
  decltype(&QX318_FlushParamsToFlash) flush_params = nullptr;
  decltype(&QX318_RestoreAngleFromFlash) restore_angle = nullptr;
  decltype(&QX318_GetMeasureEx) measure_ex = nullptr;
  decltype(&QX318_LockResult) lock_result = nullptr;
  decltype(&QX318_GetImage) image = nullptr;
  decltype(&QX318_GetImageEx) image_ex = nullptr;
  decltype(&QX318_GetRotateAngle) angle = nullptr;
  decltype(&QX318_GetLastFailure) last_failure = nullptr;
  decltype(&QX318_FailureText) failure_text = nullptr;
  decltype(&QX318_GetLastFailureDetail) last_detail = nullptr;

  bool Load(HMODULE dll) {
    open = Find<decltype(open)>(dll, "QX318_OpenPort");
    close = Find<decltype(close)>(dll, "QX318_ClosePort");
    hello = Find<decltype(hello)>(dll, "QX318_HelloCmd");
    read_parameter = Find<decltype(read_parameter)>(dll, "QX318_ReadParameter");
    flush_params = Find<decltype(flush_params)>(dll, "QX318_FlushParamsToFlash");
    restore_angle = Find<decltype(restore_angle)>(dll, "QX318_RestoreAngleFromFlash");
    measure_ex = Find<decltype(measure_ex)>(dll, "QX318_GetMeasureEx");
    lock_result = Find<decltype(lock_result)>(dll, "QX318_LockResult");
    image = Find<decltype(image)>(dll, "QX318_GetImage");
    image_ex = Find<decltype(image_ex)>(dll, "QX318_GetImageEx");
    angle = Find<decltype(angle)>(dll, "QX318_GetRotateAngle");
    last_failure = Find<decltype(last_failure)>(dll, "QX318_GetLastFailure");
    failure_text = Find<decltype(failure_text)>(dll, "QX318_FailureText");
    last_detail = Find<decltype(last_detail)>(dll, "QX318_GetLastFailureDetail");
    return open && close && hello && read_parameter && flush_params && restore_angle &&
           measure_ex && lock_result && image && image_ex && angle && last_failure &&
           failure_text && last_detail;
  }
};

// The stand-in converter's controls (ftd2xx_standin.cpp).
struct StandIn {
  void(WINAPI *refuse)(const char *) = nullptr;
  void(WINAPI *serve_answer)(const unsigned char *, DWORD) = nullptr;
  void(WINAPI *limit_writes)(DWORD) = nullptr;
  DWORD(WINAPI *take_written)(unsigned char *, DWORD) = nullptr;
  void(WINAPI *reset)() = nullptr;

  bool Load(HMODULE converter) {
    refuse = Find<decltype(refuse)>(converter, "StandIn_Refuse");
    serve_answer = Find<decltype(serve_answer)>(converter, "StandIn_ServeAnswer");
    limit_writes = Find<decltype(limit_writes)>(converter, "StandIn_LimitWrites");
    take_written = Find<decltype(take_written)>(converter, "StandIn_TakeWritten");
    reset = Find<decltype(reset)>(converter, "StandIn_Reset");
    return refuse && serve_answer && limit_writes && take_written && reset;
  }

  void Answer(const Bytes &bytes) const {
    serve_answer(bytes.data(), static_cast<DWORD>(bytes.size()));
  }

  Bytes TakeWritten() const {
    Bytes bytes(take_written(nullptr, 0));
    if (!bytes.empty()) take_written(bytes.data(), static_cast<DWORD>(bytes.size()));
    return bytes;
  }
};

Dll dll;
StandIn standin;

// ----------------------------------------------------------- the reasons

// What the device's answers carry, in the wire model's terms.
Bytes HelloAnswerFrame() {
  return qx318::test::AnswerFrame(qx318::test::HelloData({318, 12, 3180001, 3, 5, 2, 1}));
}

qx318::test::ImageAnswerFields TwoByThreeImage() { return qx318::test::PatternImage(2, 3, 0, 7); }

std::string Hex4(uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
  return text;
}

// The hello answer with its first CRC group's bit 0 flipped, and the detail
// that names both CRCs and the data they cover.
std::pair<Bytes, std::string> HelloWithBadCrc() {
  const Bytes data = qx318::test::HelloData({318, 12, 3180001, 3, 5, 2, 1});
  const uint16_t crc = qx318::test::BitwiseCrc16(data);
  return {
      qx318::test::WithCrcGroupFlipped(qx318::test::AnswerFrame(data)),
      "CRC received " + Hex4(crc ^ 0x0001u) + ", computed " + Hex4(crc) + " over 15 data bytes"};
}

// Where in its life the port is when the case's script starts: before the
// open (the open itself is the call) or open on the line.
enum class Stage { kOpen, kExchange };

struct Case {
  const char *name;
  Stage stage;
  std::function<void()> script;
  // For kOpen, the call stores what it opened in port (closed afterwards).
  std::function<int32_t(PortHandle &port)> call;
  int32_t code;
  std::string detail_part;  // "" when only the code is checked
};

int32_t Hello(PortHandle &port) {
  HelloAnswer answer{};
  return dll.hello(port, kDevice, &answer);
}

int32_t OpenAt(PortHandle &port, uint32_t baud_rate) {
  return dll.open(port_name.c_str(), baud_rate, &port);
}

Case RefusedAtOpen(const char *name, const char *call, int32_t code, std::string detail = "") {
  return {name,
          Stage::kOpen,
          [call] { standin.refuse(call); },
          [](PortHandle &port) { return OpenAt(port, kBaudRate); },
          code,
          std::move(detail)};
}

Case Answered(const char *name, Bytes answer, std::function<int32_t(PortHandle &)> call,
              int32_t code, std::string detail) {
  return {name,
          Stage::kExchange,
          [answer = std::move(answer)] { standin.Answer(answer); },
          std::move(call),
          code,
          std::move(detail)};
}

std::vector<Case> Cases() {
  using qx318::test::AnswerFrame;
  std::vector<Case> cases = {
      {"null output pointer", Stage::kExchange, [] {},
       [](PortHandle &port) { return dll.hello(port, kDevice, nullptr); }, QX318_FAIL_NULL_ARGUMENT,
       "answer_out is null"},
      {"null port_out at open", Stage::kOpen, [] {},
       [](PortHandle &) { return dll.open(port_name.c_str(), kBaudRate, nullptr); },
       QX318_FAIL_NULL_ARGUMENT, "port_out is null"},
      {"null description at open", Stage::kOpen, [] {},
       [](PortHandle &port) { return dll.open(nullptr, kBaudRate, &port); },
       QX318_FAIL_NULL_ARGUMENT, "description is null"},
      {"converter not found", Stage::kOpen, [] {},
       [](PortHandle &port) { return dll.open(kMissingPort, kBaudRate, &port); },
       QX318_FAIL_NOT_FOUND, std::string("\"") + kMissingPort + "\""},
      {"converter refuses to open", Stage::kOpen, [] { standin.refuse("CreateFile"); },
       [](PortHandle &port) { return OpenAt(port, kBaudRate); }, QX318_FAIL_NOT_FOUND,
       "could be opened"},
      RefusedAtOpen("line settings unreadable", "GetCommState", QX318_FAIL_LINE_SETTINGS,
                    "could not be read"),
      {"line settings refused", Stage::kOpen, [] { standin.refuse("SetCommState"); },
       [](PortHandle &port) { return OpenAt(port, 9600); }, QX318_FAIL_LINE_SETTINGS,
       "8N1 at 9600 baud"},
      RefusedAtOpen("time-outs refused", "SetCommTimeouts", QX318_FAIL_TIMEOUTS),
      RefusedAtOpen("queues refused", "SetupComm", QX318_FAIL_QUEUES, "1024 bytes"),
      RefusedAtOpen("purge refused", "PurgeComm", QX318_FAIL_PURGE),
      RefusedAtOpen("event mask refused", "SetCommMask", QX318_FAIL_EVENT_MASK),
      {"close of no handle", Stage::kOpen, [] {},
       [](PortHandle &) { return dll.close(QX318_INVALID_PORT); }, QX318_FAIL_INVALID_HANDLE, ""},
      {"request written short", Stage::kExchange, [] { standin.limit_writes(3); },
       [](PortHandle &port) { return dll.lock_result(port, kDevice); }, QX318_FAIL_WRITE_SHORT,
       "3 of 7 bytes"},
      // On the line: Wine's serial time-outs, a device that never answers.
      {"silence on the line", Stage::kExchange, [] {},
       [](PortHandle &port) {
         HelloAnswer answer{};
         return dll.hello(port, kSilentAddress, &answer);
       },
       QX318_FAIL_NO_ANSWER, "no answer within"},
      Answered("cut short in the length", {0x00, 0x8F}, Hello, QX318_FAIL_ANSWER_CUT_SHORT,
               "1 of 2 length bytes"),
      Answered("cut short in the data", qx318::test::CutShort(HelloAnswerFrame(), 6 + 3), Hello,
               QX318_FAIL_ANSWER_CUT_SHORT, "9 of 15 data bytes"),
      Answered("cut short in the CRC", qx318::test::CutShort(HelloAnswerFrame()), Hello,
               QX318_FAIL_ANSWER_CUT_SHORT, "2 of 3 CRC bytes"),
      Answered("marker bytes, then silence", Bytes(20, 0x81), Hello, QX318_FAIL_NO_START_BYTE,
               "20 marker bytes skipped, then silence"),
      // More noise than the hunt may skip: it ends at its byte bound or at
      // its time bound (1.1 s), whichever the converter's pace reaches first.
      Answered("marker bytes up to the hunt's bound",
               Bytes(qx318::test::kMaxSkippedNoise + 1, 0x81), Hello, QX318_FAIL_NO_START_BYTE,
               " marker bytes skipped in "),
      // Length 1 + 1 x 128: one more than hello's buffer.
      Answered("declared length larger than the buffer", {0x00, 0x81, 0x81}, Hello,
               QX318_FAIL_ANSWER_TOO_LONG, "declares 129 data bytes, the buffer holds 128"),
      Answered("hello of the wrong length", AnswerFrame(Bytes(14, 1)), Hello,
               QX318_FAIL_WRONG_LENGTH, "14 data bytes, expected 15"),
      Answered(
          "parameter in the wrong number of groups", AnswerFrame({0x2C, 0x02, 0x00}),
          [](PortHandle &port) {
            uint16_t value = 0;
            return dll.read_parameter(port, kDevice, 0x0205, &value);
          },
          QX318_FAIL_WRONG_LENGTH, "3 data bytes, expected 2"),
      Answered(
          "angle of the wrong length", AnswerFrame({1, 2, 3, 4}),
          [](PortHandle &port) {
            int32_t value = 0;
            return dll.angle(port, kDevice, &value);
          },
          QX318_FAIL_WRONG_LENGTH, "4 data bytes, expected 5"),
      Answered("CRC mismatch", HelloWithBadCrc().first, Hello, QX318_FAIL_CRC_MISMATCH,
               HelloWithBadCrc().second),
      Answered(
          "parameter save not confirmed", AnswerFrame({0x54}),
          [](PortHandle &port) { return dll.flush_params(port, kDevice); },
          QX318_FAIL_FLASH_NOT_CONFIRMED, "byte 0x54, expected 0x55"),
      Answered(
          "angle restore answered as a save", AnswerFrame({0x55}),
          [](PortHandle &port) { return dll.restore_angle(port, kDevice); },
          QX318_FAIL_FLASH_NOT_CONFIRMED, "byte 0x55, expected 0x33"),
      Answered(
          "measurement shorter than its pair count declares",
          AnswerFrame(qx318::test::MeasureData(1, 3, {1, 2, 3, 4, 5})),
          [](PortHandle &port) {
            MeasureHeader header{};
            uint16_t values[6] = {};
            return dll.measure_ex(port, kDevice, &header, values, 6);
          },
          QX318_FAIL_WRONG_LENGTH, "13 data bytes, expected 15 for pair count 3"),
      Answered(
          "measurement above the capacity",
          AnswerFrame(qx318::test::MeasureData(1, 3, {1, 2, 3, 4, 5, 6})),
          [](PortHandle &port) {
            MeasureHeader header{};
            uint16_t values[4] = {};
            return dll.measure_ex(port, kDevice, &header, values, 4);
          },
          QX318_FAIL_CAPACITY, "6 values, capacity 4"),
      Answered(
          "image above the capacity", qx318::test::ImageAnswer(TwoByThreeImage()),
          [](PortHandle &port) {
            ImageHeader header{};
            uint8_t pixels[5] = {};
            return dll.image_ex(port, kDevice, &header, pixels, 5);
          },
          QX318_FAIL_CAPACITY, "2 x 3 = 6 bytes does not fit"),
      // The second row stops after one pixel: its last 2 pixels and the CRC
      // never come.
      Answered(
          "image cut short in a row",
          qx318::test::CutShort(qx318::test::ImageAnswer(TwoByThreeImage()), 2 + 3),
          [](PortHandle &port) {
            ImageHeader header{};
            uint8_t pixels[6] = {};
            return dll.image(port, kDevice, &header, pixels);
          },
          QX318_FAIL_ANSWER_CUT_SHORT, "1 of 3 pixel bytes of row 1"),
  };
  qx318::test::ImageAnswerFields bad_crc = TwoByThreeImage();
  bad_crc.crc_xor = 0x0100;
  cases.push_back(Answered(
      "image CRC mismatch", qx318::test::ImageAnswer(bad_crc),
      [](PortHandle &port) {
        ImageHeader header{};
        uint8_t pixels[6] = {};
        return dll.image_ex(port, kDevice, &header, pixels, 6);
      },
      QX318_FAIL_CRC_MISMATCH, "over 6 pixel bytes"));
  return cases;
}

class WindowsFailureReasons : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override {
    standin.reset();
    if (port_ != nullptr && port_ != QX318_INVALID_PORT) (void)dll.close(port_);
  }
  PortHandle port_ = nullptr;
};

TEST_P(WindowsFailureReasons, EachFailureNamesItsReason) {
  const Case &c = GetParam();
  standin.reset();
  if (c.stage == Stage::kExchange) {
    ASSERT_EQ(OpenAt(port_, kBaudRate), 1) << port_name;
  }
  c.script();
  EXPECT_EQ(c.call(port_), 0);
  const int32_t reason = dll.last_failure();
  const std::string detail = dll.last_detail();
  EXPECT_EQ(reason, c.code) << detail;
  EXPECT_NE(detail.find(c.detail_part), std::string::npos) << detail;
  EXPECT_STRNE(dll.failure_text(reason), dll.failure_text(-12345));
  if (c.stage == Stage::kOpen) {
    EXPECT_EQ(port_, nullptr) << "a failed open stores no handle";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsFailureReasons, ::testing::ValuesIn(Cases()),
                         qx318::test::ParamName());

// The stand-in took the request a scripted exchange sent: the one the wire
// model makes, written once, whole.
TEST(WindowsFailureReasonsScript, TheScriptedExchangeCarriedTheTrueRequest) {
  standin.reset();
  PortHandle port = nullptr;
  ASSERT_EQ(OpenAt(port, kBaudRate), 1);
  const auto [answer, detail] = HelloWithBadCrc();
  standin.Answer(answer);
  EXPECT_EQ(Hello(port), 0);
  EXPECT_EQ(dll.last_failure(), QX318_FAIL_CRC_MISMATCH);
  EXPECT_EQ(standin.TakeWritten(), qx318::test::ExpectedRequest(kDevice, 1));
  standin.reset();
  EXPECT_EQ(dll.close(port), 1);
}

// A reason stays until the thread's next call into the library, whatever
// the caller does with its own last-error value meanwhile; a call that
// succeeds clears it.
TEST(WindowsFailureReasonsScript, KeptAcrossTheCallersSystemCallsUntilASuccess) {
  standin.reset();
  PortHandle port = nullptr;
  ASSERT_EQ(OpenAt(port, kBaudRate), 1);
  standin.Answer(qx318::test::AnswerFrame(Bytes(14, 1)));
  EXPECT_EQ(Hello(port), 0);
  standin.reset();

  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateFileA("Z:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(dll.last_failure(), QX318_FAIL_WRONG_LENGTH);
  EXPECT_EQ(dll.last_failure(), QX318_FAIL_WRONG_LENGTH) << "reading it changes nothing";

  EXPECT_EQ(Hello(port), 1) << "the device on the line answers";
  EXPECT_EQ(dll.last_failure(), QX318_FAIL_NONE);
  EXPECT_STREQ(dll.last_detail(), "");
  EXPECT_EQ(dll.close(port), 1);
}

// ------------------------------------------------------ faults on the line

// Run on its own (windows.dll_failure_reasons_on_the_line), against a
// simulated device told to spoil its next three answers: a pause after the
// first CRC group (longer than the 100 ms gap that ends a read), a flipped
// CRC bit, a data byte too many or too few. Wine's own serial time-outs end
// the reads here; the fourth answer is whole.
TEST(WindowsLineFaults, TheDevicesFaultsInTurnThenAGoodAnswer) {
  standin.reset();
  PortHandle port = nullptr;
  ASSERT_EQ(OpenAt(port, kBaudRate), 1);
  const struct {
    const char *fault;
    int32_t code;
    const char *detail_part;
  } faults[] = {
      {"stall", QX318_FAIL_ANSWER_CUT_SHORT, "1 of 3 CRC bytes"},
      {"corrupt-crc", QX318_FAIL_CRC_MISMATCH, "over 15 data bytes"},
      {"wrong-length", QX318_FAIL_WRONG_LENGTH, ", expected 15"},
  };
  for (const auto &f : faults) {
    SCOPED_TRACE(f.fault);
    EXPECT_EQ(Hello(port), 0);
    const std::string detail = dll.last_detail();
    EXPECT_EQ(dll.last_failure(), f.code) << detail;
    EXPECT_NE(detail.find(f.detail_part), std::string::npos) << detail;
  }
  EXPECT_EQ(Hello(port), 1);
  EXPECT_EQ(dll.last_failure(), QX318_FAIL_NONE);
  EXPECT_EQ(dll.close(port), 1);
}

// ------------------------------------------------------------- the threads

// A thread started before the DLL was loaded (main starts it), that runs one
// job at a time for a test.
class EarlyThread {
 public:
  EarlyThread()
      : go_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
        done_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
        thread_(CreateThread(nullptr, 0, Main, this, 0, nullptr)) {}
  ~EarlyThread() {
    Run(nullptr);  // no job: the thread ends
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(go_);
    CloseHandle(done_);
  }
  EarlyThread(const EarlyThread &) = delete;
  EarlyThread &operator=(const EarlyThread &) = delete;

  // Hands job to the thread and returns at once; Wait() waits for its end.
  void Start(std::function<void()> job) {
    job_ = std::move(job);
    SetEvent(go_);
  }
  void Wait() { WaitForSingleObject(done_, INFINITE); }

 private:
  void Run(std::function<void()> job) {
    Start(std::move(job));
    Wait();
  }
  static DWORD WINAPI Main(void *self) {
    auto *me = static_cast<EarlyThread *>(self);
    for (;;) {
      WaitForSingleObject(me->go_, INFINITE);
      if (!me->job_) {
        SetEvent(me->done_);
        return 0;
      }
      me->job_();
      SetEvent(me->done_);
    }
  }

  HANDLE go_;
  HANDLE done_;
  HANDLE thread_;
  std::function<void()> job_;
};

EarlyThread *early_thread = nullptr;

// Both threads fail before either reads its reason; each reads only its
// own. The early thread times out on the line (the slow failure), the new
// thread finds no converter meanwhile; the main thread's own reason, from a
// success, stays untouched by both.
TEST(WindowsFailureThreads, EachThreadReadsItsOwnReason) {
  ASSERT_NE(early_thread, nullptr);
  standin.reset();
  PortHandle port = nullptr;
  ASSERT_EQ(OpenAt(port, kBaudRate), 1);
  ASSERT_EQ(Hello(port), 1);

  HANDLE both_failed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE new_thread_failed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  int32_t early_reason = -1;
  std::string early_detail;
  early_thread->Start([&] {
    HelloAnswer answer{};
    (void)dll.hello(port, kSilentAddress, &answer);
    WaitForSingleObject(new_thread_failed, INFINITE);
    SetEvent(both_failed);
    early_reason = dll.last_failure();
    early_detail = dll.last_detail();
  });

  struct NewThread {
    HANDLE new_thread_failed;
    HANDLE both_failed;
    int32_t reason = -1;
    std::string detail;
    static DWORD WINAPI Main(void *self) {
      auto *me = static_cast<NewThread *>(self);
      PortHandle missing = nullptr;
      (void)dll.open(kMissingPort, kBaudRate, &missing);
      SetEvent(me->new_thread_failed);
      WaitForSingleObject(me->both_failed, INFINITE);
      me->reason = dll.last_failure();
      me->detail = dll.last_detail();
      return 0;
    }
  } new_thread{new_thread_failed, both_failed, -1, ""};
  HANDLE thread = CreateThread(nullptr, 0, NewThread::Main, &new_thread, 0, nullptr);
  ASSERT_NE(thread, nullptr);

  early_thread->Wait();
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(both_failed);
  CloseHandle(new_thread_failed);

  EXPECT_EQ(early_reason, QX318_FAIL_NO_ANSWER) << early_detail;
  EXPECT_NE(early_detail.find("no answer within"), std::string::npos) << early_detail;
  EXPECT_EQ(new_thread.reason, QX318_FAIL_NOT_FOUND) << new_thread.detail;
  EXPECT_NE(new_thread.detail.find("COM199"), std::string::npos) << new_thread.detail;
  EXPECT_EQ(dll.last_failure(), QX318_FAIL_NONE);
  EXPECT_STREQ(dll.last_detail(), "");
  EXPECT_EQ(dll.close(port), 1);
}

}  // namespace

int main(int argc, char **argv) {
  if (!qx318::test::TakeDllArguments(argc, argv, dll_path, port_name)) return 2;
  // Started while the DLL is not yet in the process: its failure record must
  // come into being on its first call.
  EarlyThread thread_before_the_dll;
  early_thread = &thread_before_the_dll;
  if (GetModuleHandleA("QX318_RS485.dll") != nullptr) {
    std::fprintf(stderr, "the DLL was loaded before the early thread started\n");
    return 1;
  }
  HMODULE library = LoadLibraryA(dll_path.c_str());
  if (library == nullptr || !dll.Load(library)) {
    std::fprintf(stderr, "%s: cannot load it or find its exports (error %lu)\n", dll_path.c_str(),
                 GetLastError());
    return 1;
  }
  HMODULE converter = GetModuleHandleA("FTD2XX.dll");
  if (converter == nullptr || !standin.Load(converter)) {
    std::fprintf(stderr, "the DLL did not bring in the stand-in FTD2XX.dll with its controls\n");
    return 1;
  }
  const int status = RUN_ALL_TESTS();
  early_thread = nullptr;
  return status;
}
