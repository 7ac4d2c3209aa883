// A simulated multi-drop bus: one or more devices behind one descriptor.
// Every device hears every request and answers only those sent to its own
// address; what leaves the bus passes through fault injection and the wire
// options (pacing, reply delay, noise) first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/stop_signal.h"
#include "sim/device_model.h"
#include "sim/faults.h"
#include "sim/state_file.h"

namespace qx318::sim {

struct BusOptions {
  std::vector<DeviceConfig> devices{DeviceConfig{}};
  WireOptions wire;
  std::vector<FaultRule> faults;
  uint64_t seed = 1;
  std::string state_file;  // empty: flash lives only as long as the process
  // The devices' receivers and transmitters run at wire.baud, whatever rate
  // the host set: the host's rate is read from the bus descriptor's terminal
  // at every arrival, and a different one garbles both directions
  // (HeardAtRate). Only a pseudo-terminal tells the host's rate, so this is
  // for a bus on one; a terminal that tells no rate counts as matching.
  bool hear_at_own_rate = false;
  // Receives one line per request, answer and event; null: no trace.
  std::function<void(const std::string &)> trace;
};

class Bus {
 public:
  explicit Bus(BusOptions options);

  // Loads the state file into the devices' flash, as at power-on.
  bool Start(std::string *error);

  // Serves requests arriving on fd until stop_fd becomes readable (true) or
  // fd fails (false, with a message).
  bool Serve(int fd, int stop_fd, std::string *error);

  FaultInjector &faults() { return faults_; }
  // The device at address, or null; only for inspection while not serving.
  DeviceModel *device(uint8_t address);

 private:
  void HandleRequest(int fd, int stop_fd, const Request &request);
  std::vector<uint8_t> HearAtOwnRate(int fd, std::vector<uint8_t> arrived);
  bool SendSegment(int fd, int stop_fd, const std::vector<uint8_t> &bytes);
  void PersistFlash();
  void Trace(const std::string &line) const;

  BusOptions options_;
  FaultInjector faults_;
  std::map<uint8_t, std::unique_ptr<DeviceModel>> devices_;
  FlashByAddress stored_;   // what the state file holds, incl. devices not served now
  uint32_t host_rate_ = 0;  // the host's rate when it differs from the devices', else 0
};

// Reads the bytes arriving on fd, assembles them into request frames and
// hands each finished or rejected frame to on_frame, until stop_fd becomes
// readable (true) or fd fails (false, with a message). A hang-up with no
// host on the other side is waited out. When set, heard turns each batch of
// arrived bytes into what the receiver makes of them.
using FrameHandler = std::function<void(const RequestParser::Result &)>;
using ArrivalFilter = std::function<std::vector<uint8_t>(std::vector<uint8_t>)>;
bool ServeFrames(int fd, int stop_fd, const FrameHandler &on_frame, std::string *error,
                 const ArrivalFilter &heard = nullptr);

// Writes bytes to fd at baud (10 bit times a byte; 0 is as fast as the
// descriptor takes them). False when stop_fd became readable or the write
// could not finish.
bool WritePaced(int fd, int stop_fd, const std::vector<uint8_t> &bytes, uint32_t baud);

// Waits for the duration; false when stop_fd became readable first.
using tools::PauseUnlessStopped;

}  // namespace qx318::sim
