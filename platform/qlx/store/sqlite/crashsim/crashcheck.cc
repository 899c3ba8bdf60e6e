// Checking crash images.
#include "crashcheck.h"

#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "connection.h"
#include "leasesweep.h"
#include "sqlite_broker.h"

namespace qlx::crashsim {
namespace {

constexpr size_t kHead = 24;

// Crash points explored when QLX_CRASH_POINTS is unset: the suite's share of a minute, a
// third of that under the sanitizers, which make each image some ten times dearer.
#ifdef __SANITIZE_ADDRESS__
constexpr size_t kDefaultPoints = 100;
#else
constexpr size_t kDefaultPoints = 300;
#endif

std::string entryBody(const std::string& entry) { return entry.substr(entry.find('|') + 1); }
std::string entryHead(const std::string& entry) {
  const std::string body = entryBody(entry);
  return body.substr(0, body.find('|'));
}

std::string describe(const BrokerState& state) {
  std::string out;
  for (const std::string& entry : state) out += " [" + entry + "]";
  return out.empty() ? " (empty)" : out;
}

std::string integrity(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  std::string out = "no result";
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0))
    out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  else
    out = sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  return out;
}

// A body must never be there twice (the workload's bodies are all different, and a
// forwarded request leaves its queue in the unit that puts the response).
std::string twice(const BrokerState& state) {
  std::set<std::string> seen;
  for (const std::string& entry : state)
    if (!seen.insert(entryBody(entry)).second) return "a message is there twice: " + entry;
  return std::string();
}

// The messages of concurrent committers ("g" heads with a '.' and a '_': g<phase>.<committer>_<n>)
// apart from the rest of a state.
struct Split {
  BrokerState rest;
  std::set<std::string> committers;
};

Split split(const BrokerState& state) {
  Split out;
  for (const std::string& entry : state) {
    const std::string head = entryHead(entry);
    if (head.size() > 1 && head[0] == 'g' && head.find('.') != std::string::npos &&
        head.find('_') != std::string::npos)
      out.committers.insert(head);
    else
      out.rest.push_back(entry);
  }
  return out;
}

// The state after the last step at or before `position`.
const BrokerState& stateAt(const Expectation& expect, size_t position) {
  const BrokerState* before = &expect.steps.front().second;
  for (const auto& [at, s] : expect.steps)
    if (at <= position) before = &s;
  return *before;
}

// The position before which every commit is durable at `point`: the start of the log's
// last sync. A sync of the database file does not count: a checkpoint syncs it after
// copying the frames it found when it began (the log was synced before those were
// copied), while other connections go on appending commits that only the log holds, and
// one of them may return between the checkpoint's look at the log and its sync.
size_t syncedCover(const CrashImages& images, size_t point) {
  return images.syncedBefore("broker.db-wal", point).value_or(0);
}

// The state as a phase of concurrent committers left it: everything else as at the
// phase's start, the committers' messages of before still there, some of the phase's own
// ones, and every one acknowledged before `required`. Empty when it is such a state.
std::string midPhase(const Split& state, size_t index, size_t required,
                     const Expectation& expect) {
  const std::pair<size_t, size_t>& phase = expect.phases[index];
  const Split before = split(stateAt(expect, phase.first));
  if (state.rest != before.rest)
    return "outside the committers' messages:" + describe(state.rest) + " instead of" +
           describe(before.rest);
  for (const std::string& head : before.committers)
    if (!state.committers.count(head)) return "earlier commit of " + head + " lost";
  const std::string own = "g" + std::to_string(index) + ".";
  for (const std::string& head : state.committers)
    if (!before.committers.count(head) && head.compare(0, own.size(), own) != 0)
      return "a later commit " + head + " is there without the commits before it";
  for (const auto& [at, head] : expect.acks)
    if (at > phase.first && at < required && !state.committers.count(head))
      return "acknowledged commit of " + head + " lost";
  return std::string();
}

// The position of the oldest step whose state a crash at `point` may leave: the step the
// crash interrupted in FULL, in NORMAL the last one the syncs made durable.
size_t oldestAllowed(size_t point, const CrashImages& images, const Expectation& expect,
                     bool full) {
  const size_t bound = full ? point : std::min(point, syncedCover(images, point));
  size_t oldest = 0;
  for (const auto& step : expect.steps)
    if (step.first < bound) oldest = step.first;
  return oldest;
}

