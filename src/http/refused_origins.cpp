#include "http/refused_origins.h"

#include <algorithm>

namespace tb {

RefusedOrigins& RefusedOrigins::Shared() {
  static RefusedOrigins shared;
  return shared;
}

bool RefusedOrigins::Note(const std::string& origin) {
  MutexLock lock(mutex_);
  auto it = std::find(origins_.begin(), origins_.end(), origin);
  const bool fresh = it == origins_.end();
  if (!fresh) origins_.erase(it);
  origins_.push_front(origin);
  if (origins_.size() > kKept) origins_.pop_back();
  return fresh;
}

void RefusedOrigins::Forget(const std::string& origin) {
  MutexLock lock(mutex_);
  origins_.erase(std::remove(origins_.begin(), origins_.end(), origin), origins_.end());
}

std::vector<std::string> RefusedOrigins::Latest() const {
  MutexLock lock(mutex_);
  return {origins_.begin(), origins_.end()};
}

}  // namespace tb
