// Checks of crash images against what a workload told its callers: the home opens, the
// database passes SQLite's integrity check, the broker recovers it without losing a
// message, and the messages form a state the callers may see after that crash.
#ifndef QLX_CRASHSIM_CRASHCHECK_H
#define QLX_CRASHSIM_CRASHCHECK_H

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "crashimage.h"

namespace qlx::crashsim {

// The messages of a home, one "queue|head of body|length|hash" entry each, sorted: a
// state compares equal whatever the ids, order or backout counts.
using BrokerState = std::vector<std::string>;
BrokerState readState(sqlite3* db);

// What the workload told its callers, by trace position.
struct Expectation {
  std::vector<std::pair<size_t, BrokerState>> steps;  // state after each step (and at 0)
  std::vector<std::pair<size_t, std::string>> acks;   // heads of bodies acknowledged committed
  // Concurrent committers, [start, end]: the heads of phase k's bodies begin "g<k>." and
  // hold a '_'.
  std::vector<std::pair<size_t, size_t>> phases;
};

struct ExploreResult {
  size_t available = 0;  // crash points of the trace
  size_t points = 0;     // crash points explored
  size_t images = 0;     // checked: no image twice at one point
  size_t distinct = 0;   // of them, not seen at any earlier point either
  size_t repeats = 0;    // drawn again at a point and not checked twice
  size_t failures = 0;
  std::string firstFailure;
};

// Checks `files`, a crash at `point`, in the folder `dir`: empty when sound, else what is
// wrong. `full`: every acknowledged commit must be there (else a prefix no shorter than
// the last sync covered).
std::string checkImage(const Files& files, size_t point, const CrashImages& images,
                       const Expectation& expect, bool full, const std::string& dir);

// The crash points, QLX_CRASH_IMAGES distinct images each (default 3; fewer where the
// point has fewer to give): at most QLX_CRASH_POINTS of them spread evenly over the trace
// (default 300, 100 under the sanitizers; 0 for every one). Progress goes to stderr every
// 5,000 images. Failing images are kept in /tmp/qlxcrash-kept/NAME-POINT-N.
ExploreResult exploreAll(const CrashImages& images, const Expectation& expect, bool full,
                         const std::string& dir, const std::string& name);

}  // namespace qlx::crashsim

#endif  // QLX_CRASHSIM_CRASHCHECK_H
