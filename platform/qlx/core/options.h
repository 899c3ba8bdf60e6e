// How the broker reads the option words of gets. The bits a program passes that are not
// named here (the template bit, kQlxGetThemeOnly alone, ...) are accepted and ignored.
#ifndef QLX_OPTIONS_H
#define QLX_OPTIONS_H

#include <cstdint>

#include "qlx.h"

namespace qlx {

// A browse leaves the message on its queue. A serving element's get (0x2148) carries
// kQlxGetTake beside the browse bit and takes the message.
inline bool getBrowses(uint32_t bits) {
  return (bits & kQlxGetBrowse) != 0 && (bits & kQlxGetTake) == 0;
}

// A get is restricted to the theme of its theme handle (when the handle is not 0) with
// kQlxGetTheme or kQlxGetThemeOnly, unless kQlxGetAnyTheme says otherwise.
inline bool getMatchesTheme(uint32_t bits) {
  return (bits & (kQlxGetTheme | kQlxGetThemeOnly)) != 0 && (bits & kQlxGetAnyTheme) == 0;
}

}  // namespace qlx

#endif  // QLX_OPTIONS_H
