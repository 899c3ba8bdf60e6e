#include "exit_check.h"

#include <dlfcn.h>

namespace qlx {

namespace {

bool checkOne(const std::string& element, const std::string& path, std::string& error) {
  // Lazy binding: only the library's presence, its own dependencies and the entry point
  // are at stake here, not the symbols a call would resolve.
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = "element " + element + ": exit " + path + " cannot be loaded: " +
            (why ? why : "unknown error") + " (build it, or correct or remove its exit path)";
    return false;
  }
  const bool hasEntry = dlsym(handle, "qlxExitEntry") != nullptr;
  dlclose(handle);
  if (!hasEntry)
    error = "element " + element + ": exit " + path +
            " has no entry point qlxExitEntry (name an error-action exit library)";
  return hasEntry;
}

}  // namespace

bool checkExitLibraries(const DirectoryModel& model, std::string& error) {
  for (const ElementDef& element : model.elements) {
    if (element.exitLibrary && !checkOne(element.name, *element.exitLibrary, error))
      return false;
  }
  return true;
}

}  // namespace qlx
