// A power-loss simulator for the broker's database, for tests only. The recording VFS sits
// where the platform's default VFS was (the batching VFS wraps it like any default): it
// passes every call through, so the processes under test behave as on the real disk, and
// also keeps a trace of what changed the files of one broker home: each write and
// truncate, each sync (which makes that file's earlier changes durable), the creation of
// a file (whose directory entry is durable only once the directory was synced) and its
// deletion. Test code adds marks to the same trace (a step of the workload returned, a
// commit was acknowledged), so that a crash image built from a prefix of the trace can be
// compared with what the callers were told (crashimage.h builds them).
//
// The VFS can also make calls fail as a failing disk does (ENOSPC or EIO on a write, a
// failed sync, a short write), to test what the broker does with them.
#ifndef QLX_CRASHSIM_CRASHVFS_H
#define QLX_CRASHSIM_CRASHVFS_H

#include <cstdint>
#include <string>
#include <vector>

namespace qlx::crashsim {

enum class OpKind : uint8_t {
  kWrite,     // `bytes` at `offset`
  kTruncate,  // to `offset` bytes
  kSync,      // the file's changes before operation `offset` (the sync's start) are durable
  kCreate,    // the file was created; its directory entry is not yet durable
  kDirSync,   // the directory entries of the file's folder are durable
  kDelete,    // the file was removed; durable once its folder is synced
  kMark,      // a mark of the test (`offset` its kind, `bytes` its text)
};

struct Op {
  OpKind kind;
  int file;  // index into Trace::files, -1 for marks and directory syncs
  int64_t offset;
  std::string bytes;
};

struct Trace {
  std::vector<std::string> files;  // paths relative to the home
  std::vector<Op> ops;
};

// Registers the recording VFS as the process's default, wrapping the platform's. Must run
// before the broker opens its first database (the batching VFS takes the default it finds
// then). Idempotent.
void install();

// Starts a fresh trace of the files under `home` (an absolute path); calls on other files
// pass through unrecorded. Processes forked from this one while it records add their
// operations (and marks) to the same trace.
void startRecording(const std::string& home);
// Stops recording and hands the trace over (call it once every forked writer has ended).
Trace stopRecording();
// Appends a mark to the trace; its position is the number of operations before it.
size_t mark(int kind, const std::string& text);

// The syncs of write-ahead logs this process made through the VFS so far, recording or not.
uint64_t logSyncs();

// Failures of the disk, through the same VFS, on files of the recorded home (recording or
// not). Each armed failure fires once; `after` calls of its kind pass first.
enum class Failure : uint8_t { kNone, kWriteNoSpace, kWriteIo, kShortWrite, kSync };
void armFailure(Failure failure, int after = 0);
// Whether an armed failure has fired since it was armed.
bool failureFired();
// While set, every write of the recorded home fails with ENOSPC (a full disk) until cleared.
void setDiskFull(bool full);

}  // namespace qlx::crashsim

#endif  // QLX_CRASHSIM_CRASHVFS_H
