#include "support/capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/daemon_harness.h"

namespace tbtest {

CapturedFd::CapturedFd(int fd) : fd_(fd) {
  char name[] = "/tmp/tbcapture-XXXXXX";
  int tmp = ::mkstemp(name);
  path_ = name;
  std::fflush(nullptr);
  saved_ = ::dup(fd_);
  ::dup2(tmp, fd_);
  ::close(tmp);
}

CapturedFd::~CapturedFd() {
  std::fflush(nullptr);
  ::dup2(saved_, fd_);
  ::close(saved_);
  ::unlink(path_.c_str());
}

std::string CapturedFd::Text() const { return ReadFile(path_); }

}  // namespace tbtest
