#pragma once
// One large buffer taken straight from the system: a request body of many
// megabytes is filled once, read through and dropped. Taking it from the
// system (not the allocator's pools) means it is given back whole when
// dropped. The whole size is set aside as address space at once, but memory
// is charged only as the body arrives (EnsureFilled), so a client that
// announces a large body and sends little costs little.
#include <cstddef>

namespace tb::platform {

class LargeBlock {
 public:
  // Throws std::bad_alloc when the system has no room for the address range.
  explicit LargeBlock(size_t capacity);
  ~LargeBlock();
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;

  // Makes the first `size` bytes (at most capacity()) usable. False when
  // the system will not back them.
  bool EnsureUsable(size_t size);

  char* data() const { return data_; }
  size_t capacity() const { return capacity_; }

 private:
  char* data_ = nullptr;
  size_t capacity_ = 0;
  size_t usable_ = 0;
};

}  // namespace tb::platform
