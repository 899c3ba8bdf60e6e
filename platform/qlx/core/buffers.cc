// Registered allocations of the broker and qlxFreeBuffer.
#include "buffers.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "connection.h"
#include "errors.h"
#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlx"};

std::mutex gMutex;
std::unordered_set<void*>& owned() {
  static auto* set = new std::unordered_set<void*>;  // outlives static destructors
  return *set;
}

}  // namespace

void* allocateOwned(size_t length) {
  void* data = std::calloc(1, length + 1);
  if (!data) return nullptr;
  std::lock_guard<std::mutex> lock(gMutex);
  owned().insert(data);
  return data;
}

bool releaseOwned(void* data) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (owned().erase(data) == 0) return false;
  }
  std::free(data);
  return true;
}

bool giveBuffer(QLXBUFFER& buffer, const void* data, size_t length) {
  void* copy = allocateOwned(length);
  if (!copy) return false;
  if (length) std::memcpy(copy, data, length);
  buffer.Owned = 1;
  buffer.Length = static_cast<uint32_t>(length);
  buffer.Data = copy;
  return true;
}

}  // namespace qlx

extern "C" int qlxFreeBuffer(QLXHANDLE handle, QLXBUFFER* buffer) {
  trc::Scope trace(qlx::kTrace);
  qlx::CallScope call(kQlxCallFreeBuffer, handle);
  if (call.injected()) return trace.result(0);
  if (!buffer)
    return trace.result(qlx::fail(kQlxCallFreeBuffer, qlx::kReasonInvalidArgument,
                                  "qlxFreeBuffer: no buffer field"));
  if (buffer->Owned != 1) return trace.result(1);
  if (buffer->Data && !qlx::releaseOwned(buffer->Data))
    return trace.result(call.done(qlx::fail(
        kQlxCallFreeBuffer, qlx::kReasonBuffer,
        "qlxFreeBuffer: the buffer was not allocated by the broker or was released before")));
  *buffer = QLXBUFFER{0, 0, nullptr};
  return trace.result(1);
}
