#pragma once
// Captures what the process writes to one of its standard descriptors, for
// in-process tests of log lines.
#include <string>

namespace tbtest {

class CapturedFd {
 public:
  explicit CapturedFd(int fd);  // 1 = standard output, 2 = standard error
  ~CapturedFd();
  CapturedFd(const CapturedFd&) = delete;
  CapturedFd& operator=(const CapturedFd&) = delete;
  std::string Text() const;  // everything written so far

 private:
  int fd_;
  int saved_;
  std::string path_;
};

}  // namespace tbtest
