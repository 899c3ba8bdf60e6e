// Crash images: the files a power loss at a chosen point of a recorded trace (crashvfs.h)
// may leave. Every file starts from its copy taken when recording began (the home was
// made durable then); a file's changes up to its last sync before the crash point are
// applied; each later change is, independently per file and per write, kept, dropped or
// torn (some of its 512-byte sectors reach the disk, others do not), applied in program
// order so a sector holds the bytes of some write to it, as the kernel's writeback in any
// order may leave it. A file created after its folder was last synced may be missing.
//
// A removal is undone by a crash, the file back as the disk held it, until its folder is
// synced. The files the store writes without SQLite and without a sync (lease claim lists,
// wake files) are traced write by write like the database's and fare the same way. The
// control page, written through a shared mapping, and the log cannot be traced so: they
// come back as they were when recording began or as at the last mark before the crash
// point, each file chosen independently; a mapped file may also come back torn word by
// word between the two (its page written back while the processes stored into it).
#ifndef QLX_CRASHSIM_CRASHIMAGE_H
#define QLX_CRASHSIM_CRASHIMAGE_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "crashvfs.h"

namespace qlx::crashsim {

// The contents of a home's files by relative path (a missing file has no entry).
using Files = std::map<std::string, std::string>;

// Reads every regular file under `home` except the shared-memory index (rebuilt after a
// crash); without `database`, only the files written without SQLite.
Files snapshotHome(const std::string& home, bool database = true);
// Writes `files` into `dir` (made empty first; folders 0700, files 0600), each file last
// modified long ago, as after the machine restarted. False on failure.
bool writeHome(const std::string& dir, const Files& files);

// How the changes not yet synced at the crash point fare.
enum class Fate : uint8_t {
  kNoneWritten,  // every unsynced change lost
  kAllWritten,   // every unsynced change reached the disk
  kRandom,       // each kept, dropped or torn at random
};

class CrashImages {
 public:
  // `base`: the durable files when recording began; `trace`: what followed; `marks`: the
  // copies of the files written without SQLite, taken at each mark (by its trace position).
  CrashImages(Files base, Trace trace, std::map<size_t, Files> sideFiles);
  ~CrashImages();
  CrashImages(const CrashImages&) = delete;
  CrashImages& operator=(const CrashImages&) = delete;

  // The positions at which a crash can fall: before each operation that changes a file or
  // makes one durable, and after the last.
  std::vector<size_t> crashPoints() const;
  // The files a crash just before operation `point` may leave. Cheapest when called with
  // points in increasing order (the replay of the trace is carried on); not for use from
  // several threads at once.
  Files image(size_t point, Fate fate, std::mt19937_64& random) const;
  // The position before which every change of the file named `name` is durable at a crash
  // at `point` (made so by its syncs), or nullopt when no sync of it came before `point`.
  std::optional<size_t> syncedBefore(const std::string& name, size_t point) const;
  // The messages the connections held at some moment from `from` up to `point`: the claim
  // lists of the lease files as the program wrote them (every write in place), whatever a
  // crash then kept of them.
  std::set<int64_t> claimsBetween(size_t from, size_t point) const;
  const Trace& trace() const { return trace_; }

 private:
  struct FileState;
  const std::vector<FileState>& _statesAt(size_t point) const;
  void _apply(const Op& op, std::vector<FileState>& states) const;
  std::string _content(const FileState& s, Fate fate, std::mt19937_64& random) const;
  void _sideFiles(size_t point, std::mt19937_64& random, Files& out) const;

  Files base_;
  Trace trace_;
  std::map<size_t, Files> sideFiles_;
  std::set<std::string> traced_;  // the files of the trace
  // The replay of the trace so far (a cache: image() stays a const query).
  mutable std::unique_ptr<std::vector<FileState>> replay_;
  mutable size_t replayedTo_ = 0;
};

}  // namespace qlx::crashsim

#endif  // QLX_CRASHSIM_CRASHIMAGE_H
