// The batching VFS: a wrapper file around each file of the platform's default VFS; only
// write-ahead logs keep writes back.
#include "walbatch.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "busygate.h"

namespace qlx {
namespace {

// A WAL frame header: 24 bytes, its bytes 4-7 (big-endian) the database size in pages
// after the commit on a commit frame, zero on any other frame.
constexpr int kFrameHeader = 24;
// Writes kept back beyond this are sent at once (a large transaction spilling pages).
constexpr size_t kMaxKept = 1u << 20;
// The default VFS writes at most 128 KiB - 1 bytes in one call.
constexpr size_t kMaxWrite = 64u << 10;
// The locks of the shared index that readers hold, one per read mark: the log's own
// numbering puts its write, checkpoint and recovery locks first (0 to 2), the read marks
// after them up to SQLITE_SHM_NLOCK.
constexpr int kFirstReadMarkLock = 3;

struct BatchFile {
  sqlite3_file base;            // first: SQLite sees a BatchFile as a sqlite3_file
  sqlite3_file* real;           // the default VFS's file, owned (sqlite3_malloc)
  std::string* kept;            // WAL only: contiguous writes not yet sent, owned
  sqlite3_int64 keptAt;         // file offset of kept's first byte
  bool commitFrame;             // the last write was a commit frame's header
  BatchFile* wal;               // main database only: its open WAL, borrowed
  BatchFile* database;          // WAL only: its main database file, borrowed
  BusyGate* readerGate;         // main database only: told as a read mark is let go, borrowed
};

sqlite3_vfs* gRoot = nullptr;
sqlite3_vfs gVfs;
sqlite3_io_methods gMethods;

BatchFile* asBatch(sqlite3_file* file) { return reinterpret_cast<BatchFile*>(file); }
const sqlite3_io_methods* realMethods(BatchFile* f) { return f->real->pMethods; }

// Sends the kept writes in one write. SQLITE_OK or the default VFS's error; nothing stays
// kept either way (a failed write fails the transaction, whose frames SQLite then ignores).
int sendKept(BatchFile* f) {
  if (!f->kept || f->kept->empty()) return SQLITE_OK;
  int rc = SQLITE_OK;
  for (size_t done = 0; done < f->kept->size() && rc == SQLITE_OK; done += kMaxWrite) {
    const size_t length = std::min(kMaxWrite, f->kept->size() - done);
    rc = realMethods(f)->xWrite(f->real, f->kept->data() + done, static_cast<int>(length),
                                f->keptAt + static_cast<sqlite3_int64>(done));
  }
  f->kept->clear();
  f->commitFrame = false;
  return rc;
}

bool isCommitHeader(const void* data, int amount) {
  if (amount != kFrameHeader) return false;
  const auto* bytes = static_cast<const unsigned char*>(data);
  return (bytes[4] | bytes[5] | bytes[6] | bytes[7]) != 0;
}

int batchWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
  BatchFile* f = asBatch(file);
  if (!f->kept) return realMethods(f)->xWrite(f->real, data, amount, offset);
  const sqlite3_int64 end = f->keptAt + static_cast<sqlite3_int64>(f->kept->size());
  if (!f->kept->empty() && offset != end) {
    if (int rc = sendKept(f)) return rc;
  }
  if (f->kept->empty()) f->keptAt = offset;
  f->kept->append(static_cast<const char*>(data), static_cast<size_t>(amount));
  // The page after a commit frame's header completes the commit: it goes out now, before
  // SQLite publishes the commit to other connections, so a failure still fails it.
  const bool complete = f->commitFrame;
  f->commitFrame = isCommitHeader(data, amount);
  if (complete || f->kept->size() >= kMaxKept) return sendKept(f);
  return SQLITE_OK;
}

int batchClose(sqlite3_file* file) {
  BatchFile* f = asBatch(file);
  sendKept(f);
  if (f->database && f->database->wal == f) f->database->wal = nullptr;
  if (f->wal && f->wal->database == f) f->wal->database = nullptr;
  const int rc = realMethods(f) ? realMethods(f)->xClose(f->real) : SQLITE_OK;
  delete f->kept;
  sqlite3_free(f->real);
  f->kept = nullptr;
  f->real = nullptr;
  return rc;
}

int batchRead(sqlite3_file* file, void* data, int amount, sqlite3_int64 offset) {
  BatchFile* f = asBatch(file);
  if (int rc = sendKept(f)) return rc;
  return realMethods(f)->xRead(f->real, data, amount, offset);
}

int batchTruncate(sqlite3_file* file, sqlite3_int64 size) {
  BatchFile* f = asBatch(file);
  if (int rc = sendKept(f)) return rc;
  return realMethods(f)->xTruncate(f->real, size);
}

int batchSync(sqlite3_file* file, int flags) {
  BatchFile* f = asBatch(file);
  if (int rc = sendKept(f)) return rc;
  return realMethods(f)->xSync(f->real, flags);
}

int batchFileSize(sqlite3_file* file, sqlite3_int64* size) {
  BatchFile* f = asBatch(file);
  if (int rc = sendKept(f)) return rc;
  return realMethods(f)->xFileSize(f->real, size);
}

int batchLock(sqlite3_file* file, int level) {
  return realMethods(asBatch(file))->xLock(asBatch(file)->real, level);
}

int batchUnlock(sqlite3_file* file, int level) {
  return realMethods(asBatch(file))->xUnlock(asBatch(file)->real, level);
}

int batchCheckReserved(sqlite3_file* file, int* out) {
  return realMethods(asBatch(file))->xCheckReservedLock(asBatch(file)->real, out);
}

int batchFileControl(sqlite3_file* file, int op, void* arg) {
  if (op == kWalBatchReaderGate) {
    asBatch(file)->readerGate = static_cast<BusyGate*>(arg);
    return SQLITE_OK;
  }
  return realMethods(asBatch(file))->xFileControl(asBatch(file)->real, op, arg);
}

int batchSectorSize(sqlite3_file* file) {
  return realMethods(asBatch(file))->xSectorSize(asBatch(file)->real);
}

int batchDevice(sqlite3_file* file) {
  return realMethods(asBatch(file))->xDeviceCharacteristics(asBatch(file)->real);
}

int batchShmMap(sqlite3_file* file, int page, int size, int extend, void volatile** out) {
  BatchFile* f = asBatch(file);
  return realMethods(f)->xShmMap(f->real, page, size, extend, out);
}

bool coversReadMark(int offset, int n) {
  return offset < SQLITE_SHM_NLOCK && offset + n > kFirstReadMarkLock;
}

int batchShmLock(sqlite3_file* file, int offset, int n, int flags) {
  BatchFile* f = asBatch(file);
  const int rc = realMethods(f)->xShmLock(f->real, offset, n, flags);
  if (rc == SQLITE_OK && f->readerGate && (flags & SQLITE_SHM_UNLOCK) && coversReadMark(offset, n))
    f->readerGate->released();
  return rc;
}

// SQLite publishes a commit in the shared index with a barrier between the two copies of
// the index header; the commit's frames were sent with its last page, so nothing should be
// kept here. Should anything be, it goes out before the header can be seen; a failure then
// cannot be reported, and publishing frames that are not in the file would damage the
// database, so the process ends instead (the commit is then rolled back by recovery).
void batchShmBarrier(sqlite3_file* file) {
  BatchFile* f = asBatch(file);
  if (f->wal && sendKept(f->wal) != SQLITE_OK) {
    std::fputs("qlx: the write-ahead log could not be written before a commit\n", stderr);
    std::abort();
  }
  realMethods(f)->xShmBarrier(f->real);
}

int batchShmUnmap(sqlite3_file* file, int deleteFlag) {
  return realMethods(asBatch(file))->xShmUnmap(asBatch(file)->real, deleteFlag);
}

int batchFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  return realMethods(asBatch(file))->xFetch(asBatch(file)->real, offset, amount, out);
}

int batchUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return realMethods(asBatch(file))->xUnfetch(asBatch(file)->real, offset, page);
}

// Links a WAL to its main database file, whose barrier must send the WAL's kept writes.
void linkWal(BatchFile* f, const char* name) {
  sqlite3_file* database = sqlite3_database_file_object(name);
  if (!database || database->pMethods != &gMethods) return;
  f->database = asBatch(database);
  f->database->wal = f;
}

int batchOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  BatchFile* f = asBatch(file);
  std::memset(f, 0, sizeof *f);
  f->real = static_cast<sqlite3_file*>(sqlite3_malloc(gRoot->szOsFile));
  if (!f->real) return SQLITE_NOMEM;
  std::memset(f->real, 0, static_cast<size_t>(gRoot->szOsFile));
  const int rc = gRoot->xOpen(gRoot, name, f->real, flags, outFlags);
  if (rc != SQLITE_OK || !f->real->pMethods) {
    if (f->real->pMethods) f->real->pMethods->xClose(f->real);
    sqlite3_free(f->real);
    f->real = nullptr;
    return rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
  }
  if ((flags & SQLITE_OPEN_WAL) && name) {
    f->kept = new std::string;
    linkWal(f, name);
  }
  f->base.pMethods = &gMethods;
  return SQLITE_OK;
}

