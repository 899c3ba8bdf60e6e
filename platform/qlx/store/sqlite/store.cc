// The broker home's database: creation, schema, pragmas, the prepared-statement cache,
// and the small files beside it (wake files, control page).
#include "store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "directory_schema.h"
#include "settings.h"
#include "trc.h"
#include "walbatch.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

// Runtime tables. A message row is a request or response on a queue ("element:E",
// "client:C", "native:N") or a reported request on an error queue ("error:E"). `seq`
// orders a queue before `id`: new messages get 0, a message rolled back goes in front of
// all others with a seq below the queue's lowest. Message ids are never reused (a claim
// lock stands for one id). Whether a message is held by a unit of work is not stored: the
// claim locks say it (claims.h). The theme travels with every message: its 24-byte id,
// the originating client, the encoded hop list and the position of the hop whose queue
// holds the message. A connection row names the lease (lease.h) that tells whether the
// connection lives.
constexpr const char* kRuntimeSchema = R"sql(
CREATE TABLE IF NOT EXISTS connection (
  id      INTEGER PRIMARY KEY AUTOINCREMENT,
  name    TEXT NOT NULL,
  kind    INTEGER NOT NULL,
  token   TEXT NOT NULL,
  pid     INTEGER NOT NULL,
  started INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS message (
  id          INTEGER PRIMARY KEY AUTOINCREMENT,
  queue       TEXT NOT NULL,
  seq         INTEGER NOT NULL DEFAULT 0,
  backout     INTEGER NOT NULL DEFAULT 0,
  msg_type    INTEGER, priority INTEGER, persistence INTEGER, format INTEGER,
  feedback    INTEGER, expiry INTEGER, code_page INTEGER, encoding INTEGER,
  msg_id      BLOB, correl_id BLOB, format_name BLOB,
  put_sec     INTEGER, put_ms INTEGER,
  theme_id    BLOB, origin TEXT, service TEXT, hops BLOB, position INTEGER,
  body        BLOB, tag BLOB,
  reason      INTEGER, sub_reason INTEGER, call_type INTEGER, error_text TEXT,
  default_actions INTEGER, performed_actions INTEGER, reporter TEXT
);
CREATE INDEX IF NOT EXISTS message_queue ON message(queue, seq, id);
CREATE TABLE IF NOT EXISTS fault (
  id         INTEGER PRIMARY KEY AUTOINCREMENT,
  call       TEXT NOT NULL,
  reason     INTEGER NOT NULL,
  sub_reason INTEGER,
  remaining  INTEGER NOT NULL,
  name       TEXT
);
)sql";

constexpr int kSchemaVersion = 2;

// A home made by an earlier broker kept claims in the message table and knew connections
// by process id: its claims go back to their queues (as after a crash) and its connection
// rows are dropped, then the tables get this version's shape.
constexpr const char* kMigrateFromVersion1 = R"sql(
UPDATE message SET state = 0, owner = NULL, backout = backout + 1 WHERE state = 1;
DROP INDEX IF EXISTS message_order;
DROP INDEX IF EXISTS message_owner;
DROP TABLE IF EXISTS connection;
)sql";

constexpr size_t kControlSize = 4096;
// Word 0: whether faults may be pending. Words 1 to 3: commits counted, commits synced and
// commits a failed sync covered (groupsync.h). Words 4 and 5: write-lock releases and the
// connections sleeping on them (kReleasesWord, busygate.h). Word 6: the directory's
// generation (kDirectoryGenerationWord, directory_cache.h). Words 7 and 8: read marks let
// go and the connections sleeping on them (kReaderEndsWord, walbatch.h). Word 9: whether a
// broker connection holds the write lock (kWriteHeldWord, busygate.h). Words
// kWaitersFirst onwards: the number of gets waiting on the queues whose names hash to
// each word.
enum ControlWord : size_t {
  kFaultsPending = 0,
  kCommits = 1,
  kSyncedCommits = 2,
  kFailedSyncCommits = 3,
  kWaitersFirst = 64
};
constexpr size_t kWaiterWords = kControlSize / sizeof(uint32_t) - kWaitersFirst;
static_assert(kReleasesWord > kFailedSyncCommits && kReaderSleepersWord < kWriteHeldWord &&
                  kWriteHeldWord < kWaitersFirst,
              "the shared words of store.h lie between the store's own and the waiters'");