// Sequential steps: the state after step j for some j between what must be durable and
// the step the crash interrupted. In NORMAL the commits of a phase of concurrent
// committers that began after what must be durable may be there in part.
std::string checkPrefix(const BrokerState& state, size_t point, const CrashImages& images,
                        const Expectation& expect, bool full) {
  size_t lastDone = 0;
  for (size_t i = 0; i < expect.steps.size(); ++i)
    if (expect.steps[i].first < point) lastDone = i;
  size_t lo = lastDone;
  const size_t synced = syncedCover(images, point);
  if (!full) {
    lo = 0;
    for (size_t i = 0; i < expect.steps.size(); ++i)
      if (expect.steps[i].first < synced) lo = i;
  }
  const size_t hi = std::min(lastDone + 1, expect.steps.size() - 1);
  for (size_t j = lo; j <= hi; ++j)
    if (expect.steps[j].second == state) return std::string();
  if (!full) {
    const Split parts = split(state);
    for (size_t k = 0; k < expect.phases.size(); ++k)
      if (expect.phases[k].first >= expect.steps[lo].first && expect.phases[k].first < point &&
          midPhase(parts, k, synced, expect).empty())
        return std::string();
  }
  return "state" + describe(state) + " is none of steps " + std::to_string(lo) + ".." +
         std::to_string(hi) + " (step " + std::to_string(lo) + ":" +
         describe(expect.steps[lo].second) + ")";
}

// A crash inside a phase of concurrent committers. In NORMAL the commits before the
// phase may be lost too: then none of the phase's may be there.
std::string checkPhase(const BrokerState& state, size_t point, size_t index,
                       const CrashImages& images, const Expectation& expect, bool full) {
  const Split parts = split(state);
  const std::string bad =
      midPhase(parts, index, full ? point : syncedCover(images, point), expect);
  if (bad.empty() || full) return bad;
  const std::string prefix = checkPrefix(state, point, images, expect, full);
  return prefix.empty() ? prefix : prefix + "; nor a state of the phase: " + bad;
}

// The backout count of each message by id.
std::map<int64_t, int64_t> backouts(sqlite3* db) {
  std::map<int64_t, int64_t> counts;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT id, backout FROM message", -1, &stmt, nullptr) != SQLITE_OK)
    return counts;
  while (sqlite3_step(stmt) == SQLITE_ROW)
    counts[sqlite3_column_int64(stmt, 0)] = sqlite3_column_int64(stmt, 1);
  sqlite3_finalize(stmt);
  return counts;
}

// Recovery raises the backout count of a message by one when a connection held it at the
// crash (or not at all, when the lease's list was lost); never any other's.
std::string raisedWrongly(const std::map<int64_t, int64_t>& before,
                          const std::map<int64_t, int64_t>& after, const std::set<int64_t>& held) {
  for (const auto& [id, count] : after) {
    auto was = before.find(id);
    if (was == before.end() || count == was->second) continue;
    if (count == was->second + 1 && held.count(id)) continue;
    return "recovery raised the backout count of message " + std::to_string(id) + " from " +
           std::to_string(was->second) + " to " + std::to_string(count) +
           (held.count(id) ? "" : ", a message no connection held");
  }
  return std::string();
}

// The lease tokens of the connections registered in the database.
std::vector<std::string> connectionTokens(sqlite3* db) {
  std::vector<std::string> tokens;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT token FROM connection", -1, &stmt, nullptr) != SQLITE_OK)
    return tokens;
  while (sqlite3_step(stmt) == SQLITE_ROW)
    if (const unsigned char* token = sqlite3_column_text(stmt, 0))
      tokens.emplace_back(reinterpret_cast<const char*>(token));
  sqlite3_finalize(stmt);
  return tokens;
}

