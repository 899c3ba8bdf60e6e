// The mapped counter file: an open-addressing table of queues, each with its counts.
//
// Every update is one relaxed atomic add on the shared mapping, so a process killed at any
// point leaves each count either added or not, never torn. A queue takes a slot by a
// compare-and-swap of its name's hash into the slot's key; its name is written after and
// published by its length. A process killed between the two leaves a keyed slot without a
// name: the next process counting that queue finds the key and writes the name (the same
// bytes), and readers skip a slot until it has one. Two processes creating the file at
// once both size it the same way (ftruncate only grows it), and the header's magic word is
// set by one compare-and-swap, so nobody maps a half-made file.
#include "mapped_metrics.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "broker_store.h"

namespace qlx {
namespace {

constexpr uint64_t kMagic = 0x31525445'4d584c51ull;  // "QLXMETR1", little-endian
constexpr size_t kSlots = 1024;
constexpr size_t kNameBytes = 160;  // "element:" and a 132-byte name fit

struct Slot {
  std::atomic<uint64_t> key;  // hash of the name, 0 while free
  std::atomic<uint32_t> nameLength;
  uint32_t reserved;
  char name[kNameBytes];
  std::atomic<uint64_t> counts[kCounters];
  std::atomic<uint64_t> buckets[kProcessingBuckets];
  std::atomic<uint64_t> processingMicros;
};

struct Header {
  std::atomic<uint64_t> magic;
  uint64_t reserved[7];
};

struct Table {
  Header header;
  Slot slots[kSlots];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(sizeof(Slot) % 8 == 0);

uint64_t nameKey(std::string_view name) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  return hash ? hash : 1;
}

class MappedMetrics final : public Metrics {
 public:
  explicit MappedMetrics(Table* table) : table_(table) {}
  ~MappedMetrics() override { munmap(table_, sizeof(Table)); }
  MappedMetrics(const MappedMetrics&) = delete;
  MappedMetrics& operator=(const MappedMetrics&) = delete;

  void add(std::string_view queue, Counter counter, uint64_t n) override {
    if (Slot* slot = _slot(queue)) slot->counts[counter].fetch_add(n, std::memory_order_relaxed);
  }

  void observe(std::string_view queue, uint64_t micros) override {
    Slot* slot = _slot(queue);
    if (!slot) return;
    slot->buckets[processingBucket(micros)].fetch_add(1, std::memory_order_relaxed);
    slot->processingMicros.fetch_add(micros, std::memory_order_relaxed);
  }

  bool read(std::vector<QueueCounters>& queues, std::string&) override {
    queues.clear();
    for (const Slot& slot : table_->slots) {
      const uint32_t length = slot.nameLength.load(std::memory_order_acquire);
      if (length == 0 || length > kNameBytes) continue;
      QueueCounters q;
      q.queue.assign(slot.name, length);
      for (size_t i = 0; i < kCounters; ++i) q.counts[i] = slot.counts[i].load(std::memory_order_relaxed);
      for (size_t i = 0; i < kProcessingBuckets; ++i)
        q.buckets[i] = slot.buckets[i].load(std::memory_order_relaxed);
      q.processingMicros = slot.processingMicros.load(std::memory_order_relaxed);
      queues.push_back(std::move(q));
    }
    std::sort(queues.begin(), queues.end(),
              [](const QueueCounters& a, const QueueCounters& b) { return a.queue < b.queue; });
    return true;
  }

 private:
  // The slot of `queue`, taken when it has none; null when the name does not fit or the
  // table is full.
  Slot* _slot(std::string_view queue) {
    if (queue.empty() || queue.size() > kNameBytes) return nullptr;
    const uint64_t key = nameKey(queue);
    for (size_t probe = 0; probe < kSlots; ++probe) {
      Slot& slot = table_->slots[(key + probe) % kSlots];
      uint64_t held = slot.key.load(std::memory_order_acquire);
      if (held == 0 && slot.key.compare_exchange_strong(held, key, std::memory_order_acq_rel))
        held = key;
      if (held != key) continue;
      const uint32_t length = slot.nameLength.load(std::memory_order_acquire);
      if (length == 0) {
        std::memcpy(slot.name, queue.data(), queue.size());
        slot.nameLength.store(static_cast<uint32_t>(queue.size()), std::memory_order_release);
        return &slot;
      }
      if (std::string_view(slot.name, length) == queue) return &slot;
    }
    return nullptr;
  }

  Table* const table_;
};

// Maps the home's counter file, creating it when missing.
std::unique_ptr<Metrics> openMetrics(const std::string& home) {
  const char* mode = std::getenv("QLX_METRICS");
  if (mode && std::strcmp(mode, "off") == 0)
    return std::make_unique<NoMetrics>("the counters are off (QLX_METRICS=off)");
  std::string error;
  const std::string path = home + "/metrics";
  int fd = makeHome(home, error) ? openPrivate(path, O_RDWR) : -1;
  if (fd < 0)
    return std::make_unique<NoMetrics>(error.empty() ? "cannot open " + path + ": " + std::strerror(errno)
                                                     : error);
  struct stat info {};
  if (fstat(fd, &info) != 0 ||
      (static_cast<size_t>(info.st_size) < sizeof(Table) && ftruncate(fd, sizeof(Table)) != 0)) {
    close(fd);
    return std::make_unique<NoMetrics>("cannot size " + path + ": " + std::strerror(errno));
  }
  void* map = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED)
    return std::make_unique<NoMetrics>("cannot map " + path + ": " + std::strerror(errno));
  auto* table = static_cast<Table*>(map);
  uint64_t magic = 0;
  if (!table->header.magic.compare_exchange_strong(magic, kMagic) && magic != kMagic) {
    munmap(map, sizeof(Table));
    return std::make_unique<NoMetrics>(path + " is not a counter file of this broker "
                                              "(remove it to start the counts again)");
  }
  return std::make_unique<MappedMetrics>(table);
}

}  // namespace

Metrics& metricsOf(const std::string& home) {
  // Most processes use one home: the last one found is kept per thread, without the lock.
  thread_local const std::string* lastHome = nullptr;
  thread_local Metrics* last = nullptr;
  if (lastHome && *lastHome == home) return *last;
  static std::mutex mutex;
  static auto* opened = new std::map<std::string, std::unique_ptr<Metrics>>;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = opened->find(home);
  if (found == opened->end()) found = opened->emplace(home, openMetrics(home)).first;
  lastHome = &found->first;
  last = found->second.get();
  return *last;
}

}  // namespace qlx
