// Files the tools write for the user (images, measurement records, plots,
// the simulator's state): checked before any traffic, so that a 20 s image
// is not transferred for a path that cannot be written, and written under a
// temporary name beside the target, then renamed, so that the target is
// never half written. Every error names the file the user gave.
#pragma once

#include <cstdio>
#include <string>

namespace qx318::tools {

// Empty when path can be written: its folder exists and may be written in,
// and path is not a folder. Otherwise "cannot write PATH: why".
std::string OutputFileProblem(const std::string &path);

// A file that takes the target's name only when Commit succeeds. Without
// Commit (an error, an exception, a stop) the temporary file goes and the
// target stays as it was.
class ReplacingFile {
 public:
  // Opens the temporary file; check ok() and error().
  explicit ReplacingFile(std::string path);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile &) = delete;
  ReplacingFile &operator=(const ReplacingFile &) = delete;

  bool ok() const { return file_ != nullptr; }
  std::FILE *get() const { return file_; }
  const std::string &error() const { return error_; }
  // The temporary file's name, where a killed writer leaves what it wrote.
  const std::string &temporary() const { return temporary_; }

  // Flushes, syncs and closes the temporary file, then renames it to the
  // target. False, with error(), when any step failed; the target is then
  // as it was.
  bool Commit();

 private:
  void Fail(int error_number);

  std::string path_;
  std::string temporary_;
  std::FILE *file_ = nullptr;
  std::string error_;
};

}  // namespace qx318::tools
