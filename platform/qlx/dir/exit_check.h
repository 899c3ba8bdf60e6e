// Checks the exit libraries a directory names before the directory is loaded: an exit that
// cannot be loaded would otherwise be found only when a server of that element starts, and
// its failed calls would then go without the exit's decisions.
#ifndef QLX_EXIT_CHECK_H
#define QLX_EXIT_CHECK_H

#include <string>

#include "directory_model.h"

namespace qlx {

// True when every exit library of `model` loads and exports qlxExitEntry. False with
// `error` naming the element, the library and the loader's reason. Nothing of a library
// is called; each is unloaded again.
bool checkExitLibraries(const DirectoryModel& model, std::string& error);

}  // namespace qlx

#endif  // QLX_EXIT_CHECK_H
