// Loading error-action exits and calling their Init, Analyse and Term functions.
#include "exit.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "trc.h"

namespace qlx {

struct ExitLibrary {
  void* handle = nullptr;
  QLXEXITFUNCS functions{};
};

namespace {

static trc::Module kTrace{"qlx"};

std::mutex gMutex;
// Libraries stay loaded for the life of the process: an exit may have handed out
// pointers into itself.
std::map<std::string, std::unique_ptr<ExitLibrary>>& libraries() {
  static auto* map = new std::map<std::string, std::unique_ptr<ExitLibrary>>;
  return *map;
}

int allocateStorage(uint32_t, uint32_t, uint32_t size, void** result) {
  if (!result) return 0;
  *result = std::calloc(1, size ? size : 1);
  return *result != nullptr;
}

int releaseStorage(uint32_t, void* storage) {
  std::free(storage);
  return 1;
}

bool checkDefinition(const QLXEXITDEF* def, const std::string& path, std::string& error) {
  if (!def || std::memcmp(def->Signature, "XCXT", 4) != 0) {
    error = "exit " + path + ": qlxExitEntry gave no \"XCXT\" definition record";
    return false;
  }
  const QLXEXITFUNCS* f = def->Functions;
  if (!f || !f->Init || !f->Term || !f->Analyse) {
    error = "exit " + path + ": the definition record lacks Init, Term or Analyse";
    return false;
  }
  return true;
}

const ExitLibrary* loadLibrary(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> lock(gMutex);
  auto found = libraries().find(path);
  if (found != libraries().end()) return found->second.get();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error = "exit " + path + " cannot be loaded: " + (why ? why : "unknown error");
    return nullptr;
  }
  auto entry = reinterpret_cast<QLXEXITENTRYFN>(dlsym(handle, "qlxExitEntry"));
  void* definition = nullptr;
  if (!entry) {
    error = "exit " + path + " has no entry point qlxExitEntry";
  } else if (entry(&definition) != 0 &&
             checkDefinition(static_cast<const QLXEXITDEF*>(definition), path, error)) {
    auto library = std::make_unique<ExitLibrary>();
    library->handle = handle;
    library->functions = *static_cast<const QLXEXITDEF*>(definition)->Functions;
    return (libraries()[path] = std::move(library)).get();
  } else if (error.empty()) {
    error = "exit " + path + ": qlxExitEntry failed";
  }
  dlclose(handle);
  return nullptr;
}

}  // namespace

ExitSession::~ExitSession() { stop(); }

bool ExitSession::start(const std::string& path, std::string& error) {
  trc::Scope trace(kTrace);
  library_ = loadLibrary(path, error);
  if (!library_) return trace.result(false);
  path_ = path;
  services_ = QLXXSERVICES{};
  services_.Allocate = allocateStorage;
  services_.Release = releaseStorage;
  control_ = QLXXCTL{};
  control_.Version = 1;
  control_.Handle = 1;
  control_.Services = &services_;
  library_->functions.Init(&control_, nullptr, 0);
  started_ = true;
  return trace.result(true);
}

void ExitSession::stop() {
  if (!started_) return;
  started_ = false;
  library_->functions.Term(&control_, 0);
}

uint32_t ExitSession::analyse(QLXEXCEPTION* exception, uint32_t defaultActions,
                              uint32_t detailFlags, bool& decided) {
  trc::Scope trace(kTrace);
  decided = false;
  if (!started_) return trace.result(defaultActions);
  QLXERRPROFILE profile{};
  profile.Version = 1;
  profile.Actions = defaultActions;
  QLXEXCDTL detail{1, detailFlags, exception, &profile};
  QLXEXCACT action{};
  action.Version = 1;
  library_->functions.Analyse(&control_, &detail, &action);
  if ((action.Flags & kQlxExcActProfile) && action.Profile) {
    decided = true;
    return trace.result(action.Profile->Actions);
  }
  return trace.result(defaultActions);
}

}  // namespace qlx
