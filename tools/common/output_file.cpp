#include "common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace qx318::tools {
namespace {

std::string FolderOf(const std::string &path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string &path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CannotWrite(const std::string &path, const std::string &why) {
  return "cannot write " + path + ": " + why;
}

}  // namespace

std::string OutputFileProblem(const std::string &path) {
  if (path.empty()) return "no file name given";
  const std::string folder = FolderOf(path);
  struct stat folder_status {};
  if (stat(folder.c_str(), &folder_status) != 0) {
    return CannotWrite(path, "the folder " + folder + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(folder_status.st_mode)) return CannotWrite(path, folder + " is not a folder");
  // The temporary file and the rename both need to write the folder, even
  // when the target itself could be written in place.
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return CannotWrite(path, "the folder " + folder + ": " + std::strerror(errno));
  }
  struct stat target_status {};
  if (stat(path.c_str(), &target_status) == 0 && S_ISDIR(target_status.st_mode)) {
    return CannotWrite(path, "it is a folder");
  }
  return {};
}

ReplacingFile::ReplacingFile(std::string path) : path_(std::move(path)) {
  // Hidden and beside the target, so that the rename stays on one file
  // system and a folder listing does not show it as a result.
  const std::string folder = FolderOf(path_);
  temporary_ = (folder == "." && path_.find('/') == std::string::npos ? "" : folder + "/") + "." +
               NameOf(path_) + ".XXXXXX";
  const int fd = mkstemp(temporary_.data());
  if (fd < 0) {
    Fail(errno);
    temporary_.clear();
    return;
  }
  // mkstemp makes the file 0600; results are meant to be shared like any
  // file the user writes.
  const mode_t mask = umask(0);
  umask(mask);
  (void)fchmod(fd, 0666 & ~mask);
  file_ = fdopen(fd, "w");
  if (file_ == nullptr) {
    Fail(errno);
    (void)close(fd);
    (void)unlink(temporary_.c_str());
    temporary_.clear();
  }
}

ReplacingFile::~ReplacingFile() {
  if (file_ != nullptr) (void)std::fclose(file_);
  if (!temporary_.empty()) (void)unlink(temporary_.c_str());
}

bool ReplacingFile::Commit() {
  if (file_ == nullptr) return false;
  const bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0;
  int error_number = errno;
  const bool synced = written && fsync(fileno(file_)) == 0;
  if (written && !synced) error_number = errno;
  const bool closed = std::fclose(file_) == 0;
  if (written && synced && !closed) error_number = errno;
  file_ = nullptr;
  if (!written || !synced || !closed) {
    Fail(error_number);
    return false;
  }
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    Fail(errno);
    return false;
  }
  temporary_.clear();  // it is the target now
  return true;
}

void ReplacingFile::Fail(int error_number) {
  error_ = CannotWrite(path_, std::strerror(error_number));
}

}  // namespace qx318::tools
