// The recording VFS: a wrapper file in front of each file of the platform's default VFS.
#include "crashvfs.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

namespace qlx::crashsim {
namespace {

struct CrashFile {
  sqlite3_file base;  // first: SQLite sees a CrashFile as a sqlite3_file
  sqlite3_file* real;  // the default VFS's file, owned (sqlite3_malloc)
  const char* name;    // the full path (SQLite keeps it until close), or null
  bool traced;         // a file that must survive a crash (database, WAL, journal)
};

// The trace is shared by the processes forked while recording: each operation is
// appended to one file under a lock in shared memory, so every process's operations land
// in one order that agrees with what each process saw happen before.
struct Shared {
  pthread_mutex_t lock;
  uint64_t ops;  // operations appended so far
};

struct State {
  std::mutex mutex;
  bool recording = false;
  std::atomic<bool> active{false};  // `recording`, read without the lock by the shim
  std::string home;  // with a trailing '/'
  Shared* shared = nullptr;
  int traceFd = -1;
  std::string tracePath;
  Failure armed = Failure::kNone;
  int armedAfter = 0;
  bool fired = false;
  bool diskFull = false;
};

State& state() {
  static auto* s = new State;  // never destroyed: files may close during exit
  return *s;
}

sqlite3_vfs* gRoot = nullptr;
sqlite3_vfs gVfs;
std::atomic<uint64_t> gLogSyncs{0};
sqlite3_io_methods gMethods;

CrashFile* asCrash(sqlite3_file* file) { return reinterpret_cast<CrashFile*>(file); }
const sqlite3_io_methods* realMethods(CrashFile* f) { return f->real->pMethods; }

// Under the lock: the path of `path` relative to the recorded home, or empty when it is
// not in the home (or nothing is recorded).
std::string relativeOf(const State& s, const char* path) {
  if (!s.recording || !path || std::strncmp(path, s.home.c_str(), s.home.size()) != 0)
    return std::string();
  return std::string(path + s.home.size());
}

// One record of the trace file: kind, file (relative path, empty for marks), offset,
// bytes, each length-prefixed.
void appendRecord(State& s, OpKind kind, const std::string& file, int64_t offset,
                  const std::string& bytes, uint64_t* position = nullptr) {
  std::string record(1, static_cast<char>(kind));
  const uint32_t nameSize = static_cast<uint32_t>(file.size());
  const uint64_t bytesSize = bytes.size();
  record.append(reinterpret_cast<const char*>(&nameSize), sizeof nameSize);
  record += file;
  record.append(reinterpret_cast<const char*>(&offset), sizeof offset);
  record.append(reinterpret_cast<const char*>(&bytesSize), sizeof bytesSize);
  record += bytes;
  pthread_mutex_lock(&s.shared->lock);
  if (s.traceFd < 0) {  // recording stopped meanwhile (a background thread's late call)
    pthread_mutex_unlock(&s.shared->lock);
    return;
  }
  if (position) *position = s.shared->ops;
  size_t done = 0;
  while (done < record.size()) {
    const ssize_t n = write(s.traceFd, record.data() + done, record.size() - done);
    if (n <= 0) abort();  // a trace with a hole would prove nothing
    done += static_cast<size_t>(n);
  }
  ++s.shared->ops;
  pthread_mutex_unlock(&s.shared->lock);
}

// The number of operations recorded so far (by every process).
uint64_t recordedSoFar(State& s) {
  if (!s.shared) return 0;
  pthread_mutex_lock(&s.shared->lock);
  const uint64_t ops = s.shared->ops;
  pthread_mutex_unlock(&s.shared->lock);
  return ops;
}

// Files opened before recording began are traced too: the path is looked at per call.
void record(CrashFile* f, OpKind kind, int64_t offset, const std::string& bytes = std::string()) {
  if (!f->traced) return;
  State& s = state();
  std::string relative;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    relative = relativeOf(s, f->name);
  }
  if (!relative.empty()) appendRecord(s, kind, relative, offset, bytes);
}

// Under the lock: whether `f` is a file of the recorded home (failures apply to those).
bool inHome(const State& s, const CrashFile* f) {
  return f->name && !s.home.empty() && std::strncmp(f->name, s.home.c_str(), s.home.size()) == 0;
}

// Whether the armed failure `kind` fires on this call (counts the calls before it).
bool fires(CrashFile* f, Failure kind) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!inHome(s, f)) return false;
  if (s.armed != kind) return false;
  if (s.armedAfter-- > 0) return false;
  s.armed = Failure::kNone;
  s.fired = true;
  return true;
}

