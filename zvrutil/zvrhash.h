// The dictionary cache: a chained hash table of name/value texts with case-insensitive
// names.
//
// A transformation component fills one table at start-up from a dictionary record of the
// directory, so that choosing a map for a request costs one lookup here instead of two
// directory reads. The table is filled once and only read afterwards; one thread.
#ifndef ZVR_ZVRHASH_H
#define ZVR_ZVRHASH_H

#include <cstddef>

// One entry of a chain. The texts are owned copies of at most kMaxText characters.
struct ZvrHashNode {
  ZvrHashNode* next;
  char* name;
  char* value;
};

// One bucket: the number of nodes in its chain and the first of them.
struct ZvrHashBucket {
  int count;
  ZvrHashNode* first;
};

class zvrhash {
 public:
  // Longest name or value kept; longer ones are cut and a warning is logged.
  static constexpr unsigned kMaxText = 400;

  // No table is allocated until HashTableCreate or the first AddEntry. A bucket count
  // below 1 makes every HashTableCreate fail.
  explicit zvrhash(int buckets);
  virtual ~zvrhash();
  zvrhash(const zvrhash&) = delete;
  zvrhash& operator=(const zvrhash&) = delete;

  // Releases any table and allocates a zeroed one. 1 on success; 0 when allocation fails
  // (the table is then absent).
  int HashTableCreate();
  // Releases every node and the table. 1 when there was a table; 0 otherwise.
  int HashTableDelete();

  // Bucket index of a terminated text: its characters, upper-cased and packed four to a
  // big-endian 32-bit word (a last short group fills only the low bytes), summed modulo
  // 2^32, then modulo the bucket count. A table without buckets gives 0.
  unsigned HashKey(const void* key) const;

  // Appends a copy of the pair to the end of its chain (a name already present is added
  // again; FindEntry keeps returning the first). Texts over kMaxText characters are cut
  // and ZVRH0001 / ZVRH0002 is logged, leaving ZVRerror empty. 1 on success; 0 when memory
  // runs out (the table keeps what it held) or an argument is null.
  int AddEntry(const char* name, const char* value);
  // The value of the first entry whose name equals `name` without regard to case, or
  // null. Owned by the table until HashTableDelete or destruction.
  const char* FindEntry(const char* name) const;

  // The work of AddEntry and FindEntry once the bucket is known. A bucket outside the
  // table fails (0 / null).
  int AddEntryImpl(int bucket, const char* name, const char* value);
  const char* FindEntryImpl(int bucket, const char* name) const;

  int bucketCount() const { return buckets_; }

 private:
  bool _validBucket(int bucket) const;
  // HashKey over at most `maxLength` characters of `key`.
  unsigned _hashKey(const void* key, size_t maxLength) const;

  const int buckets_;
  ZvrHashBucket* table_ = nullptr;
};

#endif  // ZVR_ZVRHASH_H
