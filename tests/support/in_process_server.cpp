#include "support/in_process_server.h"

#include <stdexcept>

#include "service/server_setup.h"

namespace tbtest {

InProcessServer::InProcessServer(std::function<void(httplib::Server&)> extra) {
  tb::ApplyServerSettings(server_);
  tb::RegisterHandlersAndRoutes(server_);
  if (extra) extra(server_);
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ < 0) throw std::runtime_error("cannot bind a loopback port");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::yield();
}

InProcessServer::~InProcessServer() {
  server_.stop();
  thread_.join();
}

httplib::Client InProcessServer::Client() const { return httplib::Client("127.0.0.1", port_); }

}  // namespace tbtest