bool diskFull(CrashFile* f) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.diskFull && inHome(s, f);
}

bool anyWriteFailure(CrashFile* f) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return inHome(s, f) && (s.armed == Failure::kWriteNoSpace || s.armed == Failure::kWriteIo ||
                       s.armed == Failure::kShortWrite);
}

// A failing write as the default VFS reports it: ENOSPC and a short write are
// SQLITE_FULL, any other error SQLITE_IOERR_WRITE. A short write leaves its first half in
// the file, as a disk that filled up in the middle does.
int failedWrite(CrashFile* f, const void* data, int amount, sqlite3_int64 offset) {
  if (diskFull(f)) return SQLITE_FULL;
  if (!anyWriteFailure(f)) return SQLITE_OK;
  if (fires(f, Failure::kWriteNoSpace)) return SQLITE_FULL;
  if (fires(f, Failure::kWriteIo)) return SQLITE_IOERR_WRITE;
  if (fires(f, Failure::kShortWrite)) {
    const int half = amount / 2;
    if (half > 0 && realMethods(f)->xWrite(f->real, data, half, offset) == SQLITE_OK)
      record(f, OpKind::kWrite, offset, std::string(static_cast<const char*>(data), half));
    return SQLITE_FULL;
  }
  return SQLITE_OK;
}

int crashWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
  CrashFile* f = asCrash(file);
  if (int rc = failedWrite(f, data, amount, offset)) return rc;
  const int rc = realMethods(f)->xWrite(f->real, data, amount, offset);
  if (rc == SQLITE_OK)
    record(f, OpKind::kWrite, offset,
           std::string(static_cast<const char*>(data), static_cast<size_t>(amount)));
  return rc;
}

int crashTruncate(sqlite3_file* file, sqlite3_int64 size) {
  CrashFile* f = asCrash(file);
  const int rc = realMethods(f)->xTruncate(f->real, size);
  if (rc == SQLITE_OK) record(f, OpKind::kTruncate, size);
  return rc;
}

// A failed sync leaves the file's changes as they were: not durable. A sync that succeeds
// covers what was written before it began, not what another thread or process wrote
// while it ran: its record carries the trace position at its start.
int crashSync(sqlite3_file* file, int flags) {
  CrashFile* f = asCrash(file);
  if (fires(f, Failure::kSync)) return SQLITE_IOERR_FSYNC;
  const int64_t cover = f->traced ? static_cast<int64_t>(recordedSoFar(state())) : 0;
  const int rc = realMethods(f)->xSync(f->real, flags);
  if (rc != SQLITE_OK) return rc;
  const size_t length = f->name ? std::strlen(f->name) : 0;
  if (length > 4 && std::strcmp(f->name + length - 4, "-wal") == 0) ++gLogSyncs;
  record(f, OpKind::kSync, cover);
  return rc;
}

int crashClose(sqlite3_file* file) {
  CrashFile* f = asCrash(file);
  const int rc = realMethods(f) ? realMethods(f)->xClose(f->real) : SQLITE_OK;
  sqlite3_free(f->real);
  f->real = nullptr;
  return rc;
}

