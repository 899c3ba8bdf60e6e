#include "zvrhash.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <strings.h>

#include "catalog.h"
#include "erroradt.h"
#include "text.h"
#include "trc.h"
#include "zvrlog.h"

static trc::Module kTrace{"zvrutil"};

namespace {

// Copies at most zvrhash::kMaxText characters of `text`; a longer text is cut and the
// catalogued warning `id` is written to the log. Any pending error is dropped first so
// that the warning is the last word and nothing stale stays pending. Null when memory
// runs out.
std::unique_ptr<char[]> _copyText(const char* text, const char* id, const char* message) {
  trc::Scope trace(kTrace);
  size_t length = strnlen(text, zvrhash::kMaxText + 1);
  bool cut = length > zvrhash::kMaxText;
  if (cut) length = zvrhash::kMaxText;
  std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
  if (!copy) return nullptr;
  std::memcpy(copy.get(), text, length);
  copy[length] = '\0';
  if (cut) {
    zvrClearError();
    ErrorADT warning(id, 1, message);
    warning.writeLog();
  }
  return copy;
}

}  // namespace

zvrhash::zvrhash(int buckets) : buckets_(buckets) {
  trc::Scope trace(kTrace);
}

zvrhash::~zvrhash() {
  trc::Scope trace(kTrace);
  HashTableDelete();
}

int zvrhash::HashTableCreate() {
  trc::Scope trace(kTrace);
  HashTableDelete();
  if (buckets_ < 1) return trace.result(0);
  table_ = new (std::nothrow) ZvrHashBucket[buckets_]();
  return trace.result(table_ != nullptr ? 1 : 0);
}

int zvrhash::HashTableDelete() {
  trc::Scope trace(kTrace);
  if (table_ == nullptr) return trace.result(0);
  for (int b = 0; b < buckets_; ++b) {
    ZvrHashNode* node = table_[b].first;
    for (int n = 0; n < table_[b].count && node != nullptr; ++n) {
      ZvrHashNode* next = node->next;
      delete[] node->name;
      delete[] node->value;
      delete node;
      node = next;
    }
  }
  delete[] table_;
  table_ = nullptr;
  return trace.result(1);
}

unsigned zvrhash::HashKey(const void* key) const {
  trc::Scope trace(kTrace);
  return trace.result(_hashKey(key, SIZE_MAX));
}

unsigned zvrhash::_hashKey(const void* key, size_t maxLength) const {
  trc::Scope trace(kTrace);
  if (buckets_ < 1 || key == nullptr) return trace.result(0u);
  const unsigned char* p = static_cast<const unsigned char*>(key);
  const unsigned char* const end = p + strnlen(static_cast<const char*>(key), maxLength);
  uint32_t sum = 0;
  while (p < end) {
    uint32_t word = 0;
    for (int i = 0; i < 4 && p < end; ++i, ++p)
      word = (word << 8) | static_cast<uint32_t>(std::toupper(*p) & 0xFF);
    sum += word;  // unsigned: wraps at 2^32
  }
  return trace.result(static_cast<unsigned>(sum % static_cast<uint32_t>(buckets_)));
}

int zvrhash::AddEntry(const char* name, const char* value) {
  trc::Scope trace(kTrace);
  if (name == nullptr || value == nullptr) return trace.result(0);
  if (table_ == nullptr && !HashTableCreate()) return trace.result(0);
  // The bucket comes from the name as it will be stored: a name cut to kMaxText must be
  // found again under its cut form, not land in the bucket of characters it no longer has.
  int bucket = static_cast<int>(_hashKey(name, kMaxText));
  return trace.result(AddEntryImpl(bucket, name, value));
}

int zvrhash::AddEntryImpl(int bucket, const char* name, const char* value) {
  trc::Scope trace(kTrace);
  if (!_validBucket(bucket) || name == nullptr || value == nullptr) return trace.result(0);
  // Everything is allocated before the node is linked, so a failure leaves the chain as
  // it was.
  std::unique_ptr<ZvrHashNode> node(new (std::nothrow) ZvrHashNode{});
  if (!node) return trace.result(0);
  std::unique_ptr<char[]> nameCopy = _copyText(name, ZVRID_H0001, ZVRTXT_H0001);
  if (!nameCopy) return trace.result(0);
  std::unique_ptr<char[]> valueCopy = _copyText(value, ZVRID_H0002, ZVRTXT_H0002);
  if (!valueCopy) return trace.result(0);
  node->name = nameCopy.release();
  node->value = valueCopy.release();

  ZvrHashBucket& b = table_[bucket];
  if (b.count == 0) {
    b.first = node.release();
  } else {
    ZvrHashNode* last = b.first;
    for (int n = 1; n < b.count; ++n) last = last->next;
    last->next = node.release();
  }
  ++b.count;
  return trace.result(1);
}

const char* zvrhash::FindEntry(const char* name) const {
  trc::Scope trace(kTrace);
  if (table_ == nullptr || name == nullptr) return trace.result<const char*>(nullptr);
  return trace.result(FindEntryImpl(static_cast<int>(HashKey(name)), name));
}

const char* zvrhash::FindEntryImpl(int bucket, const char* name) const {
  trc::Scope trace(kTrace);
  if (!_validBucket(bucket) || name == nullptr) return trace.result<const char*>(nullptr);
  if (ZVRdebug) {
    std::string line = zvrFormat("\nSearching for Dictionary Entry %s in Hash Table", name);
    zvrWriteLog(line.c_str());
  }
  const ZvrHashNode* node = table_[bucket].first;
  for (int n = 0; n < table_[bucket].count && node != nullptr; ++n, node = node->next) {
    if (strcasecmp(node->name, name) != 0) continue;
    if (ZVRdebug) {
      std::string line =
          zvrFormat("\nFound Entry %s in Hash Table: Value is %s ", name, node->value);
      zvrWriteLog(line.c_str());
    }
    return trace.result<const char*>(node->value);
  }
  return trace.result<const char*>(nullptr);
}

bool zvrhash::_validBucket(int bucket) const {
  trc::Scope trace(kTrace);
  return trace.result(table_ != nullptr && bucket >= 0 && bucket < buckets_);
}
