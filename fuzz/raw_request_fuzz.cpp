// Whole raw requests, one connection per input, through the daemon's own
// server seam and route table: the input is written into one end of a socket
// pair and the answers read from it, as a peer would. Spooler and print
// program are the settings fuzzers' stand-ins (two printers, every launch
// refused), the database lives in a temporary program folder.
//
// What must hold for any bytes: every answer is whole (no 206 or 416, no
// Content-Range) and uncoded (no Content-Encoding), carries the CORS headers,
// and a head that frames its body two ways is refused with 400 and the
// connection's end. libFuzzer's memory limit bounds what one request costs.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

#include "fuzz_check.h"
#include "http/guarded_server.h"
#include "platform/launcher.h"
#include "service/server_setup.h"
#include "settings_env.h"
#include "store/config_store.h"

namespace {

class RefusingLauncher : public tb::platform::DesktopLauncher {
 public:
  uint32_t ActiveUserSession() override { return 1; }
  std::unique_ptr<tb::platform::ChildProcess> CreateProcessOnUserDesktop(
      const std::string&, tb::platform::WindowMode) override {
    return nullptr;
  }
  uint32_t LastError() override { return 2; }
};

// The seam with its connection handling reachable from here.
class SeamUnderTest : public tb::GuardedServer {
 public:
  bool Serve(socket_t sock) { return process_and_close_socket(sock); }
};

struct Seam {
  Seam() {
    fuzzenv::SettingsEnvironment& env = fuzzenv::SettingsEnvironment::Get();
    env.platform.launcher = &launcher;
    tb::store::SetAutoScalePdf(false);  // fitting asks the printer's geometry
    tb::ApplyServerSettings(server);
    tb::RegisterHandlersAndRoutes(server);
    // The connection loop serves only while the server has a listening socket.
    FUZZ_CHECK(server.bind_to_any_port("127.0.0.1") > 0);
  }
  static Seam& Get() {
    static Seam seam;
    return seam;
  }
  RefusingLauncher launcher;
  SeamUnderTest server;
};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Whether the first request head names both framings, as the library reads
// a head: lines up to a line feed, only those ending in CR LF count, a field
// is a name up to the colon and a value that is not blank.
bool FirstHeadFramedTwice(std::string_view input) {
  bool coding = false, length = false;
  size_t at = input.find('\n');
  if (at == std::string_view::npos) return false;
  for (++at; at < input.size();) {
    const size_t end = input.find('\n', at);
    if (end == std::string_view::npos) return false;  // the head never ended
    std::string_view line = input.substr(at, end + 1 - at);
    at = end + 1;
    if (line.size() < 2 || line[line.size() - 2] != '\r') continue;
    if (line == "\r\n") return coding && length;
    line.remove_suffix(2);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = Lower(line.substr(0, colon));
    if (line.find_first_not_of(" \t", colon + 1) == std::string_view::npos) continue;
    coding = coding || name == "transfer-encoding";
    length = length || name == "content-length";
  }
  return false;
}

struct Answer {
  int status = 0;
  std::string headers;  // lower case, each line ending in "\r\n"
};

// The status lines and heads of the answers, in order. Bodies are skipped by
// their length; every answer of the daemon has one.
std::vector<Answer> Answers(const std::string& out) {
  std::vector<Answer> answers;
  size_t at = 0;
  while (at < out.size()) {
    FUZZ_CHECK(out.compare(at, 9, "HTTP/1.1 ") == 0);
    const size_t end = out.find("\r\n\r\n", at);
    FUZZ_CHECK(end != std::string::npos);
    Answer a;
    a.status = std::atoi(out.c_str() + at + 9);
    const size_t lineEnd = out.find("\r\n", at);
    a.headers = Lower(std::string_view(out).substr(lineEnd + 2, end + 2 - (lineEnd + 2)));
    size_t length = 0;
    if (const size_t cl = a.headers.find("content-length: "); cl != std::string::npos) {
      length = std::strtoull(a.headers.c_str() + cl + 16, nullptr, 10);
    }
    at = end + 4;
    // An answer to HEAD has a length and no body: the next answer follows.
    if (out.compare(at, 9, "HTTP/1.1 ") != 0) at += length;
    if (a.status != 100) answers.push_back(std::move(a));
  }
  return answers;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietLogUnlessVerbose();
  Seam::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Seam& seam = Seam::Get();
  tb::platform::ScopedPlatformOverride use(fuzzenv::SettingsEnvironment::Get().platform);
  int ends[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The peer writes everything, then ends its side; its reader collects all
  // answers until the daemon's side closes.
  std::thread writer([&] {
    size_t off = 0;
    while (off < input.size()) {
      const ssize_t n = ::send(ends[1], input.data() + off, input.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    ::shutdown(ends[1], SHUT_WR);
  });
  std::string out;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(ends[1], buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  });
  seam.server.Serve(ends[0]);  // closes its end
  writer.join();
  reader.join();
  ::close(ends[1]);

  const std::vector<Answer> answers = Answers(out);
  for (const Answer& a : answers) {
    FUZZ_CHECK(a.status != 206 && a.status != 416);
    FUZZ_CHECK(a.headers.find("content-range:") == std::string::npos);
    FUZZ_CHECK(a.headers.find("content-encoding:") == std::string::npos);
    FUZZ_CHECK(a.headers.find("access-control-allow-origin: *\r\n") != std::string::npos);
  }
  if (FirstHeadFramedTwice(input) && !answers.empty()) {
    FUZZ_CHECK(answers.front().status == 400 || answers.front().status == 414);
    FUZZ_CHECK(answers.size() == 1);
  }
  return 0;
}
