#include <sys/mman.h>

#include <cstdint>
#include <new>

#include "platform/memory.h"

namespace tb::platform {

LargeBlock::LargeBlock(size_t capacity) : capacity_(capacity) {
  if (capacity == 0) return;
  void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  // Large pages only where whole ones fit; a hint the kernel may ignore.
  constexpr uintptr_t kLargePage = uintptr_t{1} << 21;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kLargePage - 1) & ~(kLargePage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(p) + capacity) & ~(kLargePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Anonymous pages are backed on first touch, so the range needs no further
// step as the body fills it.
bool LargeBlock::EnsureUsable(size_t size) { return size <= capacity_; }

LargeBlock::~LargeBlock() {
  if (data_) ::munmap(data_, capacity_);
}

}  // namespace tb::platform
