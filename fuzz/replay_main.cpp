// Runs a fuzz target without libFuzzer, deterministically: every file of the
// seed folder given as the first argument, then pseudo-random inputs from a
// fixed seed. A broken invariant aborts inside the target; this driver also
// fails when the inputs never reach both verdicts, since a generator that
// stopped producing valid answers would leave the success path unchecked.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_target.h"

namespace {

constexpr int kGeneratedInputs = 600;
constexpr uint32_t kSeed = 0x5EED318u;

std::vector<std::filesystem::path> SeedFiles(const char *folder) {
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

qx318::fuzz::Bytes ReadFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char **argv) {
  int accepted = 0;
  int refused = 0;
  const auto run = [&](const qx318::fuzz::Bytes &input) {
    (qx318::fuzz::RunInput(input.data(), input.size()) ? accepted : refused) += 1;
  };

  size_t seeds = 0;
  if (argc > 1) {
    for (const auto &file : SeedFiles(argv[1])) {
      run(ReadFile(file));
      ++seeds;
    }
  }
  qx318::fuzz::InputGenerator gen(kSeed);
  for (int i = 0; i < kGeneratedInputs; ++i) run(qx318::fuzz::GenerateInput(gen));

  std::printf("%zu seed and %d generated inputs: %d accepted, %d refused\n", seeds,
              kGeneratedInputs, accepted, refused);
  if (argc > 1 && seeds == 0) {
    std::fprintf(stderr, "no seed inputs in %s\n", argv[1]);
    return 1;
  }
  if (accepted == 0 || refused == 0) {
    std::fprintf(stderr, "the inputs reached only one verdict\n");
    return 1;
  }
  return 0;
}
