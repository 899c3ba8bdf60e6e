// Reading a directory file from disk, and the stored form of format lists that every
// store shares.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "directory_model.h"

namespace qlx {
namespace {

// Closes a file descriptor when it goes out of scope.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() { close(fd_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  const int fd_;
};

// What keeps the file at `fd` from being read as a directory file; empty when nothing.
std::string unreadable(int fd, const std::string& path) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return "cannot examine " + path + ": " + std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return path + " is a folder, not a directory file";
  if (!S_ISREG(info.st_mode))
    return path + " is not a regular file (a FIFO, device or socket); give a TOML file";
  if (static_cast<uint64_t>(info.st_size) > kMaxDirectoryFileBytes)
    return path + " holds " + std::to_string(info.st_size) +
           " bytes; a directory file holds at most " + std::to_string(kMaxDirectoryFileBytes) +
           " bytes (16 MiB)";
  return std::string();
}

// Reads a regular file of at most kMaxDirectoryFileBytes. Opened without blocking, so a
// FIFO with no writer is refused rather than waited for.
bool readFile(const std::string& path, std::string& text, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  FileCloser closer(fd);
  error = unreadable(fd, path);
  if (!error.empty()) return false;
  text.clear();
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      return false;
    }
    if (got == 0) return true;
    // A file that grows while read is held to the same limit.
    if (static_cast<size_t>(got) > kMaxDirectoryFileBytes - text.size()) {
      error = path + " grew past " + std::to_string(kMaxDirectoryFileBytes) +
              " bytes while read; a directory file holds at most 16 MiB";
      return false;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
}

bool isEmpty(const DirectoryModel& model) {
  return model.elements.empty() && model.clients.empty() && model.services.empty() &&
         model.dictionaries.empty();
}

}  // namespace

std::vector<std::string> splitFormats(std::string_view stored) {
  std::vector<std::string> formats;
  while (!stored.empty()) {
    const size_t end = stored.find('\n');
    if (end != 0) formats.emplace_back(stored.substr(0, end));
    if (end == std::string_view::npos) break;
    stored.remove_prefix(end + 1);
  }
  return formats;
}

std::string joinFormats(const std::vector<std::string>& formats) {
  std::string joined;
  for (const std::string& format : formats) joined += (joined.empty() ? "" : "\n") + format;
  return joined;
}

bool readDirectoryFile(const std::string& path, EmptyDirectory empty, DirectoryModel& model,
                       std::string& error) {
  std::string text;
  if (!readFile(path, text, error) || !parseDirectoryToml(text, path, model, error)) return false;
  if (empty == EmptyDirectory::kRefuse && isEmpty(model)) {
    error = path + " defines no entries: loading it would empty the directory "
                   "(load --allow-empty FILE does that)";
    return false;
  }
  return true;
}

}  // namespace qlx
