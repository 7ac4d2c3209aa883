#include "fake_converter.h"

#include <algorithm>
#include <cstring>

namespace qx318::fake {
namespace {

FakeConverter *g_active = nullptr;  // test-only: the fake of the running test

// A recognisable handle that is neither null nor all bits set.
PortHandle const kFakeHandle = reinterpret_cast<PortHandle>(static_cast<uintptr_t>(0x5A5A0001));

FakeConverter &Active() { return *g_active; }

PortHandle TableCreateFile(const char *description, uint32_t access, uint32_t share, void *security,
                           uint32_t creation, uint32_t flags, void *template_file) {
  Call call{Op::kCreateFile};
  call.description = description ? description : "<null>";
  call.access = access;
  call.share = share;
  call.creation = creation;
  call.flags = flags;
  call.security_null = security == nullptr;
  call.template_null = template_file == nullptr;
  return Active().CreateFile(call);
}
Bool32 TableClose(PortHandle p) { return Active().CloseHandle(p); }
Bool32 TableRead(PortHandle p, void *b, uint32_t n, uint32_t *t, void *o) {
  return Active().ReadFile(p, b, n, t, o);
}
Bool32 TableWrite(PortHandle p, const void *b, uint32_t n, uint32_t *t, void *o) {
  return Active().WriteFile(p, b, n, t, o);
}
Bool32 TableGetState(PortHandle p, Dcb *d) { return Active().GetCommState(p, d); }
Bool32 TableSetState(PortHandle p, Dcb *d) { return Active().SetCommState(p, d); }
Bool32 TableTimeouts(PortHandle p, CommTimeouts *t) { return Active().SetCommTimeouts(p, t); }
Bool32 TableSetup(PortHandle p, uint32_t i, uint32_t o) { return Active().SetupComm(p, i, o); }
Bool32 TablePurge(PortHandle p, uint32_t f) { return Active().PurgeComm(p, f); }
Bool32 TableMask(PortHandle p, uint32_t m) { return Active().SetCommMask(p, m); }

constexpr ConverterBackend kFakeConverter{
    TableCreateFile, TableClose,    TableRead,  TableWrite, TableGetState,
    TableSetState,   TableTimeouts, TableSetup, TablePurge, TableMask,
};

}  // namespace

const char *OpName(Op op) {
  switch (op) {
    case Op::kCreateFile:
      return "CreateFile";
    case Op::kCloseHandle:
      return "CloseHandle";
    case Op::kReadFile:
      return "ReadFile";
    case Op::kWriteFile:
      return "WriteFile";
    case Op::kGetCommState:
      return "GetCommState";
    case Op::kSetCommState:
      return "SetCommState";
    case Op::kSetCommTimeouts:
      return "SetCommTimeouts";
    case Op::kSetupComm:
      return "SetupComm";
    case Op::kPurgeComm:
      return "PurgeComm";
    case Op::kSetCommMask:
      return "SetCommMask";
  }
  return "?";
}

FakeConverter::FakeConverter() {
  g_active = this;
  // A converter as found: 9600 baud, 7E2 with every kind of flow control on
  // and bits above 14 set, so that tests see what open changes and keeps.
  reported_dcb_.DCBlength = 0;
  reported_dcb_.BaudRate = 9600;
  reported_dcb_.flags = 0xFFFFFFFFu & ~kDcbBinary;
  reported_dcb_.ByteSize = 7;
  reported_dcb_.Parity = kEvenParity;
  reported_dcb_.StopBits = kTwoStopBits;
  reported_dcb_.XonLim = 2048;
  reported_dcb_.XoffLim = 512;
  reported_dcb_.XonChar = 0x11;
  reported_dcb_.XoffChar = 0x13;
  reported_dcb_.EvtChar = 0x7E;
}

FakeConverter::~FakeConverter() {
  if (g_active == this) g_active = nullptr;
}

PortHandle FakeConverter::handle() const { return kFakeHandle; }

void FakeConverter::QueueAnswer(std::vector<uint8_t> bytes) {
  answers_.push_back(std::move(bytes));
}

void FakeConverter::AddReceivedBytes(const std::vector<uint8_t> &bytes) {
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
}

void FakeConverter::FailCall(Op op, int nth) { failures_[op].push_back(nth); }

void FakeConverter::ShortCount(Op op, uint32_t count, int nth) { short_counts_[op][nth] = count; }

std::vector<Op> FakeConverter::ops() const {
  std::vector<Op> result;
  for (const Call &call : calls_) result.push_back(call.op);
  return result;
}

std::vector<uint8_t> FakeConverter::WrittenBytes() const {
  std::vector<uint8_t> all;
  for (const auto &write : Writes()) all.insert(all.end(), write.begin(), write.end());
  return all;
}

std::vector<std::vector<uint8_t>> FakeConverter::Writes() const {
  std::vector<std::vector<uint8_t>> writes;
  for (const Call &call : calls_) {
    if (call.op == Op::kWriteFile) writes.push_back(call.bytes);
  }
  return writes;
}

int FakeConverter::CountOf(Op op) const {
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                        [op](const Call &call) { return call.op == op; }));
}

