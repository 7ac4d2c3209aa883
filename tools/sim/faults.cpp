#include "sim/faults.h"

#include <charconv>

#include "tool_support.h"

namespace qx318::sim {
namespace {

struct NamedFault {
  FaultKind kind;
  const char *name;
};

constexpr NamedFault kFaultNames[] = {
    {FaultKind::kCorruptCrc, "corrupt-crc"}, {FaultKind::kDropByte, "drop-byte"},
    {FaultKind::kTruncate, "truncate"},      {FaultKind::kStall, "stall"},
    {FaultKind::kNoAnswer, "no-answer"},     {FaultKind::kWrongLength, "wrong-length"},
};

bool ParseCount(const std::string &text, uint32_t *out) {
  const char *end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && ptr == end;
}

bool ParseRate(const std::string &text, double *out) {
  try {
    size_t used = 0;
    *out = std::stod(text, &used);
    return used == text.size() && *out >= 0.0 && *out <= 1.0;
  } catch (...) {
    return false;
  }
}

void WrongLength(Answer &answer) {
  if (answer.is_image) {
    // W1 lies outside the CRC: one row more than follows.
    answer.declared_rows = static_cast<uint16_t>((answer.row_count + 1) & kMax14BitValue);
  } else {
    answer.data.push_back(0);
  }
}

}  // namespace

std::string FaultName(FaultKind kind) {
  for (const auto &entry : kFaultNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "unknown";
}

std::optional<FaultKind> FaultByName(const std::string &name) {
  for (const auto &entry : kFaultNames) {
    if (name == entry.name) return entry.kind;
  }
  return std::nullopt;
}

std::optional<FaultRule> ParseFaultRule(const std::string &text, std::string *error) {
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const std::optional<FaultKind> kind = FaultByName(name);
  if (!kind) {
    *error = "unknown fault '" + name +
             "' (corrupt-crc, drop-byte, truncate, stall, no-answer, wrong-length)";
    return std::nullopt;
  }
  FaultRule rule;
  rule.kind = *kind;
  if (colon == std::string::npos) {
    rule.next = 1;
    return rule;
  }
  const std::string how = text.substr(colon + 1);
  if (how.rfind("next=", 0) == 0 && ParseCount(how.substr(5), &rule.next)) return rule;
  if (how.rfind("rate=", 0) == 0 && ParseRate(how.substr(5), &rule.rate)) return rule;
  *error = "bad fault rule '" + how + "' (next=N or rate=P with P from 0 to 1)";
  return std::nullopt;
}

std::vector<uint8_t> Transmission::AllBytes() const {
  std::vector<uint8_t> all;
  for (const Segment &s : segments) all.insert(all.end(), s.bytes.begin(), s.bytes.end());
  return all;
}

FaultInjector::FaultInjector(std::vector<FaultRule> rules, uint64_t seed)
    : rules_(std::move(rules)), random_(seed) {}

void FaultInjector::Add(const FaultRule &rule) {
  const std::lock_guard lock(mutex_);
  rules_.push_back(rule);
}

size_t FaultInjector::Pick(size_t low, size_t high) {
  return std::uniform_int_distribution<size_t>(low, high)(random_);
}

std::optional<FaultKind> FaultInjector::Choose() {
  for (FaultRule &rule : rules_) {
    if (rule.next > 0) {
      --rule.next;
      return rule.kind;
    }
    if (rule.rate > 0.0 && std::bernoulli_distribution(rule.rate)(random_)) return rule.kind;
  }
  return std::nullopt;
}

void FaultInjector::Damage(FaultKind kind, std::vector<uint8_t> &bytes, Transmission &out,
                           const WireOptions &wire) {
  const size_t n = bytes.size();  // at least start byte, 2 groups and the CRC
  const size_t crc_at = n - kCrcGroups;
  switch (kind) {
    case FaultKind::kCorruptCrc:
      // Bit 0 of the first group is bit 0 of the CRC: the low 16 bits differ.
      bytes[crc_at] ^= 0x01;
      break;
    case FaultKind::kDropByte:
      bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(Pick(0, n - 1)));
      break;
    case FaultKind::kTruncate:
      bytes.resize(Pick(1, n - 1));
      break;
    case FaultKind::kStall: {
      // The three CRC groups are read in one call, so a pause after the
      // first of them always exceeds that read's inter-byte gap.
      const auto split = static_cast<std::ptrdiff_t>(crc_at + 1);
      out.segments.push_back(
          Segment{{}, std::vector<uint8_t>(bytes.begin(), bytes.begin() + split)});
      out.segments.push_back(
          Segment{wire.stall, std::vector<uint8_t>(bytes.begin() + split, bytes.end())});
      bytes.clear();
      break;
    }
    case FaultKind::kNoAnswer:
      bytes.clear();
      break;
    case FaultKind::kWrongLength:
      break;  // applied to the answer before it was encoded
  }
}

Transmission FaultInjector::Plan(Answer answer, uint8_t start_byte, const WireOptions &wire) {
  const std::lock_guard lock(mutex_);
  Transmission out;
  out.fault = Choose();
  if (out.fault == FaultKind::kWrongLength) WrongLength(answer);
  std::vector<uint8_t> bytes = EncodeAnswer(answer, start_byte);

  std::vector<uint8_t> noise(wire.noise_bytes);
  for (uint8_t &b : noise) b = static_cast<uint8_t>(Pick(0, kGroupMask) | kMarker);

  if (out.fault) Damage(*out.fault, bytes, out, wire);
  if (out.fault == FaultKind::kNoAnswer) return out;
  if (!noise.empty() || !bytes.empty() || out.segments.empty()) {
    noise.insert(noise.end(), bytes.begin(), bytes.end());
    out.segments.insert(out.segments.begin(), Segment{{}, std::move(noise)});
  }
  out.segments.front().pause_before = wire.reply_delay;
  return out;
}

}  // namespace qx318::sim
