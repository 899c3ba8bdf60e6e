// Directory entries kept by a connection between requests. A component asks the
// directory for the same few entries on every request it serves, and reading them from the
// database each time cost about a fifth of its own work; a connection keeps what it read and
// serves it again for as long as no edit of the directory has begun since.
//
// What tells it is a generation word shared by every process of the home. It is even
// while no edit is under way. An edit raises it to an odd value once it holds the
// database's write lock, and after its transaction ended by one more (to even), unless
// another edit began meanwhile. The word only ever grows, so a reader that noted it before
// reading learns of every commit made after: the word has moved by its next get. An edit
// that dies between its commit and its last raise leaves the word odd; readers then go to
// the database on every get until the next edit completes.
#ifndef QLX_DIRECTORY_CACHE_H
#define QLX_DIRECTORY_CACHE_H

#include <atomic>
#include <cstdint>

#include "directory.h"

namespace qlx {

// Marks one edit of the directory on the generation word, from construction (call it once
// the edit holds the write lock) to destruction (after its transaction ended, committed or
// not). The word is borrowed and must outlive the mark.
class DirectoryEditMark {
 public:
  explicit DirectoryEditMark(std::atomic<uint32_t>& word);
  ~DirectoryEditMark();
  DirectoryEditMark(const DirectoryEditMark&) = delete;
  DirectoryEditMark& operator=(const DirectoryEditMark&) = delete;

 private:
  std::atomic<uint32_t>& word_;
  uint32_t began_;  // the odd value this edit set
};

// A lookup that answers from what `inner` answered before while the generation word
// (borrowed; null: no caching, every get goes to `inner`) has not moved. Entries found and
// entries missing are kept; failed reads are not. At most kDirectoryCacheEntries names are
// kept; past that the cache starts over.
inline constexpr size_t kDirectoryCacheEntries = 64;
DirectoryLookup cachingLookup(DirectoryLookup inner, const std::atomic<uint32_t>* word);

}  // namespace qlx

#endif  // QLX_DIRECTORY_CACHE_H
