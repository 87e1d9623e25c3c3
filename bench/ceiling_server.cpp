// The fastest the HTTP layer can answer: a bare server with the daemon's
// settings replying with fixed bytes. The HTTP benchmark compares against it.
//
// Usage: bench_ceiling_server PORT CONTENT_TYPE /PATH=BODY_FILE...
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include <httplib.h>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PORT CONTENT_TYPE /PATH=BODY_FILE...\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string contentType = argv[2];
  std::map<std::string, std::string> bodies;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq == std::string::npos) return 2;
    std::ifstream in(arg.substr(eq + 1), std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", arg.c_str() + eq + 1);
      return 2;
    }
    bodies[arg.substr(0, eq)].assign(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
  }

  httplib::Server server;
  // Same settings as the daemon, so that only the handler work differs.
  server.new_task_queue = [] { return new httplib::ThreadPool(32); };
  server.set_keep_alive_max_count(20);
  server.set_keep_alive_timeout(5);
  server.set_read_timeout(30, 0);
  server.set_write_timeout(30, 0);
  server.set_idle_interval(0, 500000);
  server.set_payload_max_length(64u * 1024 * 1024);
  server.set_tcp_nodelay(true);
  // The daemon adds these to every answer; the ceiling carries the same bytes.
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    res.set_header("Access-Control-Allow-Origin", "*");
    res.set_header("Access-Control-Allow-Methods", "POST, GET, OPTIONS");
    res.set_header("Access-Control-Allow-Headers", "*");
    res.set_header("Access-Control-Allow-Private-Network", "true");
    res.set_header("Access-Control-Max-Age", "86400");
  });
  for (const auto& [path, body] : bodies) {
    server.Get(path, [&body, &contentType](const httplib::Request&, httplib::Response& res) {
      res.set_content(body, contentType);
    });
  }
  if (!server.listen("127.0.0.1", port)) {
    std::fprintf(stderr, "cannot listen on port %d\n", port);
    return 1;
  }
  return 0;
}
