// A bound on how deeply TOML text nests, found without parsing it. The TOML reader builds
// one nested table per dotted key part and one nested node per array or inline table, and
// builds, walks and frees them recursively: text nested tens of thousands of levels deep
// would exhaust the stack. The directory loader scans a file with this first and refuses
// text deeper than any directory needs.
#ifndef QLX_TOML_NESTING_H
#define QLX_TOML_NESTING_H

#include <cstddef>
#include <string_view>

namespace qlx {

struct TomlNesting {
  size_t depth = 0;   // the deepest level seen (stops growing once past the limit)
  size_t line = 0;    // where the scan went past the limit (1-based; 0 when it did not)
  size_t column = 0;
};

// Scans `text` up to the first place nested deeper than `limit` levels. A level is a part
// of a table header or dotted key, or an open '[' or '{' of a value; text in strings and
// comments does not count. For text the reader accepts the result is an upper bound of
// its nesting (a dot in a number counts as well); malformed text is scanned on as if
// well-formed, so the bound also holds up to the reader's first error.
TomlNesting scanTomlNesting(std::string_view text, size_t limit);

}  // namespace qlx

#endif  // QLX_TOML_NESTING_H
