#pragma once
// Gives the test process supplementary groups (root here has none) and puts
// the old ones back afterwards.
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace tbtest {

class ExtraGroups {
 public:
  explicit ExtraGroups(const std::vector<gid_t>& groups) {
    saved_.resize(static_cast<size_t>(std::max(0, ::getgroups(0, nullptr))));
    const int n = ::getgroups(static_cast<int>(saved_.size()), saved_.data());
    saved_.resize(static_cast<size_t>(std::max(0, n)));
    ok_ = ::setgroups(groups.size(), groups.data()) == 0;
  }
  ~ExtraGroups() { ::setgroups(saved_.size(), saved_.data()); }
  ExtraGroups(const ExtraGroups&) = delete;
  ExtraGroups& operator=(const ExtraGroups&) = delete;
  bool ok() const { return ok_; }

 private:
  std::vector<gid_t> saved_;
  bool ok_ = false;
};

}  // namespace tbtest
