// What each fuzz target provides besides LLVMFuzzerTestOneInput, so that the
// replay driver can run it without libFuzzer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reference_answers.h"

namespace qx318::fuzz {

// Runs one input through the library and checks it against the reference;
// aborts on a mismatch. True when the library accepted the answer.
bool RunInput(const uint8_t *input, size_t size);

// A pseudo-random input in the target's format, mostly well formed.
Bytes GenerateInput(InputGenerator &gen);

}  // namespace qx318::fuzz
