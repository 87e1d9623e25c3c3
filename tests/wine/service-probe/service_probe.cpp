// Drives the service-side code of the Windows build under Wine, linked with
// the build's own library, in the conditions a real service meets.
//   service_probe detached <folder>   starts `log <folder>` as a detached
//                                     process without standard handles and
//                                     prints its exit code
//   service_probe log <folder>        (that process) opens the log the service
//                                     way, writes both streams, rotates
//   service_probe pdfium              loads pdfium.dll as the daemon does and
//                                     prints the outcome
//   service_probe nodata              a client that connects to the metrics
//                                     pipe and drops before it is listened on
//   service_probe nosession           the print launcher when the daemon's own
//                                     session cannot be told
//   service_probe revert              ending an impersonation whose revert fails
//   service_probe register <exe>      registers <exe> as /install does, twice
//                                     (/install itself refuses every folder
//                                     under Wine, see wine_check.sh)
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "metrics/metrics_query.h"
#include "pdffit/pdfium_api.h"
#include "platform/log_output.h"
#include "platform/platform.h"
#include "platform/win32/launcher_win32.h"
#include "platform/win32/metrics_channel_win32.h"
#include "platform/win32/service_manager_win32.h"
#include "platform/win32/wide_text.h"
#include "base/program_folder.h"
#include "base/logging.h"

namespace {

std::wstring OwnPath() {
  std::vector<wchar_t> buf(32768);
  const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  return std::wstring(buf.data(), n);
}

int Detached(const std::string& folder) {
  std::wstring line = L"\"" + OwnPath() + L"\" log \"" + tb::platform::Utf8ToWide(folder) + L"\"";
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;  // all three null, as the service manager leaves them
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      nullptr, &si, &pi)) {
    std::printf("CreateProcessW failed: %lu\n", GetLastError());
    return 1;
  }
  DWORD code = 99;
  if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::printf("log process exit code %lu\n", code);
  return code == 0 ? 0 : 1;
}

bool Inheritable(FILE* stream) {
  const int fd = _fileno(stream);
  if (fd < 0) return false;
  DWORD flags = 0;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return GetHandleInformation(h, &flags) && (flags & HANDLE_FLAG_INHERIT);
}

// Exit codes: 0 done, 2 the log was not opened, 3 a log handle is inheritable.
int Log(const std::string& folder) {
  tb::OpenLog(folder, true);
  if (tb::LogFilePath().empty()) return 2;
  if (Inheritable(stdout) || Inheritable(stderr)) return 3;
  tb::LogInfo("first wide line \xE4\xB8\xAD\xE6\x96\x87");
  tb::LogError("first narrow line");
  // Enough to reach the rotation size.
  const std::string filler(1023, 'x');
  for (int i = 0; i < 8192; ++i) tb::LogInfo(filler);
  tb::RotateLogIfLarge();
  tb::LogInfo("after rotation wide");
  tb::LogError("after rotation narrow");
  if (Inheritable(stdout) || Inheritable(stderr)) return 3;
  tb::platform::FlushStandardStreams();
  return 0;
}

int Pdfium() {
  // The program folder is this probe's own; the script decides where a
  // pdfium.dll lies (beside it, or only on PATH and in the current folder).
  std::wstring own = OwnPath();
  tb::SetProgramFolderForTesting(tb::platform::WideToUtf8(own.substr(0, own.find_last_of(L'\\'))));
  std::string error;
  const bool loaded = tb::pdffit::LoadPdfium(error);
  std::printf("%s\n", loaded ? "loaded" : error.c_str());
  return 0;
}

int NoData() {
  tb::platform::Win32MetricsChannel channel;
  std::string error;
  auto pipe = channel.CreateMetricsPipe("tb-probe-nodata-" + std::to_string(GetCurrentProcessId()),
                                        error);
  if (!pipe) {
    std::printf("create: %s\n", error.c_str());
    return 1;
  }
  const std::wstring name = tb::platform::Utf8ToWide(pipe->Name());
  HANDLE early = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (early == INVALID_HANDLE_VALUE) {
    std::printf("early client: %lu\n", GetLastError());
    return 1;
  }
  CloseHandle(early);  // gone before the daemon listens
  if (!pipe->BeginConnect(error)) {
    std::printf("listen: %s\n", error.c_str());
    return 1;
  }
  // The pipe listens again: the next client gets in.
  HANDLE next = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (next == INVALID_HANDLE_VALUE) {
    std::printf("next client: %lu\n", GetLastError());
    return 1;
  }
  CloseHandle(next);
  std::printf("listening again\n");
  return 0;
}

// The session query fails as it could for a service: the launcher must not
// start the program where it stands (that would be SYSTEM in session 0).
class SessionlessLauncher : public tb::platform::Win32DesktopLauncher {
 protected:
  bool OwnSession(uint32_t&) override {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
};

int NoSession() {
  SessionlessLauncher launcher;
  // A program that is there (the probe itself, by full path), so only the
  // unknown session can refuse it.
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  auto child = launcher.CreateProcessOnUserDesktop(std::string("\"") + self + "\" nodata",
                                                   tb::platform::WindowMode::kHidden);
  if (child) {
    std::printf("started anyway\n");
    return 1;
  }
  std::printf("refused: %u\n", launcher.LastError());
  return 0;
}

// RevertToSelf fails (after really reverting, so the probe itself stays
// sound); ending the process is noted instead of done.
class FailingRevertChannel : public tb::platform::Win32MetricsChannel {
 public:
  bool Revert() override {
    RevertToSelf();
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  void EndProcess(uint32_t code) override { endedWith = static_cast<int>(code); }
  int endedWith = -1;
};

int FailedRevert() {
  FailingRevertChannel channel;
  tb::platform::Win32DesktopLauncher launcher;
  // Through the daemon's own way in, which also says what the last line is.
  tb::platform::Platform replaced;
  replaced.launcher = &launcher;
  replaced.metricsChannel = &channel;
  tb::platform::ScopedPlatformOverride use(replaced);
  std::string error;
  auto context = tb::metrics::ImpersonateSessionUser(error);
  if (!context) {
    std::printf("impersonation: %s\n", error.c_str());
    return 1;
  }
  context.reset();
  std::printf("ended with %d\n", channel.endedWith);
  return 0;
}

// Prints the outcome of both; the second must fail, the service existing.
int Register(const std::string& exe) {
  tb::platform::ScmServiceManager manager;
  const bool first = manager.Install(exe);
  const bool second = manager.Install(exe);
  std::printf("first=%d second=%d error=%u\n", first, second, manager.InstallError());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "detached" && argc > 2) return Detached(argv[2]);
  if (mode == "log" && argc > 2) return Log(argv[2]);
  if (mode == "pdfium") return Pdfium();
  if (mode == "nodata") return NoData();
  if (mode == "nosession") return NoSession();
  if (mode == "revert") return FailedRevert();
  if (mode == "register" && argc > 2) return Register(argv[2]);
  std::fprintf(stderr, "usage: service_probe detached|log <folder> | pdfium | nodata | nosession | revert | register <exe>\n");
  return 64;
}
