// Buffers the broker hands out (message bodies, tags, theme lists). Each allocation is
// registered so that qlxFreeBuffer releases only what the broker allocated: a second copy
// of a descriptor, or a buffer the program owns, is never freed by mistake.
#ifndef QLX_BUFFERS_H
#define QLX_BUFFERS_H

#include <cstddef>

#include "qlx.h"

namespace qlx {

// Fills `buffer` with a broker-owned copy of `length` bytes of `data` (Owned 1), with one
// NUL byte after the data so that texts can be read as such. Null when out of memory.
bool giveBuffer(QLXBUFFER& buffer, const void* data, size_t length);
// A broker-owned zeroed area of `length` bytes, registered; null when out of memory.
void* allocateOwned(size_t length);
// Releases a registered allocation; false when `data` is not one.
bool releaseOwned(void* data);

}  // namespace qlx

#endif  // QLX_BUFFERS_H
