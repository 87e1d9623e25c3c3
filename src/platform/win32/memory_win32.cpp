#include <windows.h>

#include <algorithm>
#include <new>

#include "platform/memory.h"

namespace tb::platform {

namespace {
// Memory is committed in steps of at least this much, so a body arriving in
// small pieces does not cost a system call each.
constexpr size_t kCommitStep = size_t{1} << 20;
}  // namespace

// Windows charges committed memory against the system's commit limit at
// once, used or not: the range is only reserved here, and committed as the
// body fills it. Large pages would need a privilege the service should not
// ask for.
LargeBlock::LargeBlock(size_t capacity) : capacity_(capacity) {
  if (capacity == 0) return;
  data_ = static_cast<char*>(VirtualAlloc(nullptr, capacity, MEM_RESERVE, PAGE_READWRITE));
  if (!data_) throw std::bad_alloc();
}

bool LargeBlock::EnsureUsable(size_t size) {
  if (size > capacity_) return false;
  if (size <= usable_) return true;
  // Growing by at least the usable size again keeps the number of steps
  // logarithmic for a body that arrives in many pieces.
  const size_t target = std::min(capacity_, std::max({size, usable_ + kCommitStep, usable_ * 2}));
  if (!VirtualAlloc(data_ + usable_, target - usable_, MEM_COMMIT, PAGE_READWRITE)) {
    // The system's commit limit is near: take only what is needed now.
    if (!VirtualAlloc(data_ + usable_, size - usable_, MEM_COMMIT, PAGE_READWRITE)) return false;
    usable_ = size;
    return true;
  }
  usable_ = target;
  return true;
}

LargeBlock::~LargeBlock() {
  if (data_) VirtualFree(data_, 0, MEM_RELEASE);
}

}  // namespace tb::platform
