#include "service/server_setup.h"

#include "http/replies.h"
#include "http/settings_routes.h"

namespace tb {

void ApplyServerSettings(httplib::Server& server) {
  server.new_task_queue = [] { return new httplib::ThreadPool(32); };
  server.set_keep_alive_max_count(20);
  server.set_keep_alive_timeout(5);
  server.set_read_timeout(30, 0);
  server.set_write_timeout(30, 0);
  server.set_idle_interval(0, 500000);
  server.set_payload_max_length(kMaxRequestBody);
}

void RegisterHandlersAndRoutes(httplib::Server& server) {
  server.set_exception_handler(ReplyUnhandledException);
  server.set_post_routing_handler(AddCorsHeaders);

  // Routes in the order of the route table; every pattern matches a whole path.
  server.Options(".*", AnswerPreflight);
  server.Get("/version", HandleVersion);
}

}  // namespace tb
