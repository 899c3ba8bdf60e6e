// Themes: ids, hop lists, theme building and the theme query list.
#include "theme.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "connection.h"
#include "errors.h"
#include "broker_store.h"
#include "settings.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

void put32(unsigned char* at, uint32_t value) { std::memcpy(at, &value, 4); }

// Copies a name into a 133-byte field: at most 132 characters, always terminated (the
// area is zeroed beforehand).
void putName(unsigned char* at, const std::string& name) {
  const size_t room = kQlxNameLength;
  std::memcpy(at, name.data(), name.size() < room ? name.size() : room);
}

void putHopRecord(unsigned char* at, const Hop& hop) {
  put32(at, static_cast<uint32_t>(hop.type));
  if (hop.type == kHopBusinessComponent)
    putName(at + kHopComponentName, hop.name);
  else if (hop.type == kHopClient)
    putName(at + kHopClientName, hop.name);
  else
    putName(at + kHopNativeName, hop.name);
}

size_t padded(size_t length) { return (length + 3) & ~size_t{3}; }

void appendItem(std::vector<unsigned char>& out, uint32_t type, const unsigned char* data,
                size_t length) {
  const size_t at = out.size();
  out.resize(at + kItemHeader + padded(length), 0);
  put32(&out[at], static_cast<uint32_t>(kItemHeader + padded(length)));
  put32(&out[at + 8], type);
  put32(&out[at + 12], static_cast<uint32_t>(length));
  std::memcpy(&out[at + kItemHeader], data, length);
}

std::vector<unsigned char> workflowData(const Theme& theme) {
  std::vector<unsigned char> data(kWorkflowSize, 0);
  const int32_t following = theme.following() > 0 ? theme.following() : 0;
  put32(&data[kWorkflowPosition], static_cast<uint32_t>(theme.position));
  put32(&data[kWorkflowFollowing], static_cast<uint32_t>(following));
  const auto position = static_cast<size_t>(theme.position);
  if (position < theme.hops.size())
    putHopRecord(&data[kWorkflowCurrentHop], theme.hops[position]);
  if (following > 0) putHopRecord(&data[kWorkflowNextHop], theme.hops[position + 1]);
  return data;
}

}  // namespace

namespace {

// Eight random bytes drawn once per process (again in a child after fork): they tell apart
// processes of different PID namespaces that share a process id.
uint64_t processSalt(pid_t pid) {
  static std::atomic<pid_t> owner{0};
  static std::atomic<uint64_t> salt{0};
  if (owner.load(std::memory_order_acquire) == pid) return salt.load(std::memory_order_relaxed);
  uint64_t fresh = 0x5A5A5A5A5A5A5A5Aull;
  if (getrandom(&fresh, sizeof fresh, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof fresh))
    fresh = 0x5A5A5A5A5A5A5A5Aull;
  salt.store(fresh, std::memory_order_relaxed);
  owner.store(pid, std::memory_order_release);
  return fresh;
}

}  // namespace

ThemeId newThemeId() {
  // 8 bytes of time, 4 of process id, 4 of a counter, 8 random per process: unique even
  // when the random source fails, and no system call beyond the clock's.
  static std::atomic<uint32_t> counter{0};
  ThemeId id{};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const uint64_t nanos = static_cast<uint64_t>(now.tv_sec) * 1000000000u +
                         static_cast<uint64_t>(now.tv_nsec);
  const pid_t processId = currentPid();
  const uint32_t pid = static_cast<uint32_t>(processId);
  const uint32_t count = counter.fetch_add(1);
  const uint64_t salt = processSalt(processId);
  std::memcpy(&id[0], &nanos, 8);
  std::memcpy(&id[8], &pid, 4);
  std::memcpy(&id[12], &count, 4);
  std::memcpy(&id[16], &salt, 8);
  return id;
}

std::string encodeHops(const std::vector<Hop>& hops) {
  std::string out;
  for (const Hop& hop : hops) {
    const uint32_t type = static_cast<uint32_t>(hop.type);
    const uint32_t length = static_cast<uint32_t>(hop.name.size());
    out.append(reinterpret_cast<const char*>(&type), 4);
    out.append(reinterpret_cast<const char*>(&length), 4);
    out.append(hop.name);
  }
  return out;
}

