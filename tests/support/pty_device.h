// A device on the far side of a pseudo-terminal, for end-to-end tests of the
// POSIX converter and of anything above it.
//
// PtyDevice owns a pseudo-terminal master. The library under test opens
// slave_path() as its port (QX318_OpenPort(device.slave_path().c_str(), ...));
// the device reads what the library writes and answers on the master.
//
// Two ways to drive it:
//  - Serve()/ServeScripted() start a device thread that reads complete
//    request frames (start byte, 2 length groups, command, N data bytes, 3 CRC
//    groups) and writes back what the handler returns. A plain Handler returns
//    the answer bytes (empty: no answer); a ScriptedHandler returns chunks,
//    each written after its own pause, to play slow, stalling or late devices.
//    StreamForever() starts a thread that writes a pattern until stopped (a
//    babbling device).
//  - Without a device thread, the test thread calls WriteAll(), WriteChunks(),
//    ReadRequest() and ReadAvailable() itself.
// Stop() (also run by the destructor) ends the device thread promptly, even in
// the middle of a pause or a blocked write.
//
// The slave starts out in a deliberately cooked, hostile mode (canonical
// input, echo, signals, XON/XOFF, CR/NL translation, bit 7 stripping, output
// post-processing), so that a library which forgot any part of raw mode loses
// or changes bytes visibly. Note that on Linux termios calls on the master act
// on the slave: master_fd() can read back the slave's line settings.
//
// Frames to answer with and the decoding of requests come from the wire
// model (wire_oracle.h). Handlers run on the device thread: guard anything
// they share with the test.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "wire_oracle.h"

namespace qx318::test {

// Part of a scripted reply: wait pause_before, then write bytes.
struct Chunk {
  Bytes bytes;
  std::chrono::milliseconds pause_before{0};
};

// bytes as chunks of piece bytes (the last may be shorter): the first after
// first_pause, each other one pause after the one before.
std::vector<Chunk> InPieces(const Bytes &bytes, size_t piece, std::chrono::milliseconds pause,
                            std::chrono::milliseconds first_pause = std::chrono::milliseconds(0));

class PtyDevice {
 public:
  using Handler = std::function<Bytes(const Bytes &request)>;
  using ScriptedHandler = std::function<std::vector<Chunk>(const Bytes &request)>;

  // Opens a fresh pseudo-terminal; throws std::system_error when it cannot.
  PtyDevice();
  ~PtyDevice();
  PtyDevice(const PtyDevice &) = delete;
  PtyDevice &operator=(const PtyDevice &) = delete;

  const std::string &slave_path() const { return slave_path_; }
  int master_fd() const { return master_; }

  // Starts the device thread (one at a time; a running one is stopped first).
  void Serve(Handler handler);
  void ServeScripted(ScriptedHandler handler);
  // Writes pattern over and over until Stop().
  void StreamForever(Bytes pattern);
  // Ends the device thread, if any; safe to call repeatedly.
  void Stop();

  // Every request frame the device thread has read, in order.
  std::vector<Bytes> requests() const;
  // Waits until the device thread has read at least count requests.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  // Waits until the device thread has finished writing the reply to at
  // least count requests (all chunks, pauses included).
  bool WaitForReplies(size_t count, std::chrono::milliseconds timeout) const;
  // Bytes the device thread skipped while hunting for a start byte.
  size_t skipped_bytes() const { return skipped_; }

  // Test-thread I/O, for use while no device thread runs. Each gives up
  // after timeout; WriteAll and WriteChunks report whether everything went.
  bool WriteAll(const Bytes &bytes,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  bool WriteChunks(const std::vector<Chunk> &chunks);
  std::optional<Bytes> ReadRequest(std::chrono::milliseconds timeout);
  // Everything that arrives until nothing has come for quiet.
  Bytes ReadAvailable(std::chrono::milliseconds quiet);

 private:
  void Start(std::function<void()> body);
  void RunScripted(const ScriptedHandler &handler);
  void RunStream(const Bytes &pattern);
  // The I/O primitives behind both sides; they give up when Stop() is called
  // or the deadline passes.
  enum class Io { kDone, kTimedOut, kStopped };
  Io WaitReadable(std::chrono::steady_clock::time_point deadline);
  Io ReadExactly(uint8_t *bytes, size_t count, std::chrono::steady_clock::time_point deadline);
  Io ReadFrame(Bytes &frame, std::chrono::steady_clock::time_point deadline);
  Io Write(const Bytes &bytes, std::chrono::steady_clock::time_point deadline);
  bool Pause(std::chrono::milliseconds pause);

  int master_ = -1;
  int wake_read_ = -1;  // self-pipe that interrupts poll on Stop()
  int wake_write_ = -1;
  std::string slave_path_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> skipped_{0};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Bytes> requests_;
  size_t replies_ = 0;
};

// Opens a pseudo-terminal's slave side non-blocking in raw mode with VMIN and
// VTIME 0, the way the POSIX converter leaves a port: for tests that drive
// the converter's reads on a bare descriptor. -1 when it cannot be opened.
int OpenRawSlave(const std::string &path);

}  // namespace qx318::test
