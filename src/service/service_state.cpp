#include "service/service_state.h"

#include <httplib.h>

#include <mutex>

namespace tb {
namespace {
std::mutex g_serverMutex;
httplib::Server* g_activeServer = nullptr;
}  // namespace

std::atomic<bool>& ShuttingDown() {
  static std::atomic<bool> flag{false};
  return flag;
}

void PublishActiveServer(httplib::Server* server) {
  std::lock_guard<std::mutex> lock(g_serverMutex);
  g_activeServer = server;
}

void ClearActiveServer() {
  std::lock_guard<std::mutex> lock(g_serverMutex);
  g_activeServer = nullptr;
}

bool StopActiveServer() {
  std::lock_guard<std::mutex> lock(g_serverMutex);
  if (!g_activeServer) return false;
  g_activeServer->stop();
  return true;
}

}  // namespace tb
