#pragma once
// The origins refused most recently, newest first, so that the status page
// can offer to allow a site right after its first attempt. In memory only,
// bounded and without repeats.
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "base/thread_annotations.h"

namespace tb {

class RefusedOrigins {
 public:
  static constexpr std::size_t kKept = 10;

  static RefusedOrigins& Shared();

  // Moves `origin` to the front; true when it was not among the kept ones.
  bool Note(const std::string& origin) EXCLUDES(mutex_);
  void Forget(const std::string& origin) EXCLUDES(mutex_);
  std::vector<std::string> Latest() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::deque<std::string> origins_ GUARDED_BY(mutex_);
};

}  // namespace tb
