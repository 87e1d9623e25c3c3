#include <windows.h>

#include <new>

#include "platform/memory.h"

namespace tb::platform {

// Large pages would need a privilege the service should not ask for; the
// block is ordinary committed memory, released whole.
LargeBlock::LargeBlock(size_t capacity) : capacity_(capacity) {
  if (capacity == 0) return;
  data_ = static_cast<char*>(VirtualAlloc(nullptr, capacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (!data_) throw std::bad_alloc();
}

LargeBlock::~LargeBlock() {
  if (data_) VirtualFree(data_, 0, MEM_RELEASE);
}

}  // namespace tb::platform