bool decodeHops(std::string_view data, std::vector<Hop>& hops) {
  hops.clear();
  while (!data.empty()) {
    if (data.size() < 8) return false;
    uint32_t type, length;
    std::memcpy(&type, data.data(), 4);
    std::memcpy(&length, data.data() + 4, 4);
    data.remove_prefix(8);
    if (length > data.size()) return false;
    hops.push_back(Hop{static_cast<int32_t>(type), std::string(data.substr(0, length))});
    data.remove_prefix(length);
  }
  return true;
}

std::string queueOfHop(const Hop& hop) {
  if (hop.type == kHopBusinessComponent) return "element:" + hop.name;
  if (hop.type == kHopClient) return "client:" + hop.name;
  return "native:" + hop.name;
}

Hop originHop(std::string_view queue) {
  if (queue.substr(0, 8) == "element:") return Hop{kHopBusinessComponent, std::string(queue.substr(8))};
  if (queue.substr(0, 7) == "client:") return Hop{kHopClient, std::string(queue.substr(7))};
  return Hop{kHopClient, std::string(queue)};
}

int32_t loadServiceHops(BrokerStore& store, std::string_view service, const Hop& origin,
                        std::vector<Hop>& hops, std::string& detail) {
  trc::Scope trace(kTrace);
  if (!store.serviceHops(service, hops)) {
    detail = store.errorText();
    return trace.result(kReasonStorage);
  }
  for (Hop& hop : hops)
    if (hop.type == kHopOrigin) hop = origin;
  if (hops.empty()) {
    // The callers leave 180 bytes of the error record to this text.
    detail = withBrokerInUse(
        "service ``" + std::string(service) + "'' is not in the directory or has no hops", 180);
    return trace.result(kReasonUnknownService);
  }
  return trace.result(0);
}

Theme buildTheme(const Theme& from, const std::vector<Hop>& inserted, int32_t option) {
  Theme built = from;
  const size_t keep = static_cast<size_t>(from.position) + 1;
  built.hops.assign(from.hops.begin(),
                    from.hops.begin() + static_cast<long>(std::min(keep, from.hops.size())));
  built.hops.insert(built.hops.end(), inserted.begin(), inserted.end());
  if (option == kQlxBuildInsert && keep < from.hops.size())
    built.hops.insert(built.hops.end(), from.hops.begin() + static_cast<long>(keep),
                      from.hops.end());
  return built;
}

bool renderThemeList(const Theme& theme, int32_t code, std::vector<unsigned char>& out) {
  if (code != kQlxQueryThemeId && code != kQlxQueryWorkflow) return false;
  out.assign(kListHeader, 0);
  appendItem(out, kQlxItemThemeId, theme.id.data(), theme.id.size());
  uint32_t count = 1;
  if (code == kQlxQueryWorkflow) {
    const std::vector<unsigned char> workflow = workflowData(theme);
    appendItem(out, kQlxItemWorkflow, workflow.data(), workflow.size());
    ++count;
  }
  put32(&out[0], static_cast<uint32_t>(out.size()));
  put32(&out[4], static_cast<uint32_t>(code));
  put32(&out[8], count);
  return true;
}

QLXHANDLE ThemeTable::add(Theme theme) {
  while (themes_.size() >= limit_ && !order_.empty()) {
    themes_.erase(order_.front());
    order_.pop_front();
  }
  QLXHANDLE handle = next_++;
  if (next_ == 0) next_ = 1;
  themes_[handle] = std::move(theme);
  order_.push_back(handle);
  return handle;
}

Theme* ThemeTable::find(QLXHANDLE handle) {
  auto found = themes_.find(handle);
  return found == themes_.end() ? nullptr : &found->second;
}

bool ThemeTable::close(QLXHANDLE handle) {
  if (themes_.erase(handle) == 0) return false;
  // Handles are mostly closed soon after they were opened: search from the newest.
  for (auto it = order_.rbegin(); it != order_.rend(); ++it)
    if (*it == handle) {
      order_.erase(std::next(it).base());
      break;
    }
  return true;
}

}  // namespace qlx
