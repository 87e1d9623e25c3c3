#include "service/server_setup.h"

#include <atomic>
#include <cstdint>

#include "http/origin_gate.h"
#include "http/replies.h"
#include "platform/listen_socket.h"
#include "routes/settings_routes.h"
#include "routes/status_page.h"
#include "routes/printer_routes.h"
#include "routes/print_route.h"
#include "routes/history_route.h"
#include "routes/origin_routes.h"

namespace tb {
namespace {
std::atomic<std::uintptr_t> g_listeningSocket{~std::uintptr_t{0}};
}  // namespace

void ApplyServerSettings(GuardedServer& server) {
  // Handlers run at most 32 at a time (the server's handler slots); the
  // pool is larger so that connections waiting for their peers never hold
  // a handler back.
  server.new_task_queue = [n = server.limits().threads] { return new httplib::ThreadPool(n); };
  server.set_keep_alive_max_count(20);
  server.set_keep_alive_timeout(5);
  server.set_read_timeout(30, 0);
  server.set_write_timeout(30, 0);
  server.set_idle_interval(0, 500000);
  server.set_payload_max_length(kMaxRequestBody);
  // Headers and body go out in separate writes; without TCP_NODELAY every
  // answer waits for the client's delayed acknowledgement (about 40 ms).
  server.set_tcp_nodelay(true);
  server.set_socket_options([](socket_t sock) {
    platform::ConfigureListeningSocket(static_cast<std::uintptr_t>(sock));
    g_listeningSocket = static_cast<std::uintptr_t>(sock);
  });
}

void WidenListenQueueAfterBind() {
  const std::uintptr_t sock = g_listeningSocket.load();
  if (sock != ~std::uintptr_t{0}) platform::WidenListenBacklog(sock);
}

void RegisterHandlersAndRoutes(httplib::Server& server) {
  server.set_exception_handler(ReplyUnhandledException);
  // Unlisted origins are refused before routing, so before any body is read.
  server.set_pre_routing_handler(RefuseUnlistedOrigin);
  server.set_expect_100_continue_handler(RefuseUnlistedOriginBeforeBody);
  server.set_post_routing_handler(AddCorsHeaders);

  // Routes in the order of the route table; every pattern matches a whole path.
  server.Get("/", HandleStatusPage);
  server.Get("/default", HandleDefault);
  server.Get("/printers", printers::HandlePrinters);
  server.Get("/list", HandleList);
  server.Post("/setup", HandleSetup);  // both read their bodies, bounded
  server.Post("/remove", HandleRemove);
  server.Options(".*", AnswerPreflight);
  server.Post("/print", [](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& content) {
    HandlePrint(req, res, content);
  });
  server.Get("/history", HandleHistory);
  server.Get("/test", HandleTestPage);
  server.Get("/jobs", printers::HandleJobs);
  server.Get("/cancel", printers::HandleCancel);
  server.Get("/switch", HandleSwitch);
  server.Get("/fit", [](const httplib::Request&, httplib::Response& res) {
    SetPrintModeAndRedirect("fit", res);
  });
  server.Get("/shrink", [](const httplib::Request&, httplib::Response& res) {
    SetPrintModeAndRedirect("shrink", res);
  });
  server.Get("/noscale", [](const httplib::Request&, httplib::Response& res) {
    SetPrintModeAndRedirect("noscale", res);
  });
  server.Get("/stretch", [](const httplib::Request&, httplib::Response& res) {
    SetPrintModeAndRedirect("stretch", res);
  });
  server.Get("/version", HandleVersion);
  server.Get("/allow-origin", HandleAllowOrigin);
  server.Get("/deny-origin", HandleDenyOrigin);
}

}  // namespace tb