// After recovery no connection of before the crash is left, nor its lease file; after the
// sweep of the next connection, no lease file at all (those of connections that never
// registered, or whose removal the crash undid, included).
std::string staleLeft(SqliteBrokerStore& store, const std::string& dir,
                      const std::vector<std::string>& tokens) {
  if (const std::vector<std::string> left = connectionTokens(store.sql().db()); !left.empty())
    return "recovery left the connection with lease " + left.front();
  for (const std::string& token : tokens)
    if (access((dir + "/lease/" + token).c_str(), F_OK) == 0)
      return "recovery left the lease file of " + token;
  reclaimOrphanLeases(store.sql(), time(nullptr));
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/lease", ec))
    return "the lease sweep left " + entry.path().filename().string();
  return std::string();
}

// In FULL a commit after the restart is acknowledged only once a sync covered it, whatever
// the control page's counters came back as.
std::string commitUnsynced(SqliteBrokerStore& store) {
  MessageRow row;
  row.queue = "element:H";
  row.body = "after the restart";
  const uint64_t before = logSyncs();
  if (!store.put(row)) return "a put after the restart failed: " + store.errorText();
  return logSyncs() > before ? std::string()
                             : "a commit after the restart was acknowledged without a sync";
}

// Opens the image as a broker connection would: recovery of the ended connections must
// keep every message.
std::string checkBrokerOpen(const std::string& dir, const BrokerState& state,
                            const std::set<int64_t>& held, bool full) {
  const char* was = std::getenv("QLX_HOME");
  const std::string saved = was ? was : "";
  setenv("QLX_HOME", dir.c_str(), 1);
  // The broker restarts in the mode the workload ran in, whatever this process's is.
  const char* mode = std::getenv("QLX_SYNC");
  const std::optional<std::string> savedMode =
      mode ? std::optional<std::string>(mode) : std::nullopt;
  if (full) setenv("QLX_SYNC", "FULL", 1);
  std::string error;
  std::map<int64_t, int64_t> before;
  {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((dir + "/broker.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK)
      before = backouts(db);
    sqlite3_close_v2(db);
  }
  {
    SqliteBrokerStore store;
    if (!store.open(error)) {
      error = "the broker cannot open it: " + error;
    } else {
      const std::vector<std::string> tokens = connectionTokens(store.sql().db());
      std::vector<std::string> returned;
      store.recoverEnded(returned);
      const BrokerState after = readState(store.sql().db());
      error = after != state ? "recovery changed the messages to" + describe(after)
                             : staleLeft(store, dir, tokens);
      if (error.empty()) error = raisedWrongly(before, backouts(store.sql().db()), held);
      if (error.empty() && full) error = commitUnsynced(store);
    }
  }
  setenv("QLX_HOME", saved.c_str(), 1);
  if (savedMode)
    setenv("QLX_SYNC", savedMode->c_str(), 1);
  else
    unsetenv("QLX_SYNC");
  return error;
}

// Random images of a point drawn at most this many times its image count: past that it
// has no more distinct ones to give.
constexpr size_t kTriesPerImage = 3;

// What a restart reads of an image: every file but the log and the counters (nothing reads
// them back), hashed.
uint64_t digestOf(const Files& files) {
  uint64_t digest = 1469598103934665603ull;
  for (const auto& [relative, content] : files) {
    if (relative == "log" || relative == "metrics") continue;
    digest = (digest ^ std::hash<std::string>{}(relative)) * 1099511628211ull;
    digest = (digest ^ std::hash<std::string>{}(content)) * 1099511628211ull;
  }
  return digest;
}

void progress(const std::string& name, const ExploreResult& result, size_t points,
              std::chrono::steady_clock::time_point started) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now() - started).count();
  std::fprintf(stderr, "%s: %zu of %zu crash points, %zu images (%zu distinct, %zu repeats "
               "skipped), %zu failed, %lld s\n", name.c_str(), result.points, points,
               result.images, result.distinct, result.repeats, result.failures,
               static_cast<long long>(seconds));
}

}  // namespace

BrokerState readState(sqlite3* db) {
  BrokerState state;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT queue, body FROM message", -1, &stmt, nullptr) != SQLITE_OK) {
    state.push_back(std::string("?unreadable: ") + sqlite3_errmsg(db));
    return state;
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const auto* queue = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, 1));
    const std::string body(data ? data : "", static_cast<size_t>(sqlite3_column_bytes(stmt, 1)));
    char hash[24];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(std::hash<std::string>{}(body)));
    state.push_back(std::string(queue ? queue : "") + "|" + body.substr(0, kHead) + "|" +
                    std::to_string(body.size()) + "|" + hash);
  }
  if (rc != SQLITE_DONE) state.push_back(std::string("?unreadable: ") + sqlite3_errmsg(db));
  sqlite3_finalize(stmt);
  std::sort(state.begin(), state.end());
  return state;
}

