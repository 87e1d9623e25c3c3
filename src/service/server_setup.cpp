#include "service/server_setup.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "http/origin_gate.h"
#include "http/replies.h"
#include "http/request_origin.h"
#include "platform/host_names.h"
#include "platform/listen_socket.h"
#include "store/config_store.h"
#include "routes/settings_routes.h"
#include "routes/status_page.h"
#include "routes/printer_routes.h"
#include "routes/print_route.h"
#include "routes/history_route.h"
#include "routes/origin_routes.h"

namespace tb {
namespace {
std::atomic<std::uintptr_t> g_listeningSocket{~std::uintptr_t{0}};

// The configuration rows ("HOST", name) an administrator adds for further
// names the machine is reached by.
constexpr const char* kHostConfigType = "HOST";

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Asked once, when a request first names a host that is not loopback or the
// address it came in on: the full name may need the name service.
const std::vector<std::string>& MachineNames() {
  static std::once_flag once;
  static std::vector<std::string> names;
  std::call_once(once, [] {
    for (const std::string& name : platform::MachineHostNames()) {
      std::string lower = Lower(name);
      if (!lower.empty() && lower.back() == '.') lower.pop_back();
      if (!lower.empty()) names.push_back(std::move(lower));
    }
  });
  return names;
}

Refusal CheckHost(const httplib::Request& req) {
  const KnownHost known = [](std::string_view host) {
    const std::vector<std::string>& own = MachineNames();
    if (std::find(own.begin(), own.end(), host) != own.end()) return true;
    for (const store::ConfigEntry& row : store::ListConfig(kHostConfigType, "")) {
      if (Lower(row.key) == host) return true;
    }
    return false;
  };
  if (HostAllowed(req, known)) return {};
  return {421, "This host name is not served here; use the machine's own name or address."};
}

// The status page's setting links change state: not when a page of another
// site made the browser follow them.
httplib::Server::Handler SameSiteOnly(httplib::Server::Handler handler) {
  return [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
    if (FromCrossSitePage(req)) {
      SendError(res, "Settings are not changed from another site's page.", 403);
      return;
    }
    handler(req, res);
  };
}

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
  RouteRules rules;
  rules.bodyPaths = {"/setup", "/remove", "/print"};
  // Each reads the database or the spooler at length.
  rules.costlyPaths = {"/history", "/list", "/jobs", "/cancel"};
  rules.check = CheckHost;
  // Unlisted origins are refused before routing, so before any body is read.
  rules.preRouting = RefuseUnlistedOrigin;
  rules.beforeBody = RefuseUnlistedOriginBeforeBody;
  server.SetRouteRules(std::move(rules));
}

void WidenListenQueueAfterBind() {
  const std::uintptr_t sock = g_listeningSocket.load();
  if (sock != ~std::uintptr_t{0}) platform::WidenListenBacklog(sock);
}

void RegisterHandlersAndRoutes(httplib::Server& server) {
  server.set_exception_handler(ReplyUnhandledException);
  server.set_post_routing_handler(AddCorsHeaders);

  // Routes in the order of the route table; every pattern matches a whole path.
  server.Get("/", HandleStatusPage);
  server.Get("/default", SameSiteOnly(HandleDefault));
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
  server.Get("/switch", SameSiteOnly(HandleSwitch));
  server.Get("/raw", SameSiteOnly(HandleRawSwitch));
  for (const char* mode : {"fit", "shrink", "noscale", "stretch"}) {
    server.Get(std::string("/") + mode,
               SameSiteOnly([mode](const httplib::Request&, httplib::Response& res) {
                 SetPrintModeAndRedirect(mode, res);
               }));
  }
  server.Get("/version", HandleVersion);
  server.Get("/allow-origin", SameSiteOnly(HandleAllowOrigin));
  server.Get("/deny-origin", SameSiteOnly(HandleDenyOrigin));
}

}  // namespace tb