// A checkpoint syncs the WAL and the database file; the WAL keeper runs it in the
// background. In FULL, where a sync bounds each cycle, what a sync costs depends on the
// WAL: once a checkpoint copied it all the log starts over and its frames overwrite blocks
// the file already has, while a log still growing extends the file at every commit, and a
// sync that extends a file also commits the file system's journal, which on a shared disk
// waits behind every other process's metadata. So FULL restarts the log after 1,000 pages
// (SQLite's own figure, about 4 MB): the keeper's checkpoint syncs come once in some 160
// units of work (about six pages each), off the committers' path, against a log that
// grew for 1,600 units at 10,000 pages (alternated in one run, one consumer: 243 against
// 317 cycles/s at 1,000; two: 405 to 451 against 713 to 1,089). In NORMAL the CPU bounds
// a cycle, and a long WAL costs CPU at every page read: each commit writes the same few
// pages again, every version of a page sits in one probe chain of the WAL's index, and a
// lookup walks it (about 240,000 instructions per bare broker cycle at 10,000 pages,
// 180,000 at 2,000, 150,000 at 1,000). 2,000 keeps the keeper's checkpoints (and the log
// restart that briefly holds the write lock) to about one in 300 units. The WAL file
// keeps its largest size once reached; a reader holding an old snapshot may let it grow
// beyond until it ends.
constexpr int kCheckpointPagesFull = 1000;
constexpr int kCheckpointPagesNormal = 2000;
// How far past its limit the log may grow behind a busy keeper before a commit copies it.
constexpr int kKeeperFallbackFactor = 4;
// After each commit of a connection: the shared sync (FULL), then word to the WAL keeper.
int walCommitted(void* store, sqlite3*, const char* schema, int frames) {
  return static_cast<Store*>(store)->afterCommit(schema, frames);
}

// FULL syncs the WAL at every commit; NORMAL (the default) only at checkpoints.
bool fullSync() { return fullSyncSetting(); }

uint64_t fnv1a(std::string_view text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

std::string damaged(const std::string& path, const std::string& why) {
  return "the broker database " + path + " is damaged: " + why +
         " (restore it from a copy, or remove it to start an empty broker)";
}

}  // namespace

std::string homePath() {
  const char* home = std::getenv("QLX_HOME");
  return home && *home ? std::string(home) : std::string("./.qlx");
}

std::string databasePath() { return homePath() + "/broker.db"; }
std::string logPath() { return homePath() + "/log"; }

std::string wakePath(const std::string& home, std::string_view queue) {
  char name[24];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(fnv1a(queue)));
  return home + "/wake/" + name;
}

bool makeHome(const std::string& home, std::string& error) {
  if (mkdir(home.c_str(), 0700) == 0) {
    chmod(home.c_str(), 0700);  // the umask may have taken the owner's bits
    return true;
  }
  if (errno == EEXIST) return true;
  error = "cannot create the broker home " + home + ": " + std::strerror(errno);
  return false;
}

int openPrivate(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    fchmod(fd, 0600);
    return fd;
  }
  return errno == EEXIST ? ::open(path.c_str(), flags | O_CLOEXEC) : -1;
}

Store::~Store() {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  if (db_) sqlite3_close_v2(db_);
  for (auto& entry : wakeFiles_) close(entry.second);
  unmapControlPage(control_);
}

bool Store::open(std::string& error) {
  trc::Scope trace(kTrace);
  home_ = homePath();
  SyncMode mode;
  if (!syncModeSetting(mode, error)) return trace.result(false);
  if (!makeHome(home_, error) || !makeHome(home_ + "/wake", error)) return trace.result(false);
  const std::string path = home_ + "/broker.db";
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT || !_create(path, error)) {
      if (error.empty()) error = "cannot read the broker database " + path + ": " + std::strerror(errno);
      return trace.result(false);
    }
  } else if (info.st_size == 0) {
    error = damaged(path, "the file is empty");
    return trace.result(false);
  }
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, walBatchVfs());
  if (rc != SQLITE_OK) {
    error = "cannot open the broker database " + path + ": " +
            (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    return trace.result(false);
  }
  if (!claims_.open(home_)) {
    error = "cannot open " + home_ + "/claims: " + std::strerror(errno);
    return trace.result(false);
  }
  _mapControl();
  return trace.result(_configure(error));
}

