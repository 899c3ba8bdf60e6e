// The fast path: shared-object maps, loaded once and called in process.
#include "merc_engine.h"
#include "merc_map.h"

#include <dlfcn.h>

#include <cstring>

#include <map>
#include <mutex>

namespace merc {
namespace {

struct LoadedMap {
  void* handle;
  ZvrMapRunFn run;
};

// Loaded maps by file path; they stay loaded until mercUnloadShared (MercExitAPI).
std::mutex gMutex;
std::map<std::string, LoadedMap> gLoaded;

// A map's message is kept whole up to this size; Errmsg shows the first 427 bytes.
constexpr std::size_t kMaxMessage = 64 * 1024;

int _append(MapOutput* out, unsigned card, const void* data, std::size_t length) {
  auto* result = static_cast<MapResult*>(out->context);
  if (card == 0 || card > kZvrMapMaxCards || (data == nullptr && length != 0)) return -1;
  try {
    if (result->cards.size() < card) result->cards.resize(card);
    result->cards[card - 1].append(static_cast<const char*>(data), length);
  } catch (const std::exception&) {
    return -1;
  }
  return 0;
}

void _message(MapOutput* out, const char* text) {
  auto* result = static_cast<MapResult*>(out->context);
  if (text == nullptr || result->message.size() >= kMaxMessage) return;
  try {
    result->message.append(text, strnlen(text, kMaxMessage - result->message.size()));
  } catch (const std::exception&) {
    // The message is informative only; a run does not fail for want of it.
  }
}

// The loaded map for `path`, loading it on first use; null with `error` set.
const LoadedMap* _load(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto found = gLoaded.find(path);
  if (found != gLoaded.end()) return &found->second;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = "map \"" + path + "\" cannot be loaded: " + (why != nullptr ? why : "unknown");
    return nullptr;
  }
  auto run = reinterpret_cast<ZvrMapRunFn>(dlsym(handle, "zvrMapRun"));
  if (run == nullptr) {
    dlclose(handle);
    error = "map \"" + path + "\" is a shared object without the entry point zvrMapRun";
    return nullptr;
  }
  return &gLoaded.emplace(path, LoadedMap{handle, run}).first->second;
}

}  // namespace

void mercRunShared(const std::string& path, const MercCommand& command, MapResult& result) {
  std::string error;
  const LoadedMap* map = _load(path, error);
  if (map == nullptr) {
    result.code = kMercMapNotStarted;
    result.message = error;
    return;
  }
  MapInput input{kZvrMapAbiVersion, path.c_str(), command.input, command.inputLength,
                 command.passOptions.c_str()};
  MapOutput output{&result, _append, _message};
  result.code = map->run(&input, &output);
}

bool mercSharedLoaded(const std::string& path) {
  std::lock_guard<std::mutex> lock(gMutex);
  return gLoaded.count(path) != 0;
}

void mercUnloadShared() {
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto& [path, map] : gLoaded) dlclose(map.handle);
  gLoaded.clear();
}

}  // namespace merc