int forwardDelete(sqlite3_vfs*, const char* name, int syncDir) {
  return gRoot->xDelete(gRoot, name, syncDir);
}

int forwardAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return gRoot->xAccess(gRoot, name, flags, out);
}

int forwardFullPath(sqlite3_vfs*, const char* name, int size, char* out) {
  return gRoot->xFullPathname(gRoot, name, size, out);
}

void initMethods() {
  gMethods = sqlite3_io_methods{};
  gMethods.iVersion = 3;
  gMethods.xClose = batchClose;
  gMethods.xRead = batchRead;
  gMethods.xWrite = batchWrite;
  gMethods.xTruncate = batchTruncate;
  gMethods.xSync = batchSync;
  gMethods.xFileSize = batchFileSize;
  gMethods.xLock = batchLock;
  gMethods.xUnlock = batchUnlock;
  gMethods.xCheckReservedLock = batchCheckReserved;
  gMethods.xFileControl = batchFileControl;
  gMethods.xSectorSize = batchSectorSize;
  gMethods.xDeviceCharacteristics = batchDevice;
  gMethods.xShmMap = batchShmMap;
  gMethods.xShmLock = batchShmLock;
  gMethods.xShmBarrier = batchShmBarrier;
  gMethods.xShmUnmap = batchShmUnmap;
  gMethods.xFetch = batchFetch;
  gMethods.xUnfetch = batchUnfetch;
}

// Every method of version 3 is forwarded: the platform's default VFS (unix) has them all.
bool registerVfs() {
  gRoot = sqlite3_vfs_find(nullptr);
  if (!gRoot) return false;
  initMethods();
  gVfs = *gRoot;  // time, randomness, sleep, dynamic loading: the default's own
  gVfs.szOsFile = static_cast<int>(sizeof(BatchFile));
  gVfs.zName = "qlx-walbatch";
  gVfs.pNext = nullptr;
  gVfs.pAppData = nullptr;
  gVfs.xOpen = batchOpen;
  gVfs.xDelete = forwardDelete;
  gVfs.xAccess = forwardAccess;
  gVfs.xFullPathname = forwardFullPath;
  return sqlite3_vfs_register(&gVfs, 0) == SQLITE_OK;
}

}  // namespace

const char* walBatchVfs() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] { registered = registerVfs(); });
  return registered ? gVfs.zName : nullptr;
}

}  // namespace qlx