// Builds a new database under a temporary name and links it into place, so that a
// database file, once it exists, always holds the schema: an empty one is damage.
bool Store::_create(const std::string& path, std::string& error) {
  unsigned int salt = 0;
  if (getrandom(&salt, sizeof salt, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof salt))
    salt = static_cast<unsigned int>(time(nullptr));
  const std::string temporary =
      path + ".new." + std::to_string(getpid()) + "." + std::to_string(salt);
  int fd = openPrivate(temporary, O_RDWR);
  if (fd < 0) {
    error = "cannot create the broker database " + temporary + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  sqlite3* fresh = nullptr;
  bool ok = sqlite3_open_v2(temporary.c_str(), &fresh, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK;
  const std::string schema = std::string("PRAGMA journal_mode=WAL; BEGIN;") + kRuntimeSchema +
                             kDirectorySchema + "PRAGMA user_version=" +
                             std::to_string(kSchemaVersion) + "; COMMIT;";
  ok = ok && sqlite3_exec(fresh, schema.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) error = "cannot create the broker database " + path + ": " + sqlite3_errmsg(fresh);
  sqlite3_close_v2(fresh);
  // Another process may have linked its own first: then that one is the database. A file
  // system without hard links gets a rename, which only a creator racing within the same
  // instant could overtake.
  if (ok && link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    const bool noLinks = errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS;
    if (!noLinks || rename(temporary.c_str(), path.c_str()) != 0) {
      error = "cannot create the broker database " + path + ": " + std::strerror(errno);
      ok = false;
    }
  }
  unlink(temporary.c_str());
  return ok;
}

bool Store::_configure(std::string& error) {
  sqlite3_busy_handler(db_, BusyGate::handler, &gate_);
  sqlite3_extended_result_codes(db_, 1);
  // FULL without a control page falls back to SQLite's own sync inside each commit.
  const bool ownSync = fullSync() && !group_.isOpen();
  sqlite3_wal_hook(db_, walCommitted, this);
  keeper_ = WalKeeper::forHome(home_, !fullSync());
  checkpointPages_ = fullSync() ? kCheckpointPagesFull : kCheckpointPagesNormal;
  nextCheckpointAsk_ = checkpointPages_;
  const bool ok = exec("PRAGMA journal_mode=WAL") &&
                  exec(ownSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL") &&
                  exec("PRAGMA foreign_keys=ON") && _migrate() && exec(kDirectorySchema);
  if (ok) {
    _noteStoredFaults();
    return true;
  }
  const int code = failCode_ & 0xFF;
  const std::string path = home_ + "/broker.db";
  error = code == SQLITE_NOTADB || code == SQLITE_CORRUPT
              ? damaged(path, failText_)
              : "cannot prepare the broker database " + path + ": " + failText_;
  return false;
}

bool Store::_migrate() {
  int version = 0;
  {
    Query q(*this, "PRAGMA user_version");
    if (q.step() != SQLITE_ROW) return false;
    version = static_cast<int>(q.integer(0));
  }
  if (version >= kSchemaVersion) return true;
  Transaction tx(*this);
  bool hasMessages = false;
  {
    Query q(*this, "SELECT 1 FROM sqlite_master WHERE name = 'message'");
    hasMessages = q.step() == SQLITE_ROW;
  }
  const std::string upgrade = (hasMessages ? std::string(kMigrateFromVersion1) : "") +
                              kRuntimeSchema + "PRAGMA user_version=" +
                              std::to_string(kSchemaVersion) + ";";
  return tx.ok() && exec(upgrade.c_str()) && tx.commit();
}

std::atomic<uint32_t>* mapControlPage(const std::string& home, bool create) {
  const std::string path = home + "/control";
  int fd = create ? openPrivate(path, O_RDWR) : ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) == 0 && static_cast<size_t>(info.st_size) < kControlSize)
    (void)!ftruncate(fd, kControlSize);
  void* page = mmap(nullptr, kControlSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return page != MAP_FAILED ? static_cast<std::atomic<uint32_t>*>(page) : nullptr;
}

void unmapControlPage(std::atomic<uint32_t>* page) {
  if (page) munmap(page, kControlSize);
}

void Store::_mapControl() {
  control_ = mapControlPage(home_);
  if (control_) gate_.attach(&control_[kReleasesWord], &control_[kBusySleepersWord]);
  if (control_) gate_.attachHolder(&control_[kWriteHeldWord]);
  if (control_) readerGate_.attach(&control_[kReaderEndsWord], &control_[kReaderSleepersWord]);
  readerGate_.setTimes(kRestartWaitMicros, kRestartWaitMicros);
  sqlite3_file_control(db_, "main", kWalBatchReaderGate, &readerGate_);
  if (control_ && fullSync())
    group_.open(home_ + "/control", &control_[kCommits], &control_[kSyncedCommits],
                &control_[kFailedSyncCommits]);
  // An earlier broker marked pending faults with a file.
  const std::string marker = home_ + "/faults";
  if (control_ && access(marker.c_str(), F_OK) == 0) {
    setFaultsPending(true);
    unlink(marker.c_str());
  }
}

// The checkpoint runs on the keeper, not inside the caller's commit, as long as the keeper
// keeps the log bounded. It cannot always: SQLite starts the log over only at a write
// whose snapshot began with every frame copied, and while consumers commit without a
// pause (a fast disk, a backlog) one of them has always added a frame between the
// keeper's checkpoint and its restart. The log then grew for as long as the backlog lasted
// (39 MB in three seconds of one FULL consumer), every commit asked for a checkpoint
// again (the keeper synced the database after nearly each) and a cycle cost three times
// the plain queue's CPU. So a store asks again only after the log grew by a quarter of
// its limit more, and past four times the limit the committing store copies the log
// itself (see _copyLongLog), so that the next write finds it all copied and restarts it
// (the log then stayed at 16 MB, one or two consumers). That is a checkpoint in one
// caller's commit in some thousand, and only under a backlog.
int Store::afterCommit(const char* schema, int frames) {
  // The write lock is free already: whoever queues behind it goes ahead during the sync.
  gate_.released();
  releasedInCommit_ = true;
  const int rc = group_.isOpen() ? group_.awaitSync([this] { return _syncWal(); }) : SQLITE_OK;
  if (rc != SQLITE_OK) _syncFailed(rc);
  if (frames < checkpointPages_) nextCheckpointAsk_ = checkpointPages_;
  const bool ask = frames >= nextCheckpointAsk_;
  if (ask) nextCheckpointAsk_ = frames + checkpointPages_ / 4;
  const bool here = ask && (!keeper_ || frames >= kKeeperFallbackFactor * checkpointPages_);
  if (keeper_) keeper_->committed(ask && !here);
  if (here) _copyLongLog(schema);
  return rc;
}

// A store without a keeper copies the log as SQLite would (PASSIVE: it never waits). One
// whose keeper fell behind also waits, up to kRestartWaitMicros, for the readers still on
// the log to move on (RESTART), so that the next write starts it over: other consumers
// read beside each write, and a restart needs a moment when none reads the log. The wait
// holds the write lock, so it is short and comes once in some thousand commits; it is
// woken as a transaction of a broker connection ends (a reader of another program is seen
// at the end of the wait).
void Store::_copyLongLog(const char* schema) {
  if (!keeper_) {
    sqlite3_wal_checkpoint_v2(db_, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return;
  }
  readerGate_.begin();
  sqlite3_busy_handler(db_, BusyGate::handler, &readerGate_);
  sqlite3_wal_checkpoint_v2(db_, schema, SQLITE_CHECKPOINT_RESTART, nullptr, nullptr);
  sqlite3_busy_handler(db_, BusyGate::handler, &gate_);
}

// The commit is in the database but perhaps not on the disk, and the kernel may have
// dropped what the failed sync was to write: what this connection holds in its cache is
// suspect, so it lets it go and reads the files again from its next statement on.
void Store::_syncFailed(int code) {
  commitInDoubt_ = true;
  syncFailure_ = code;
  sqlite3_db_release_memory(db_);
}

// The connection's own handle on the WAL: the live file for as long as it is open.
int Store::_syncWal() {
  sqlite3_file* wal = nullptr;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal) != SQLITE_OK ||
      !wal || !wal->pMethods)
    return SQLITE_IOERR_FSYNC;
  return wal->pMethods->xSync(wal, SQLITE_SYNC_NORMAL);
}

// The word that says faults may be pending lives in a shared mapping, which a power loss
// may take back to before the fault was added while the database kept it: a fault the
// table holds is never missed, whatever the word came back as.
void Store::_noteStoredFaults() {
  if (!control_ || faultsMayBePending()) return;
  Query any(*this, "SELECT 1 FROM fault LIMIT 1");
  if (any.step() == SQLITE_ROW) setFaultsPending(true);
}

std::optional<uint32_t> Store::writesEnded() const {
  if (!control_) return std::nullopt;
  return control_[kReleasesWord].load(std::memory_order_seq_cst);
}

bool Store::faultsMayBePending() const {
  return !control_ || control_[kFaultsPending].load(std::memory_order_acquire) != 0;
}

void Store::setFaultsPending(bool pending) {
  if (control_) control_[kFaultsPending].store(pending ? 1 : 0, std::memory_order_release);
}

std::atomic<uint32_t>* Store::waiters(std::string_view queue) {
  return control_ ? &control_[kWaitersFirst + fnv1a(queue) % kWaiterWords] : nullptr;
}

void Store::notify(std::string_view queue) {
  // A get raises the count before it looks at the queue and this commit was done before
  // the count is read: either that get sees the commit or the count is seen here.
  std::atomic<uint32_t>* waiting = waiters(queue);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (waiting && waiting->load(std::memory_order_seq_cst) == 0) return;
  auto found = wakeFiles_.find(queue);
  if (found == wakeFiles_.end()) {
    int fd = openPrivate(wakePath(home_, queue), O_WRONLY);
    if (fd < 0) return;  // the waiters look again within a short while anyway
    found = wakeFiles_.emplace(std::string(queue), fd).first;
  }
  (void)!pwrite(found->second, "\n", 1, 0);
}

sqlite3_stmt* Store::statement(const char* sql) {
  gate_.arm();
  auto found = statements_.find(std::string_view(sql));
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    noteFailure();
    return nullptr;
  }
  statements_.emplace(sql, stmt);
  return stmt;
}

