// Ctrl-C during an image. Leaving at once would leave the device sending
// the rest of the image for as long as it takes, and every call in that time
// would fail on a busy line. So the first Ctrl-C (or SIGTERM) only marks the
// transfer as unwanted: the tool reads it to its end, keeps nothing, and
// says how long that takes; a second one leaves at once and says how long
// the device may keep the bus busy.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "common/stop_signal.h"
#include "host/run.h"

namespace qx318::host {

class TransferGuard {
 public:
  // Watches for the signals from here on; the messages name the call's
  // command, port and address.
  explicit TransferGuard(const Call &call);
  ~TransferGuard();
  TransferGuard(const TransferGuard &) = delete;
  TransferGuard &operator=(const TransferGuard &) = delete;

  // The image's size, once its header has told it.
  void OnSize(uint32_t row_count, uint32_t row_length);
  // Rows received so far.
  void OnRows(uint32_t rows_done);
  // Whether a first stop came: the transfer goes on but is not kept.
  bool interrupted() const { return interrupted_.load(); }

 private:
  void Watch();
  // What the rest of the transfer will take at the rate seen so far;
  // nullopt before the image's size is known.
  std::optional<double> SecondsLeft() const;
  void Say(const std::string &what) const;

  const Call &call_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::atomic<uint32_t> row_count_{0};
  std::atomic<uint32_t> row_length_{0};
  std::atomic<uint32_t> rows_done_{0};
  std::atomic<bool> interrupted_{false};
  tools::StopOnSignals signals_;
  tools::StopPipe finished_;
  std::thread watcher_;
};

}  // namespace qx318::host
