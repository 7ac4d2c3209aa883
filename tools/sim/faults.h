// Fault injection and wire realism: what the bus does to an answer between
// the device and the line. Every random choice comes from one seeded
// generator, so a run with the same seed and the same requests repeats.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/wire_format.h"

namespace qx318::sim {

enum class FaultKind {
  kCorruptCrc,   // one CRC group altered
  kDropByte,     // one byte of the answer left out
  kTruncate,     // the answer stops early
  kStall,        // a pause longer than the inter-byte gap inside the CRC
  kNoAnswer,     // the device stays silent
  kWrongLength,  // a well-formed answer one data byte too long (image: W1 one row too many)
};

inline constexpr FaultKind kAllFaultKinds[] = {
    FaultKind::kCorruptCrc, FaultKind::kDropByte, FaultKind::kTruncate,
    FaultKind::kStall,      FaultKind::kNoAnswer, FaultKind::kWrongLength,
};

std::string FaultName(FaultKind kind);
std::optional<FaultKind> FaultByName(const std::string &name);

// A rule: the fault hits each answer with probability rate, or hits the
// next `next` answers.
struct FaultRule {
  FaultKind kind = FaultKind::kNoAnswer;
  double rate = 0.0;
  uint32_t next = 0;
};

// "corrupt-crc:next=2", "stall:rate=0.1". On error, the message says why.
std::optional<FaultRule> ParseFaultRule(const std::string &text, std::string *error);

struct WireOptions {
  uint32_t baud = 0;  // 0: no pacing; else 10 bit times per byte
  std::chrono::milliseconds reply_delay{0};
  uint32_t noise_bytes = 0;  // bytes with bit 7 set before each answer
  std::chrono::milliseconds stall{300};
};

// The answer as it goes out: pieces of bytes, each after a pause.
struct Segment {
  std::chrono::milliseconds pause_before{0};
  std::vector<uint8_t> bytes;
};
struct Transmission {
  std::vector<Segment> segments;
  std::optional<FaultKind> fault;
  std::vector<uint8_t> AllBytes() const;
};

class FaultInjector {
 public:
  FaultInjector(std::vector<FaultRule> rules, uint64_t seed);

  // Adds a rule at run time (tests, the embedded bus); thread-safe.
  void Add(const FaultRule &rule);

  // Decides the fate of one answer and lays out its bytes.
  Transmission Plan(Answer answer, uint8_t start_byte, const WireOptions &wire);

 private:
  std::optional<FaultKind> Choose();
  void Damage(FaultKind kind, std::vector<uint8_t> &bytes, Transmission &out,
              const WireOptions &wire);
  size_t Pick(size_t low, size_t high);  // uniform in [low, high]

  std::mutex mutex_;
  std::vector<FaultRule> rules_;
  std::mt19937_64 random_;
};

}  // namespace qx318::sim