bool Store::exec(const char* sql) {
  gate_.arm();
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || noteFailure();
}

bool Store::noteFailure() {
  if (!db_) return noteFailure(SQLITE_CANTOPEN, "the broker database is not open");
  return noteFailure(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_));
}

bool Store::noteFailure(int code, std::string text) {
  failCode_ = code;
  failText_ = std::move(text);
  return false;
}

Query::~Query() { reset(); }

void Query::reset() {
  if (stmt_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

Query& Query::bind(int index, int64_t value) {
  if (stmt_) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Query& Query::bind(int index, std::string_view text) {
  if (stmt_)
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  return *this;
}

Query& Query::bindBlob(int index, const void* data, size_t length) {
  if (!stmt_) return *this;
  if (length == 0)
    sqlite3_bind_zeroblob(stmt_, index, 0);
  else
    sqlite3_bind_blob64(stmt_, index, data, length, SQLITE_TRANSIENT);
  return *this;
}

Query& Query::bindNull(int index) {
  if (stmt_) sqlite3_bind_null(stmt_, index);
  return *this;
}

int Query::step() {
  if (!stmt_) return SQLITE_ERROR;  // the failed prepare was noted
  const int rc = sqlite3_step(stmt_);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) store_.noteFailure();
  return rc;
}

bool Query::run() {
  int rc;
  while ((rc = step()) == SQLITE_ROW) {
  }
  return rc == SQLITE_DONE;
}

int64_t Query::changes() const { return sqlite3_changes64(store_.db()); }

int64_t Query::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

bool Query::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string Query::text(int column) const {
  const unsigned char* data = sqlite3_column_text(stmt_, column);
  int length = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length))
              : std::string();
}