int crashRead(sqlite3_file* file, void* data, int amount, sqlite3_int64 offset) {
  return realMethods(asCrash(file))->xRead(asCrash(file)->real, data, amount, offset);
}
int crashFileSize(sqlite3_file* file, sqlite3_int64* size) {
  return realMethods(asCrash(file))->xFileSize(asCrash(file)->real, size);
}
int crashLock(sqlite3_file* file, int level) {
  return realMethods(asCrash(file))->xLock(asCrash(file)->real, level);
}
int crashUnlock(sqlite3_file* file, int level) {
  return realMethods(asCrash(file))->xUnlock(asCrash(file)->real, level);
}
int crashCheckReserved(sqlite3_file* file, int* out) {
  return realMethods(asCrash(file))->xCheckReservedLock(asCrash(file)->real, out);
}
int crashFileControl(sqlite3_file* file, int op, void* arg) {
  return realMethods(asCrash(file))->xFileControl(asCrash(file)->real, op, arg);
}
int crashSectorSize(sqlite3_file* file) {
  return realMethods(asCrash(file))->xSectorSize(asCrash(file)->real);
}
int crashDevice(sqlite3_file* file) {
  return realMethods(asCrash(file))->xDeviceCharacteristics(asCrash(file)->real);
}
int crashShmMap(sqlite3_file* file, int page, int size, int extend, void volatile** out) {
  return realMethods(asCrash(file))->xShmMap(asCrash(file)->real, page, size, extend, out);
}
int crashShmLock(sqlite3_file* file, int offset, int n, int flags) {
  return realMethods(asCrash(file))->xShmLock(asCrash(file)->real, offset, n, flags);
}
void crashShmBarrier(sqlite3_file* file) {
  realMethods(asCrash(file))->xShmBarrier(asCrash(file)->real);
}
int crashShmUnmap(sqlite3_file* file, int deleteFlag) {
  return realMethods(asCrash(file))->xShmUnmap(asCrash(file)->real, deleteFlag);
}
int crashFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  return realMethods(asCrash(file))->xFetch(asCrash(file)->real, offset, amount, out);
}
int crashUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return realMethods(asCrash(file))->xUnfetch(asCrash(file)->real, offset, page);
}

int crashOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  CrashFile* f = asCrash(file);
  std::memset(f, 0, sizeof *f);
  f->real = static_cast<sqlite3_file*>(sqlite3_malloc(gRoot->szOsFile));
  if (!f->real) return SQLITE_NOMEM;
  std::memset(f->real, 0, static_cast<size_t>(gRoot->szOsFile));
  const bool existed = name && access(name, F_OK) == 0;
  const int rc = gRoot->xOpen(gRoot, name, f->real, flags, outFlags);
  if (rc != SQLITE_OK || !f->real->pMethods) {
    if (f->real->pMethods) f->real->pMethods->xClose(f->real);
    sqlite3_free(f->real);
    f->real = nullptr;
    return rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
  }
  f->base.pMethods = &gMethods;
  f->name = name;
  // Temporary files need not survive a crash; only durable files are traced.
  f->traced =
      name && (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL)) != 0;
  // The folder syncs the default VFS makes (at a journal's or WAL's first sync through a
  // handle that may create it) are traced by the shim below, as they happen.
  if (f->traced && !existed) record(f, OpKind::kCreate, 0);
  return SQLITE_OK;
}

// A deletion the caller asked to be synced is made durable with its folder's sync.
int crashDelete(sqlite3_vfs*, const char* name, int syncDir) {
  const int rc = gRoot->xDelete(gRoot, name, syncDir);
  if (rc != SQLITE_OK || !name) return rc;
  State& s = state();
  std::string relative;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    relative = relativeOf(s, name);
  }
  if (relative.empty()) return rc;
  appendRecord(s, OpKind::kDelete, relative, 0, std::string());
  if (syncDir) appendRecord(s, OpKind::kDirSync, relative, 0, std::string());
  return rc;
}

int crashAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return gRoot->xAccess(gRoot, name, flags, out);
}

int crashFullPath(sqlite3_vfs*, const char* name, int size, char* out) {
  return gRoot->xFullPathname(gRoot, name, size, out);
}

