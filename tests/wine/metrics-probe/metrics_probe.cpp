// Drives the page-metrics code of the Windows build under Wine, linked with
// the build's own library. Prints one JSON document (the success or failure
// document) on standard output.
//   metrics_probe derive <printer>             derivation in this process
//   metrics_probe impersonated <printer>       the same as the session's user
//   metrics_probe helper <printer> <helper>    round trip through <helper>
//   metrics_probe foreign <printer> <helper>   the same while another process
//                                              connects to the pipe first
//   metrics_probe forge <pipe>                 (the other process)
// Started with --query-printer-metrics it plays the helper, 2 s late.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "metrics/metrics_helper.h"
#include "metrics/metrics_query.h"
#include "metrics/page_metrics.h"
#include "platform/platform.h"
#include "platform/win32/metrics_channel_win32.h"
#include "platform/win32/wide_text.h"

namespace {

using tb::metrics::PageMetrics;

int Print(bool ok, const PageMetrics& m, const std::string& error) {
  const nlohmann::json doc =
      ok ? tb::metrics::PageMetricsToJson(m) : tb::metrics::PageMetricsFailureJson(error);
  std::printf("%s\n", doc.dump().c_str());
  return ok ? 0 : 1;
}

// Remembers the pipe each query creates, so that a forger can be sent there.
class WatchedChannel : public tb::platform::Win32MetricsChannel {
 public:
  std::unique_ptr<tb::platform::MetricsPipeServer> CreateMetricsPipe(const std::string& baseName,
                                                                     std::string& error) override {
    auto pipe = Win32MetricsChannel::CreateMetricsPipe(baseName, error);
    if (pipe) {
      std::lock_guard<std::mutex> lock(mutex);
      name = pipe->Name();
    }
    return pipe;
  }
  std::mutex mutex;
  std::string name;
};

std::string OwnPath() {
  wchar_t buf[32768];
  const DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
  return tb::platform::WideToUtf8(std::wstring_view(buf, n));
}

// Connects as a stranger, writes a forged answer and waits to be hung up on:
// exit 0 when the daemon dropped the connection within 10 s.
int Forge(const std::string& pipe) {
  const std::wstring wide = tb::platform::Utf8ToWide(pipe);
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 100 && h == INVALID_HANDLE_VALUE; ++i) {
    h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) Sleep(50);
  }
  if (h == INVALID_HANDLE_VALUE) return 2;
  PageMetrics forged;
  forged.dpiX = forged.dpiY = forged.printableWidthPx = forged.printableHeightPx = 1;
  forged.printableRatio = 1;
  forged.source = "forged";
  const std::string doc = tb::metrics::PageMetricsToJson(forged).dump();
  DWORD n = 0;
  WriteFile(h, doc.data(), static_cast<DWORD>(doc.size()), &n, nullptr);
  for (int i = 0; i < 200; ++i) {
    Sleep(50);
    if (!WriteFile(h, " ", 1, &n, nullptr)) {
      CloseHandle(h);
      return 0;
    }
  }
  CloseHandle(h);
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--query-printer-metrics") {
    Sleep(2000);
    int code = 1;
    tb::metrics::RunMetricsHelperMode(code);
    return code;
  }
  if (mode == "forge" && argc > 2) return Forge(argv[2]);
  if (argc < 3) return 2;
  const std::string printer = argv[2];
  PageMetrics m;
  std::string error;
  if (mode == "derive") return Print(tb::metrics::DerivePageMetrics(printer, "interactive:", m, error), m, error);
  if (mode == "impersonated") {
    auto context = tb::metrics::ImpersonateSessionUser(error);
    if (!context) return Print(false, m, error);
    const bool ok = tb::metrics::DerivePageMetrics(printer, "impersonated:", m, error);
    tb::metrics::EndImpersonation(context);
    return Print(ok, m, error);
  }
  if (argc < 4) return 2;

  tb::metrics::HelperOptions options;
  options.executable = argv[3];
  if (mode == "helper") return Print(tb::metrics::QueryMetricsViaHelper(printer, options, m, error), m, error);
  if (mode != "foreign") return 2;

  WatchedChannel channel;
  tb::platform::Platform platform = tb::platform::Native();
  platform.metricsChannel = &channel;
  tb::platform::ScopedPlatformOverride override(platform);
  options.executable = OwnPath();  // this program as the late helper
  bool ok = false;
  std::thread query([&] { ok = tb::metrics::QueryMetricsViaHelper(printer, options, m, error); });
  std::string pipe;
  for (int i = 0; i < 200 && pipe.empty(); ++i) {
    Sleep(10);
    std::lock_guard<std::mutex> lock(channel.mutex);
    pipe = channel.name;
  }
  DWORD forgeCode = 99;
  if (!pipe.empty()) {
    std::wstring line = L"\"" + tb::platform::Utf8ToWide(OwnPath()) + L"\" forge " +
                        tb::platform::Utf8ToWide(pipe);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                       &pi)) {
      WaitForSingleObject(pi.hProcess, 20000);
      GetExitCodeProcess(pi.hProcess, &forgeCode);
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
  }
  query.join();
  std::fprintf(stderr, "forger exit code %lu\n", static_cast<unsigned long>(forgeCode));
  return Print(ok, m, error) == 0 && forgeCode == 0 ? 0 : 1;
}