std::string Query::blob(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int length = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(length))
              : std::string();
}

Transaction::Transaction(Store& store) : store_(store) {
  store_.commitInDoubt_ = false;
  store_.releasedInCommit_ = false;
  store_.gate_.awaitHolder();
  Query begin(store_, "BEGIN IMMEDIATE");
  begun_ = begin.run();
  if (begun_) store_.gate_.holding();
}

Transaction::~Transaction() {
  // A COMMIT that failed after the transaction ended (the shared sync) leaves nothing to
  // roll back, and the rollback's own error would hide the commit's.
  if (!begun_ || done_ || sqlite3_get_autocommit(store_.db())) return;
  Query rollback(store_, "ROLLBACK");
  rollback.run();
  store_.gate_.released();
}

bool Transaction::commit() {
  if (!begun_ || done_) return false;
  Query commit(store_, "COMMIT");
  done_ = commit.run();
  // A transaction that wrote nothing ends without the commit hook, yet held the lock. One
  // that wrote was released in the hook: a second release would wake its waiters again
  // (a futex call each commit) and move the count they sleep on for nothing.
  if (!store_.releasedInCommit_) store_.gate_.released();
  // SQLite words a failure of the commit hook as a generic error: the sync's own is noted.
  if (!done_ && store_.commitInDoubt_)
    store_.noteFailure(store_.syncFailure_,
                       std::string("the write-ahead log could not be synced: ") +
                           sqlite3_errstr(store_.syncFailure_));
  return done_;
}

}  // namespace qlx
