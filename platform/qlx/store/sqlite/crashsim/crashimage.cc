// Building crash images from a trace.
#include "crashimage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <iterator>
#include <memory>

namespace qlx::crashsim {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kSector = 512;

std::string folderOf(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

bool isDatabaseFile(const std::string& relative) {
  return relative.compare(0, 9, "broker.db") == 0;
}

// Applies the sectors of `op` that `keep` accepts (all of them for a whole write).
template <typename Keep>
void applyWrite(std::string& content, const Op& op, Keep keep) {
  const int64_t end = op.offset + static_cast<int64_t>(op.bytes.size());
  for (int64_t from = op.offset; from < end;) {
    const int64_t to = std::min(end, (from / kSector + 1) * kSector);
    if (keep()) {
      if (static_cast<int64_t>(content.size()) < to) content.resize(static_cast<size_t>(to), '\0');
      content.replace(static_cast<size_t>(from), static_cast<size_t>(to - from), op.bytes,
                      static_cast<size_t>(from - op.offset), static_cast<size_t>(to - from));
    }
    from = to;
  }
}

void applyWhole(std::string& content, const Op& op) {
  if (op.kind == OpKind::kTruncate)
    content.resize(static_cast<size_t>(op.offset), '\0');
  else
    applyWrite(content, op, [] { return true; });
}

}  // namespace

struct CrashImages::FileState {
  bool exists = false;
  bool entryDurable = true;
  std::string durable;
  std::vector<const Op*> pending;
  // A removal not yet made durable by a sync of the folder: a crash may bring the file
  // back as it was on the disk then.
  std::shared_ptr<FileState> ghost;
};

Files snapshotHome(const std::string& home, bool database) {
  Files files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(home, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string relative = fs::relative(it->path(), home, ec).string();
    if (relative.size() >= 4 && relative.compare(relative.size() - 4, 4, "-shm") == 0) continue;
    if (!database && isDatabaseFile(relative)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    files[relative].assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return files;
}

bool writeHome(const std::string& dir, const Files& files) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (!fs::create_directories(dir, ec)) return false;
  chmod(dir.c_str(), 0700);
  for (const auto& [relative, content] : files) {
    const fs::path path = fs::path(dir) / relative;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) return false;
    out.close();
    chmod(path.c_str(), 0600);
    // What a disk holds after a power loss was written before the machine started again.
    const timespec longAgo[2] = {{86400, 0}, {86400, 0}};
    utimensat(AT_FDCWD, path.c_str(), longAgo, 0);
  }
  return true;
}

CrashImages::CrashImages(Files base, Trace trace, std::map<size_t, Files> sideFiles)
    : base_(std::move(base)),
      trace_(std::move(trace)),
      sideFiles_(std::move(sideFiles)),
      traced_(trace_.files.begin(), trace_.files.end()) {}

CrashImages::~CrashImages() = default;

std::vector<size_t> CrashImages::crashPoints() const {
  std::vector<size_t> points;
  for (size_t i = 0; i < trace_.ops.size(); ++i)
    if (trace_.ops[i].kind != OpKind::kMark) points.push_back(i);
  points.push_back(trace_.ops.size());
  return points;
}

std::optional<size_t> CrashImages::syncedBefore(const std::string& name, size_t point) const {
  std::optional<size_t> last;
  for (size_t i = 0; i < point && i < trace_.ops.size(); ++i) {
    const Op& op = trace_.ops[i];
    if (op.kind == OpKind::kSync && trace_.files[static_cast<size_t>(op.file)] == name)
      last = std::max(last.value_or(0), static_cast<size_t>(op.offset));
  }
  return last;
}

namespace {

size_t positionOf(const Trace& trace, const Op* op) {
  return static_cast<size_t>(op - trace.ops.data());
}

}  // namespace

void CrashImages::_apply(const Op& op, std::vector<FileState>& states) const {
  FileState& s = states[static_cast<size_t>(op.file)];
  switch (op.kind) {
    case OpKind::kWrite:
    case OpKind::kTruncate:
      // A file written without SQLite is traced from its first write: one written while
      // missing was made since, and its entry is not durable yet.
      if (!s.exists) {
        std::shared_ptr<FileState> ghost = std::move(s.ghost);
        s = FileState{true, false, std::string(), {}, std::move(ghost)};
      }
      s.pending.push_back(&op);
      break;
    case OpKind::kSync: {
      // Only what was written before the sync began is covered by it.
      std::vector<const Op*> later;
      for (const Op* change : s.pending)
        if (positionOf(trace_, change) < static_cast<size_t>(op.offset))
          applyWhole(s.durable, *change);
        else
          later.push_back(change);
      s.pending = std::move(later);
      break;
    }
    case OpKind::kCreate: {
      std::shared_ptr<FileState> ghost = std::move(s.ghost);
      s = FileState{true, false, std::string(), {}, std::move(ghost)};
      break;
    }
    case OpKind::kDirSync:
      for (size_t j = 0; j < states.size(); ++j)
        if (folderOf(trace_.files[j]) == folderOf(trace_.files[static_cast<size_t>(op.file)])) {
          states[j].entryDurable = true;
          states[j].ghost.reset();
        }
      break;
    case OpKind::kDelete: {
      // A file whose own entry was never durable leaves behind what was there before it.
      std::shared_ptr<FileState> ghost =
          s.entryDurable ? std::make_shared<FileState>(std::move(s)) : std::move(s.ghost);
      if (ghost) ghost->ghost.reset();
      s = FileState{false, true, std::string(), {}, std::move(ghost)};
      break;
    }
    case OpKind::kMark:
      break;
  }
}

// What of `s` reaches the disk: its durable content and, by `fate`, its later changes.
std::string CrashImages::_content(const FileState& s, Fate fate, std::mt19937_64& random) const {
  std::bernoulli_distribution coin(0.5);
  // A random image picks per file: nothing written back, everything, or write by write.
  const int mode = fate == Fate::kNoneWritten ? 0
                   : fate == Fate::kAllWritten ? 1
                                                : static_cast<int>(random() % 3);
  std::string content = s.durable;
  for (const Op* change : s.pending) {
    const int fateOfWrite = mode == 2 ? static_cast<int>(random() % 3) : mode;
    if (fateOfWrite == 1)
      applyWhole(content, *change);
    else if (fateOfWrite == 2 && change->kind == OpKind::kWrite)
      applyWrite(content, *change, [&] { return coin(random); });
  }
  return content;
}

// The files as the trace left them just before operation `point`: carried on from the
// last call when it asked for an earlier point (the exploration walks the trace forwards,
// so each operation is applied once, not once per image), else replayed from the start.
const std::vector<CrashImages::FileState>& CrashImages::_statesAt(size_t point) const {
  point = std::min(point, trace_.ops.size());
  if (!replay_ || point < replayedTo_) {
    replay_ = std::make_unique<std::vector<FileState>>(trace_.files.size());
    replayedTo_ = 0;
    for (size_t i = 0; i < trace_.files.size(); ++i) {
      auto found = base_.find(trace_.files[i]);
      if (found == base_.end()) continue;
      (*replay_)[i].exists = true;
      (*replay_)[i].durable = found->second;
    }
  }
  for (; replayedTo_ < point; ++replayedTo_)
    if (trace_.ops[replayedTo_].kind != OpKind::kMark) _apply(trace_.ops[replayedTo_], *replay_);
  return *replay_;
}

Files CrashImages::image(size_t point, Fate fate, std::mt19937_64& random) const {
  const std::vector<FileState>& states = _statesAt(point);
  // Database files the trace never touched stay as they were; the others are rebuilt.
  Files out = base_;
  for (const std::string& name : trace_.files) out.erase(name);
  std::bernoulli_distribution coin(0.5);
  // Whether a change of a folder's entries that was not synced is lost.
  const auto entryLost = [&] {
    return fate == Fate::kNoneWritten || (fate == Fate::kRandom && coin(random));
  };
  for (size_t i = 0; i < states.size(); ++i) {
    const FileState& s = states[i];
    const FileState* shown = s.exists ? &s : nullptr;
    if ((s.exists && !s.entryDurable) || (!s.exists && s.ghost))
      if (entryLost()) shown = s.ghost.get();
    if (shown) out[trace_.files[i]] = _content(*shown, fate, random);
  }
  _sideFiles(point, random, out);
  return out;
}

namespace {

// Adds the ids of a claim list (8-byte ids in the order taken, ended by one not above 0).
void addClaims(const std::string& list, std::set<int64_t>& held) {
  for (size_t at = 0; at + sizeof(int64_t) <= list.size(); at += sizeof(int64_t)) {
    int64_t id = 0;
    std::memcpy(&id, list.data() + at, sizeof id);
    if (id <= 0) break;
    held.insert(id);
  }
}

bool isLease(const std::string& relative) { return relative.compare(0, 6, "lease/") == 0; }

// Files the store writes through a shared mapping: the kernel writes their pages back
// while the processes go on storing into them, so a page on the disk may hold each word as
// at a different moment.
bool isMapped(const std::string& relative) {
  return relative == "control" || relative == "metrics";
}

// `older` with each aligned 4-byte word taken from `newer` or not, at random: a writeback
// that copied the words at different moments between the two.
std::string wordsOf(const std::string& older, const std::string& newer, std::mt19937_64& random) {
  std::string out = newer;
  for (size_t at = 0; at + 4 <= out.size() && at + 4 <= older.size(); at += 4)
    if (random() % 2 == 0) out.replace(at, 4, older, at, 4);
  return out;
}

}  // namespace

std::set<int64_t> CrashImages::claimsBetween(size_t from, size_t point) const {
  Files leases;
  for (const auto& [relative, content] : base_)
    if (isLease(relative)) leases[relative] = content;
  std::set<int64_t> held;
  for (size_t i = 0; i < point && i < trace_.ops.size(); ++i) {
    if (i == from)
      for (const auto& lease : leases) addClaims(lease.second, held);
    const Op& op = trace_.ops[i];
    if (op.kind == OpKind::kMark) continue;
    const std::string& name = trace_.files[static_cast<size_t>(op.file)];
    if (!isLease(name)) continue;
    if (op.kind == OpKind::kDelete) {
      leases.erase(name);
    } else if (op.kind == OpKind::kWrite || op.kind == OpKind::kTruncate) {
      applyWhole(leases[name], op);
      if (i >= from) addClaims(leases[name], held);
    }
  }
  if (from >= point)
    for (const auto& lease : leases) addClaims(lease.second, held);
  return held;
}

// Each file neither SQLite nor the shim traced (the mapped control page, the log): as when
// recording began, or as at the last mark before the crash point (a file made since then
// may be missing).
void CrashImages::_sideFiles(size_t point, std::mt19937_64& random, Files& out) const {
  auto after = sideFiles_.upper_bound(point == 0 ? 0 : point - 1);
  if (after == sideFiles_.begin()) return;
  const Files& latest = std::prev(after)->second;
  for (const auto& [relative, content] : latest) {
    if (isDatabaseFile(relative) || traced_.count(relative)) continue;
    const int fate = static_cast<int>(random() % (isMapped(relative) ? 3 : 2));
    if (fate == 0) continue;
    auto before = out.find(relative);
    out[relative] = fate == 1 || before == out.end() ? content
                                                     : wordsOf(before->second, content, random);
  }
}

}  // namespace qlx::crashsim
