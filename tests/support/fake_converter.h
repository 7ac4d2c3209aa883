// The test double behind the converter seam: a scripted device, a log of
// every converter call with its arguments, and failures on demand.
//
// A FakeConverter makes itself the converter of the test binary for its
// lifetime (one at a time). The device side is scripted with answers: each
// write releases the next queued answer into the receive queue, the way a
// device answers a request. Reads take from the receive queue and report a
// short count, as a time-out would, when it runs dry.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "port/converter.h"
#include "wire_oracle.h"

namespace qx318::fake {

enum class Op {
  kCreateFile,
  kCloseHandle,
  kReadFile,
  kWriteFile,
  kGetCommState,
  kSetCommState,
  kSetCommTimeouts,
  kSetupComm,
  kPurgeComm,
  kSetCommMask,
};

const char *OpName(Op op);

struct Call {
  explicit Call(Op o) : op(o) {}
  Op op;
  PortHandle port = nullptr;
  // create_file
  std::string description;
  uint32_t access = 0, share = 0, creation = 0, flags = 0;
  bool security_null = true, template_null = true;
  // read_file/write_file: the count asked for; setup_comm: the in queue;
  // purge_comm and set_comm_mask: the mask.
  uint32_t count = 0;
  uint32_t out_queue = 0;       // setup_comm
  bool overlapped_null = true;  // read_file/write_file
  std::vector<uint8_t> bytes;   // write_file: what was written
  Dcb dcb{};                    // set_comm_state: the record passed
  CommTimeouts timeouts{};      // set_comm_timeouts
};

class FakeConverter {
 public:
  FakeConverter();
  ~FakeConverter();
  FakeConverter(const FakeConverter &) = delete;
  FakeConverter &operator=(const FakeConverter &) = delete;

  // The handle create_file returns, valid for every other call.
  PortHandle handle() const;

  // Device side.
  void QueueAnswer(std::vector<uint8_t> bytes);              // released by the next write
  void AddReceivedBytes(const std::vector<uint8_t> &bytes);  // readable now
  size_t ReceivedBytesLeft() const { return rx_.size(); }

  // Failure injection, counted per operation from 1: the nth call of op
  // returns 0 (and moves no bytes for reads and writes).
  void FailCall(Op op, int nth = 1);
  // The nth read or write moves and reports at most count bytes.
  void ShortCount(Op op, uint32_t count, int nth = 1);
  // create_file returns the invalid handle.
  void FailOpen() { FailCall(Op::kCreateFile); }
  // Whether a purge with an RX flag discards received bytes (default: yes).
  void set_purge_clears_received(bool clears) { purge_clears_received_ = clears; }
  // What get_comm_state reports.
  Dcb &reported_dcb() { return reported_dcb_; }

  // The log.
  const std::vector<Call> &calls() const { return calls_; }
  std::vector<Op> ops() const;
  std::vector<uint8_t> WrittenBytes() const;  // every write, concatenated
  std::vector<std::vector<uint8_t>> Writes() const;
  void ClearLog() { calls_.clear(); }

  // The converter entry points, called through the back-end table.
  PortHandle CreateFile(Call call);
  Bool32 CloseHandle(PortHandle port);
  Bool32 ReadFile(PortHandle port, void *buffer, uint32_t count, uint32_t *transferred,
                  void *overlapped);
  Bool32 WriteFile(PortHandle port, const void *buffer, uint32_t count, uint32_t *transferred,
                   void *overlapped);
  Bool32 GetCommState(PortHandle port, Dcb *dcb);
  Bool32 SetCommState(PortHandle port, Dcb *dcb);
  Bool32 SetCommTimeouts(PortHandle port, CommTimeouts *timeouts);
  Bool32 SetupComm(PortHandle port, uint32_t in_queue, uint32_t out_queue);
  Bool32 PurgeComm(PortHandle port, uint32_t flags);
  Bool32 SetCommMask(PortHandle port, uint32_t mask);

 private:
  // Logs the call and tells whether it was told to fail.
  bool Record(Call call);
  // The short count set for this call of op, if any; not_yet_logged is 1
  // when the call is numbered before it is logged. Counts only when a short
  // count is set: the log can hold many thousands of reads.
  std::optional<uint32_t> ShortCountFor(Op op, int not_yet_logged) const;
  int CountOf(Op op) const;

  std::vector<Call> calls_;
  std::deque<uint8_t> rx_;
  std::deque<std::vector<uint8_t>> answers_;
  std::map<Op, std::vector<int>> failures_;
  std::map<Op, std::map<int, uint32_t>> short_counts_;
  bool purge_clears_received_ = true;
  Dcb reported_dcb_{};
};

// Scripted answers come from the wire model, never from the library's own
// CRC and group code; this is the name the converter tests know it by.
using test::AnswerFrame;

}  // namespace qx318::fake
