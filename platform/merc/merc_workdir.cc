// The engine's temporary folder, its per-run card folder and the sweep of folders left by
// engines that were killed.
#include "merc_workdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace merc {
namespace {

// A folder without its lock is only taken for a leftover once nobody has touched it for
// this long: it may be one an engine is making at this moment.
constexpr time_t kUnlockedAge = 600;

// Made under this prefix, locked, then renamed to its final name, so that a sweeper never
// sees an engine folder whose lock is not yet held.
constexpr const char* kNewFolderPrefix = "merc-new-";

int _removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void _removeTree(const std::string& path) {
  nftw(path.c_str(), _removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool _startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// True for a folder of this user that nobody changed for kUnlockedAge.
bool _staleFolderOfMine(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         std::time(nullptr) - st.st_mtime > kUnlockedAge;
}

// The card folders of engines that made one per run: "merc-" and six mkdtemp letters.
bool _isOldCardFolderName(const std::string& name) {
  return name.size() == 11 && _startsWith(name, "merc-") && name.find('-', 5) == std::string::npos;
}

bool _sweepEngineFolder(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    return false;
  }
  int fd = open((path + "/lock").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ENOENT || !_staleFolderOfMine(path)) return false;
    _removeTree(path);
    return true;
  }
  // The lock is free only when every process that held it has ended.
  const bool ended = flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (ended) _removeTree(path);
  close(fd);
  return ended;
}

// This process's engine folder.
class EngineFolder {
 public:
  EngineFolder() = default;
  EngineFolder(const EngineFolder&) = delete;
  EngineFolder& operator=(const EngineFolder&) = delete;
  // A process that ends normally removes its folder; a forked copy that never ran a map
  // of its own leaves it to the process that made it.
  ~EngineFolder() {
    if (!path_.empty() && owner_ == getpid()) _removeTree(path_);
    if (lock_ >= 0) close(lock_);
  }

  int ensure(std::string& error) {
    if (!path_.empty() && owner_ == getpid()) return 1;
    // A forked copy of the process makes a folder of its own; its copy of the lock would
    // keep the parent's folder alive after the parent ends. The spare card folders are
    // the parent's too.
    if (lock_ >= 0) close(lock_);
    lock_ = -1;
    path_.clear();
    spare_.clear();
    const std::string root = mercTempRoot();
    mercSweepEngineFolders(root);
    std::string pattern = root + "/" + kNewFolderPrefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      error = "cannot create the engine folder " + pattern + ": " + std::strerror(errno);
      return 0;
    }
    const std::string final = root + "/" + kEngineFolderPrefix +
                              pattern.substr(pattern.size() - 6);
    if (!_lockInside(pattern) || rename(pattern.c_str(), final.c_str()) != 0) {
      error = "cannot prepare the engine folder " + pattern + ": " + std::strerror(errno);
      _removeTree(pattern);
      return 0;
    }
    path_ = final;
    owner_ = getpid();
    return 1;
  }
  const std::string& path() const { return path_; }

  // A card folder a run handed back, or false when none is kept. One that is gone or
  // changed since (a cleaner of the temporary folder) is forgotten.
  bool takeSpare(std::string& path) {
    while (!spare_.empty()) {
      path = std::move(spare_.back());
      spare_.pop_back();
      struct stat st;
      if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
          (st.st_mode & 07777) == 0700) {
        return true;
      }
    }
    return false;
  }

  // Keeps a card folder of this engine's for a later run; false when it is not one of
  // this process's or enough are kept.
  bool keepSpare(const std::string& path) {
    if (path_.empty() || owner_ != getpid() || spare_.size() >= kSpareCardFolders ||
        path.size() <= path_.size() || path.compare(0, path_.size(), path_) != 0 ||
        path[path_.size()] != '/') {
      return false;
    }
    spare_.push_back(path);
    return true;
  }

 private:
  bool _lockInside(const std::string& folder) {
    int fd = open((folder + "/lock").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return false;
    }
    lock_ = fd;
    return true;
  }

  std::string path_;
  pid_t owner_ = -1;
  int lock_ = -1;
  std::vector<std::string> spare_;
};

std::mutex gMutex;
EngineFolder gFolder;

}  // namespace

std::string mercTempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

int mercSweepEngineFolders(const std::string& tmp) {
  DIR* dir = opendir(tmp.c_str());
  if (dir == nullptr) return 0;
  int removed = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const std::string path = tmp + "/" + name;
    if (_startsWith(name, kEngineFolderPrefix)) {
      removed += _sweepEngineFolder(path) ? 1 : 0;
    } else if ((_startsWith(name, kNewFolderPrefix) || _isOldCardFolderName(name)) &&
               _staleFolderOfMine(path)) {
      _removeTree(path);
      ++removed;
    }
  }
  closedir(dir);
  return removed;
}

int mercBeginCardFolder(std::string& path, std::string& error) {
  std::lock_guard<std::mutex> hold(gMutex);
  if (!gFolder.ensure(error)) return 0;
  if (gFolder.takeSpare(path)) return 1;
  // Each run gets a folder of its own name: a map killed at its time limit may leave a
  // process behind that still writes into the folder of its run.
  path = gFolder.path() + "/cards-XXXXXX";
  if (mkdtemp(path.data()) != nullptr) return 1;
  error = "cannot create the card folder " + path + ": " + std::strerror(errno);
  return 0;
}

int mercEmptyCardFolder(const std::string& path) {
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) return 0;
  struct stat st;
  const bool asMade = fstat(dirfd(folder), &st) == 0 && S_ISDIR(st.st_mode) &&
                      st.st_uid == geteuid() && (st.st_mode & 07777) == 0700;
  bool empty = true;
  while (const dirent* entry = readdir(folder)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    const std::string inside = path + "/" + name;
    if (unlinkat(dirfd(folder), name, 0) == 0) continue;
    _removeTree(inside);
    empty = empty && access(inside.c_str(), F_OK) != 0;
  }
  closedir(folder);
  return asMade && empty ? 1 : 0;
}

void mercEndCardFolder(const std::string& path, bool reusable) {
  if (path.empty()) return;
  if (reusable) {
    std::lock_guard<std::mutex> hold(gMutex);
    if (gFolder.keepSpare(path)) return;
  }
  // An empty folder needs one rmdir, rather than the walk, which costs several system
  // calls more.
  if (rmdir(path.c_str()) != 0) _removeTree(path);
}

}  // namespace merc
