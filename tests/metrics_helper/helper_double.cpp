// Plays the metrics helper with scripted behaviour, chosen by the printer
// argument ("<behaviour>[:<number>]"), through the real pipe code:
//   ok...      success document whose source echoes the printer argument
//   slow-ok    the same after 1.5 s
//   garbage    "not json"
//   size:N     a success document padded with spaces to N bytes
//   failure    failure document, exit 1
//   close:N    connect, write nothing, exit N
//   exit:N     exit N without connecting
//   never      never connect
//   hang       connect and never end
//   linger     connect, write half a document, leave a child holding the pipe
//   fds        success document whose source lists the descriptors it was
//              started with ("0 /dev/null,1 /dev/null,...")
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "metrics/metrics_helper.h"
#include "metrics/page_metrics.h"
#include "platform/metrics_channel.h"
#include "platform/platform.h"

namespace {

using tb::metrics::SendMetricsResponse;

std::string SuccessDocument(const std::string& printer) {
  tb::metrics::PageMetrics m;
  m.dpiX = m.dpiY = 300;
  m.physicalWidthPx = m.printableWidthPx = 1200;
  m.physicalHeightPx = m.printableHeightPx = 1800;
  m.paperWidthMm = m.printableWidthMm = 101.6;
  m.paperHeightMm = m.printableHeightMm = 152.4;
  m.printableRatio = 101.6 / 152.4;
  m.source = "helper:" + printer;
  return tb::metrics::PageMetricsToJson(m).dump();
}

std::unique_ptr<tb::platform::MetricsPipeClient> Connect(const std::string& pipe) {
  auto& channel = *tb::platform::Current().metricsChannel;
  for (int attempt = 0; attempt < 50; ++attempt) {
    tb::platform::PipeOpen result;
    std::string error;
    auto client = channel.OpenMetricsPipe(pipe, result, error);
    if (client) return client;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::_Exit(3);
}

// "fd target" of every open descriptor but the listing's own.
std::string OpenDescriptors() {
  std::string list;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return "unreadable";
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.' || std::atoi(e->d_name) == ::dirfd(dir)) continue;
    char target[4096];
    const ssize_t n = ::readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target,
                                 sizeof target);
    list += (list.empty() ? "" : ",") + std::string(e->d_name) + " " +
            std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
  }
  ::closedir(dir);
  return list;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 1;
  const std::string printer = argv[2];
  const std::string pipe = argv[3];
  const std::string behaviour = printer.substr(0, printer.find(':'));
  const int number = printer.find(':') == std::string::npos
                         ? 0
                         : std::atoi(printer.c_str() + printer.find(':') + 1);
  std::string error;

  if (behaviour.rfind("ok", 0) == 0) return SendMetricsResponse(pipe, SuccessDocument(printer), error) ? 0 : 1;
  if (behaviour == "fds") {
    const std::string fds = OpenDescriptors();
    return SendMetricsResponse(pipe, SuccessDocument(fds), error) ? 0 : 1;
  }
  if (behaviour == "slow-ok") {
    Sleep(1500);
    return SendMetricsResponse(pipe, SuccessDocument(printer), error) ? 0 : 1;
  }
  if (behaviour == "garbage") return SendMetricsResponse(pipe, "not json", error) ? 0 : 1;
  if (behaviour == "size") {
    std::string doc = SuccessDocument(printer);
    doc.resize(static_cast<size_t>(number), ' ');
    return SendMetricsResponse(pipe, doc, error) ? 0 : 1;
  }
  if (behaviour == "failure") {
    SendMetricsResponse(pipe, R"({"ok":false,"error":"dc+user-devmode=> scripted"})", error);
    return 1;
  }
  if (behaviour == "close") {
    Connect(pipe).reset();
    return number;
  }
  if (behaviour == "exit") return number;
  if (behaviour == "never") {
    Sleep(60000);
    return 0;
  }
  if (behaviour == "hang") {
    auto client = Connect(pipe);
    Sleep(60000);
    return 0;
  }
  if (behaviour == "linger") {
    auto client = Connect(pipe);
    size_t written = 0;
    client->Write("{\"ok\":", 6, written, error);
    if (::fork() == 0) {
      Sleep(5000);  // holds the pipe open after its parent is gone
      std::_Exit(0);
    }
    return 0;
  }
  return 1;
}
