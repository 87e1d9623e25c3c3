#pragma once
// A datagram socket standing in for the service manager's notify socket.
#include <chrono>
#include <string>
#include <vector>

namespace tbtest {

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;
  const std::string& path() const { return path_; }
  // Waits until a message containing `text` arrives; every message received
  // on the way is kept in Messages().
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout);
  const std::vector<std::string>& Messages() const { return messages_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> messages_;
};

}  // namespace tbtest
