#pragma once
// One large buffer taken straight from the system: a request body of many
// megabytes is filled once, read through and dropped. Taking it from the
// system (not the allocator's pools) means it is given back whole when
// dropped, and lets the system back it with large pages where it offers them
// on request, which makes filling it much cheaper.
#include <cstddef>

namespace tb::platform {

class LargeBlock {
 public:
  // Throws std::bad_alloc when the system has no room.
  explicit LargeBlock(size_t capacity);
  ~LargeBlock();
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;

  char* data() const { return data_; }
  size_t capacity() const { return capacity_; }

 private:
  char* data_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace tb::platform
