// What each fuzz target provides besides LLVMFuzzerTestOneInput, so that the
// replay driver can run it without libFuzzer, and what the targets share: the
// check of an invariant and the replay driver's source of inputs. What a
// correct reader makes of a byte stream comes from the wire model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "wire_oracle.h"

namespace qx318::fuzz {

using test::Bytes;

// A broken invariant: report it and stop, so that libFuzzer keeps the input.
[[noreturn]] inline void Violation(const char *what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

inline void Require(bool holds, const char *what) {
  if (!holds) Violation(what);
}

// Appends more to out (a loop: GCC 12 warns falsely about vector::insert
// when it inlines it at -O3).
inline void Append(Bytes &out, const Bytes &more) {
  for (uint8_t byte : more) out.push_back(byte);
}

// The replay driver's source of inputs: mostly well-formed answers, some
// damaged in one of a few ways, and some plain noise.
class InputGenerator {
 public:
  explicit InputGenerator(uint32_t seed) : rng_(seed) {}

  uint32_t Next() { return static_cast<uint32_t>(rng_()); }
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : Next() % bound; }
  uint8_t Byte() { return static_cast<uint8_t>(Next()); }

  Bytes Noise(size_t count) {
    Bytes bytes(count);
    for (uint8_t &byte : bytes) byte = Byte();
    return bytes;
  }

  // Leaves wire as it is 3 times in 8; otherwise flips a bit, cuts it short,
  // puts marker noise in front, appends stray bytes, or sets the CRC's spare
  // bits.
  void MaybeDamage(Bytes &wire) {
    if (wire.empty()) return;
    switch (Below(8)) {
      case 0:
        wire[Below(static_cast<uint32_t>(wire.size()))] ^= static_cast<uint8_t>(1u << Below(8));
        break;
      case 1:
        wire.resize(Below(static_cast<uint32_t>(wire.size())));
        break;
      case 2: {
        Bytes noisy;
        for (uint32_t i = Below(6); i > 0; --i)
          noisy.push_back(static_cast<uint8_t>(Byte() | test::kWireMarker));
        Append(noisy, wire);
        wire.swap(noisy);
        break;
      }
      case 3:
        for (uint32_t i = 1 + Below(4); i > 0; --i) wire.push_back(Byte());
        break;
      case 4:
        // Bits of the last byte (a third CRC group) beyond the 16 compared.
        wire.back() = static_cast<uint8_t>(wire.back() | (Byte() & 0x7Cu));
        break;
      default:
        break;
    }
  }

 private:
  std::mt19937 rng_;
};

// Runs one input through the library and checks it against the wire model;
// aborts on a mismatch. True when the library accepted the answer.
bool RunInput(const uint8_t *input, size_t size);

// A pseudo-random input in the target's format, mostly well formed.
Bytes GenerateInput(InputGenerator &gen);

}  // namespace qx318::fuzz
