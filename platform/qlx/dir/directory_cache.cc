// The generation word's marks and the caching lookup.
#include "directory_cache.h"

#include <map>
#include <memory>
#include <string>
#include <utility>

namespace qlx {
namespace {

// The next odd value above `value`: always a change, even from an odd word left behind by
// an edit that died.
uint32_t nextOdd(uint32_t value) { return (value + 2) | 1u; }

struct Kept {
  int found;  // 1 or 0, as the inner lookup answered
  DirectoryRead read;
};

class DirectoryCache {
 public:
  DirectoryCache(DirectoryLookup inner, const std::atomic<uint32_t>* word)
      : inner_(std::move(inner)), word_(word) {}

  int lookup(int type, const std::string& name, DirectoryRead& read);

 private:
  DirectoryLookup inner_;
  const std::atomic<uint32_t>* const word_;
  uint32_t generation_ = 1;  // odd: nothing kept yet
  std::map<std::pair<int, std::string>, Kept, std::less<>> kept_;
};

int DirectoryCache::lookup(int type, const std::string& name, DirectoryRead& read) {
  if (!word_) return inner_(type, name, read);
  // Noted before the read: an edit committed after this moves the word before the next get.
  const uint32_t now = word_->load(std::memory_order_seq_cst);
  if (now & 1u) return inner_(type, name, read);
  if (now != generation_) {
    kept_.clear();
    generation_ = now;
  }
  auto key = std::make_pair(type, name);
  auto found = kept_.find(key);
  if (found != kept_.end()) {
    read = found->second.read;
    return found->second.found;
  }
  const int result = inner_(type, name, read);
  if (result < 0) return result;
  if (kept_.size() >= kDirectoryCacheEntries) kept_.clear();
  kept_.emplace(std::move(key), Kept{result, read});
  return result;
}

}  // namespace

DirectoryEditMark::DirectoryEditMark(std::atomic<uint32_t>& word) : word_(word) {
  uint32_t value = word_.load(std::memory_order_seq_cst);
  while (!word_.compare_exchange_weak(value, nextOdd(value), std::memory_order_seq_cst)) {
  }
  began_ = nextOdd(value);
}

// Only the edit that made the word odd makes it even again: one that began meanwhile may
// not have committed yet.
DirectoryEditMark::~DirectoryEditMark() {
  uint32_t expected = began_;
  word_.compare_exchange_strong(expected, began_ + 1, std::memory_order_seq_cst);
}

DirectoryLookup cachingLookup(DirectoryLookup inner, const std::atomic<uint32_t>* word) {
  auto cache = std::make_shared<DirectoryCache>(std::move(inner), word);
  return [cache](int type, const std::string& name, DirectoryRead& read) {
    return cache->lookup(type, name, read);
  };
}

}  // namespace qlx
