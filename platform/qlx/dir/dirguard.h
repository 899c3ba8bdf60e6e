// The directory interface a business element connection hands out: the directory of
// directory.h behind a guard that applies injected "directory" faults and shows failed
// reads to the element's exit (call type kQlxCallDirectory).
#ifndef QLX_DIRGUARD_H
#define QLX_DIRGUARD_H

#include <memory>

#include "qlxdir.h"

namespace qlx {

struct Connection;

// `connection` is borrowed and must outlive the result.
std::unique_ptr<qlxDirInterface> guardDirectory(std::unique_ptr<qlxDirInterface> inner,
                                                Connection& connection);

}  // namespace qlx

#endif  // QLX_DIRGUARD_H