bool FakeConverter::Record(Call call) {
  const Op op = call.op;
  calls_.push_back(std::move(call));
  const auto it = failures_.find(op);
  if (it == failures_.end()) return false;
  const int nth = CountOf(op);
  return std::find(it->second.begin(), it->second.end(), nth) != it->second.end();
}

std::optional<uint32_t> FakeConverter::ShortCountFor(Op op, int not_yet_logged) const {
  const auto it = short_counts_.find(op);
  if (it == short_counts_.end()) return std::nullopt;
  const auto hit = it->second.find(CountOf(op) + not_yet_logged);
  if (hit == it->second.end()) return std::nullopt;
  return hit->second;
}

PortHandle FakeConverter::CreateFile(Call call) {
  return Record(std::move(call)) ? QX318_INVALID_PORT : kFakeHandle;
}

Bool32 FakeConverter::CloseHandle(PortHandle port) {
  Call call{Op::kCloseHandle};
  call.port = port;
  return Record(call) ? 0 : port == kFakeHandle;
}

Bool32 FakeConverter::ReadFile(PortHandle port, void *buffer, uint32_t count, uint32_t *transferred,
                               void *overlapped) {
  Call call{Op::kReadFile};
  call.port = port;
  call.count = count;
  call.overlapped_null = overlapped == nullptr;
  const bool fail = Record(call);
  if (transferred != nullptr) *transferred = 0;
  if (fail || port != kFakeHandle || transferred == nullptr) return 0;
  uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(rx_.size()));
  if (auto limit = ShortCountFor(Op::kReadFile, 0)) n = std::min(n, *limit);
  auto *out = static_cast<uint8_t *>(buffer);
  for (uint32_t i = 0; i < n; ++i) {
    out[i] = rx_.front();
    rx_.pop_front();
  }
  *transferred = n;
  return 1;  // a time-out is a short count, not a failure
}

Bool32 FakeConverter::WriteFile(PortHandle port, const void *buffer, uint32_t count,
                                uint32_t *transferred, void *overlapped) {
  Call call{Op::kWriteFile};
  call.port = port;
  call.count = count;
  call.overlapped_null = overlapped == nullptr;
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  if (bytes != nullptr) call.bytes.assign(bytes, bytes + count);
  uint32_t n = count;
  // This write is not logged yet: its number is one past the writes so far.
  if (auto limit = ShortCountFor(Op::kWriteFile, 1)) {
    n = std::min(n, *limit);
  }
  call.bytes.resize(std::min<size_t>(call.bytes.size(), n));
  const bool fail = Record(call);
  if (transferred != nullptr) *transferred = 0;
  if (fail || port != kFakeHandle || transferred == nullptr) return 0;
  *transferred = n;
  if (!answers_.empty()) {
    AddReceivedBytes(answers_.front());
    answers_.pop_front();
  }
  return 1;
}

Bool32 FakeConverter::GetCommState(PortHandle port, Dcb *dcb) {
  Call call{Op::kGetCommState};
  call.port = port;
  if (Record(call) || port != kFakeHandle || dcb == nullptr) return 0;
  *dcb = reported_dcb_;
  return 1;
}

Bool32 FakeConverter::SetCommState(PortHandle port, Dcb *dcb) {
  Call call{Op::kSetCommState};
  call.port = port;
  if (dcb != nullptr) call.dcb = *dcb;
  return Record(call) ? 0 : port == kFakeHandle && dcb != nullptr;
}

Bool32 FakeConverter::SetCommTimeouts(PortHandle port, CommTimeouts *timeouts) {
  Call call{Op::kSetCommTimeouts};
  call.port = port;
  if (timeouts != nullptr) call.timeouts = *timeouts;
  return Record(call) ? 0 : port == kFakeHandle && timeouts != nullptr;
}

Bool32 FakeConverter::SetupComm(PortHandle port, uint32_t in_queue, uint32_t out_queue) {
  Call call{Op::kSetupComm};
  call.port = port;
  call.count = in_queue;
  call.out_queue = out_queue;
  return Record(call) ? 0 : port == kFakeHandle;
}

Bool32 FakeConverter::PurgeComm(PortHandle port, uint32_t flags) {
  Call call{Op::kPurgeComm};
  call.port = port;
  call.count = flags;
  if (Record(call) || port != kFakeHandle) return 0;
  if (purge_clears_received_ && (flags & (kPurgeRxAbort | kPurgeRxClear))) rx_.clear();
  return 1;
}

Bool32 FakeConverter::SetCommMask(PortHandle port, uint32_t mask) {
  Call call{Op::kSetCommMask};
  call.port = port;
  call.count = mask;
  return Record(call) ? 0 : port == kFakeHandle;
}

}  // namespace qx318::fake

namespace qx318 {
const ConverterBackend &Converter() { return fake::kFakeConverter; }
}  // namespace qx318