std::string checkImage(const Files& files, size_t point, const CrashImages& images,
                       const Expectation& expect, bool full, const std::string& dir) {
  if (!writeHome(dir, files)) return "cannot write the image to " + dir;
  sqlite3* db = nullptr;
  const std::string path = dir + "/broker.db";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    const std::string why = db ? sqlite3_errmsg(db) : "no memory";
    sqlite3_close_v2(db);
    return "does not open: " + why;
  }
  const std::string check = integrity(db);
  const BrokerState state = readState(db);
  sqlite3_close_v2(db);
  if (check != "ok") return "integrity_check: " + check;
  if (std::string dup = twice(state); !dup.empty()) return dup;
  const auto opened = [&] {
    const size_t oldest = oldestAllowed(point, images, expect, full);
    return checkBrokerOpen(dir, state, images.claimsBetween(oldest, point), full);
  };
  for (size_t k = 0; k < expect.phases.size(); ++k)
    if (expect.phases[k].first < point && point <= expect.phases[k].second) {
      if (std::string bad = checkPhase(state, point, k, images, expect, full); !bad.empty())
        return bad;
      return opened();
    }
  if (std::string bad = checkPrefix(state, point, images, expect, full); !bad.empty()) return bad;
  return opened();
}

ExploreResult exploreAll(const CrashImages& images, const Expectation& expect, bool full,
                         const std::string& dir, const std::string& name) {
  ExploreResult result;
  const char* setting = std::getenv("QLX_CRASH_IMAGES");
  const size_t perPoint =
      setting && std::atoi(setting) > 0 ? static_cast<size_t>(std::atoi(setting)) : 3;
  const char* limitSetting = std::getenv("QLX_CRASH_POINTS");
  const size_t limit = limitSetting ? static_cast<size_t>(std::atoi(limitSetting))
                                     : kDefaultPoints;
  // Every image copies a database and its log (megabytes) several times: kept on the heap
  // rather than mapped and unmapped per copy, which costs page faults and TLB flushes.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  const std::vector<size_t> all = images.crashPoints();
  std::vector<size_t> points;
  if (limit == 0 || all.size() <= limit)
    points = all;
  else
    for (size_t i = 0; i < limit; ++i) points.push_back(all[i * all.size() / limit]);
  result.available = all.size();
  const auto started = std::chrono::steady_clock::now();
  std::set<uint64_t> seen;  // every image of the run, whatever its point
  for (size_t point : points) {
    ++result.points;
    std::set<uint64_t> here;  // a point with few unsynced writes has few images to give
    for (size_t n = 0, made = 0; made < perPoint && n < perPoint * kTriesPerImage; ++n) {
      std::mt19937_64 random(point * 1000003u + n);
      const Fate fate = n == 0 ? Fate::kNoneWritten : n == 1 ? Fate::kAllWritten : Fate::kRandom;
      const Files files = images.image(point, fate, random);
      const uint64_t digest = digestOf(files);
      if (!here.insert(digest).second) {
        ++result.repeats;
        continue;
      }
      ++made;
      result.distinct += seen.insert(digest).second ? 1 : 0;
      if (++result.images % 5000 == 0)
        progress(name, result, points.size(), started);
      const std::string bad = checkImage(files, point, images, expect, full, dir);
      if (bad.empty()) continue;
      const std::string kept = "/tmp/qlxcrash-kept/" + name + "-" + std::to_string(point) +
                               "-" + std::to_string(n);
      writeHome(kept, files);
      if (++result.failures == 1)
        result.firstFailure = "crash before operation " + std::to_string(point) + ", image " +
                              std::to_string(n) + " (kept in " + kept + "): " + bad;
      if (result.failures <= 5)
        std::fprintf(stderr, "%s: point %zu image %zu: %s\n", name.c_str(), point, n, bad.c_str());
    }
  }
  progress(name, result, points.size(), started);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return result;
}

}  // namespace qlx::crashsim
