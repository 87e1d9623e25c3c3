#pragma once
// The daemon's HTTP server, set up by its own setup code, on a free loopback
// port inside the test process.
#include <httplib.h>

#include "http/guarded_server.h"

#include <functional>
#include <memory>
#include <thread>

namespace tbtest {

class InProcessServer {
 public:
  // `extra` may add routes before the server starts listening.
  explicit InProcessServer(std::function<void(httplib::Server&)> extra = nullptr);
  ~InProcessServer();
  int port() const { return port_; }
  httplib::Client Client() const;

 private:
  tb::GuardedServer server_;
  std::thread thread_;
  int port_ = -1;
};

}  // namespace tbtest