void initMethods() {
  gMethods = sqlite3_io_methods{};
  gMethods.iVersion = 3;
  gMethods.xClose = crashClose;
  gMethods.xRead = crashRead;
  gMethods.xWrite = crashWrite;
  gMethods.xTruncate = crashTruncate;
  gMethods.xSync = crashSync;
  gMethods.xFileSize = crashFileSize;
  gMethods.xLock = crashLock;
  gMethods.xUnlock = crashUnlock;
  gMethods.xCheckReservedLock = crashCheckReserved;
  gMethods.xFileControl = crashFileControl;
  gMethods.xSectorSize = crashSectorSize;
  gMethods.xDeviceCharacteristics = crashDevice;
  gMethods.xShmMap = crashShmMap;
  gMethods.xShmLock = crashShmLock;
  gMethods.xShmBarrier = crashShmBarrier;
  gMethods.xShmUnmap = crashShmUnmap;
  gMethods.xFetch = crashFetch;
  gMethods.xUnfetch = crashUnfetch;
}

}  // namespace

void install() {
  static std::once_flag once;
  std::call_once(once, [] {
    gRoot = sqlite3_vfs_find(nullptr);
    initMethods();
    gVfs = *gRoot;
    gVfs.szOsFile = static_cast<int>(sizeof(CrashFile));
    gVfs.zName = "qlx-crashsim";
    gVfs.pNext = nullptr;
    gVfs.pAppData = nullptr;
    gVfs.xOpen = crashOpen;
    gVfs.xDelete = crashDelete;
    gVfs.xAccess = crashAccess;
    gVfs.xFullPathname = crashFullPath;
    sqlite3_vfs_register(&gVfs, 1);
    // A process forked while another thread records must not inherit the lock held.
    pthread_atfork([] { state().mutex.lock(); }, [] { state().mutex.unlock(); },
                   [] { state().mutex.unlock(); });
  });
}

void startRecording(const std::string& home) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.shared) {
    void* page = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) abort();
    s.shared = static_cast<Shared*>(page);
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&s.shared->lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  s.home = home.back() == '/' ? home : home + "/";
  s.tracePath = (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) +
                "/qlxcrash-trace." + std::to_string(getpid());
  if (s.traceFd >= 0) close(s.traceFd);
  s.traceFd = open(s.tracePath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (s.traceFd < 0) abort();
  s.shared->ops = 0;
  s.recording = true;
  s.active = true;
}

namespace {

// Reads `size` bytes of `data` at `at`, moving past them; false at the end.
bool take(const std::string& data, size_t& at, void* out, size_t size) {
  if (data.size() - at < size) return false;
  std::memcpy(out, data.data() + at, size);
  at += size;
  return true;
}

Trace parseTrace(const std::string& data) {
  Trace trace;
  std::map<std::string, int> index;
  for (size_t at = 0; at < data.size();) {
    uint8_t kind = 0;
    uint32_t nameSize = 0;
    int64_t offset = 0;
    uint64_t bytesSize = 0;
    if (!take(data, at, &kind, 1) || !take(data, at, &nameSize, sizeof nameSize) ||
        data.size() - at < nameSize)
      abort();
    const std::string name = data.substr(at, nameSize);
    at += nameSize;
    if (!take(data, at, &offset, sizeof offset) || !take(data, at, &bytesSize, sizeof bytesSize) ||
        data.size() - at < bytesSize)
      abort();
    Op op{static_cast<OpKind>(kind), -1, offset, data.substr(at, bytesSize)};
    at += bytesSize;
    if (op.kind != OpKind::kMark) {
      auto found = index.emplace(name, static_cast<int>(trace.files.size()));
      if (found.second) trace.files.push_back(name);
      op.file = found.first->second;
    }
    trace.ops.push_back(std::move(op));
  }
  return trace;
}

}  // namespace

