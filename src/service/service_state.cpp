#include "service/service_state.h"

#include <httplib.h>

#include <mutex>

namespace tb {
namespace {
std::mutex g_serverMutex;
httplib::Server* g_activeServer = nullptr;
bool g_stopDelivered = false;  // the published server has been told to stop
}  // namespace

void PublishActiveServer(httplib::Server* server) {
  std::lock_guard<std::mutex> lock(g_serverMutex);
  g_activeServer = server;
  g_stopDelivered = false;
}

void ClearActiveServer() {
  std::lock_guard<std::mutex> lock(g_serverMutex);
  g_activeServer = nullptr;
}

bool StopActiveServer() {
  std::lock_guard<std::mutex> lock(g_serverMutex);
  if (!g_activeServer) return false;
  if (g_stopDelivered) return true;
  // Before its listening loop runs, the server ignores a stop; the caller
  // asks again later rather than losing the request.
  if (!g_activeServer->is_running()) return false;
  g_activeServer->stop();
  g_stopDelivered = true;
  return true;
}

}  // namespace tb