Trace stopRecording() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.recording = false;
  s.active = false;
  if (!s.shared) return Trace{};
  pthread_mutex_lock(&s.shared->lock);
  const int fd = s.traceFd;
  s.traceFd = -1;
  pthread_mutex_unlock(&s.shared->lock);
  if (fd < 0) return Trace{};
  std::string data;
  char buffer[1 << 16];
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(n));
  close(fd);
  unlink(s.tracePath.c_str());
  return parseTrace(data);
}

size_t mark(int kind, const std::string& text) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.recording) return 0;
  }
  uint64_t position = 0;
  appendRecord(s, OpKind::kMark, std::string(), kind, text, &position);
  return static_cast<size_t>(position);
}

uint64_t logSyncs() { return gLogSyncs.load(); }

void armFailure(Failure failure, int after) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.armed = failure;
  s.armedAfter = after;
  s.fired = false;
}

bool failureFired() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.fired;
}

void setDiskFull(bool full) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.diskFull = full;
}

}  // namespace qlx::crashsim

// The files the store writes without SQLite (leases, wake files) are traced by catching
// the calls that change them: the test binary's own pwrite, unlink, fsync and fdatasync
// stand before the C library's (the store's library and SQLite bind to them) and pass
// every call on. The database's files are left to the VFS, which traces them already;
// folder syncs are traced whoever makes them.
namespace {

using qlx::crashsim::OpKind;

// The path of `path` in the recorded home when it is a file written without SQLite.
std::string sideFile(const char* path) {
  qlx::crashsim::State& s = qlx::crashsim::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::string relative = qlx::crashsim::relativeOf(s, path);
  if (relative.compare(0, 9, "broker.db") == 0) return std::string();
  return relative;
}

void recordSide(const std::string& relative, OpKind kind, int64_t offset,
                const std::string& bytes) {
  if (!relative.empty())
    qlx::crashsim::appendRecord(qlx::crashsim::state(), kind, relative, offset, bytes);
}

// The path the descriptor `fd` stands for, or empty.
std::string pathOf(int fd) {
  char link[64];
  char path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t size = readlink(link, path, sizeof path - 1);
  return size > 0 ? std::string(path, static_cast<size_t>(size)) : std::string();
}

void sideWrite(int fd, const void* data, ssize_t written, int64_t offset) {
  if (written <= 0 || !qlx::crashsim::state().active.load()) return;
  const std::string path = pathOf(fd);
  if (path.empty()) return;
  recordSide(sideFile(path.c_str()), OpKind::kWrite, offset,
             std::string(static_cast<const char*>(data), static_cast<size_t>(written)));
}

// A sync of a folder of the home (by whoever: SQLite, the store) makes its entries durable.
// It is traced under the folder's name with "/." added ("." for the home itself), a name
// whose folder is the synced one.
void folderSync(int fd) {
  if (!qlx::crashsim::state().active.load()) return;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) return;
  const std::string path = pathOf(fd) + "/.";
  recordSide(sideFile(path.c_str()), OpKind::kDirSync, 0, std::string());
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  static const auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  const ssize_t written = real(fd, data, size, offset);
  sideWrite(fd, data, written, offset);
  return written;
}

extern "C" ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  static const auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  const ssize_t written = real(fd, data, size, offset);
  sideWrite(fd, data, written, offset);
  return written;
}

extern "C" int fsync(int fd) {
  static const auto real = next<int (*)(int)>("fsync");
  const int rc = real(fd);
  if (rc == 0) folderSync(fd);
  return rc;
}

extern "C" int fdatasync(int fd) {
  static const auto real = next<int (*)(int)>("fdatasync");
  const int rc = real(fd);
  if (rc == 0) folderSync(fd);
  return rc;
}

extern "C" int unlink(const char* path) noexcept {
  static const auto real = next<int (*)(const char*)>("unlink");
  const int rc = real(path);
  if (rc == 0 && path[0] == '/' && qlx::crashsim::state().active.load())
    recordSide(sideFile(path), OpKind::kDelete, 0, std::string());
  return rc;
}
