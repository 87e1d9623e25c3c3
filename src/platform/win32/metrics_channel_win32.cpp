#include "platform/win32/metrics_channel_win32.h"

#include <windows.h>
#include <sddl.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/end_process.h"
#include "platform/log_output.h"
#include "platform/win32/desktop_start.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide_text.h"

namespace tb::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kPipeSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";
constexpr DWORD kPipeOpenMode = PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE |
                                FILE_FLAG_OVERLAPPED;  // 0x40080001
constexpr DWORD kPipeBufferBytes = 4096;
constexpr DWORD kPipeDefaultTimeoutMs = 8000;
constexpr int kRelistenAttempts = 16;
constexpr DWORD kRevertFailedExitCode = 1;

std::string Failed(const char* call, DWORD error = GetLastError()) {
  return std::string(call) + " failed: " + std::to_string(static_cast<uint32_t>(error));
}

DWORD RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<DWORD>(left);
}

struct WinSessionUser : SessionUser {
  Handle primaryToken;
};

class WinHelperProcess : public HelperProcess {
 public:
  explicit WinHelperProcess(const PROCESS_INFORMATION& pi)
      : process_(pi.hProcess), thread_(pi.hThread), id_(pi.dwProcessId) {}
  ~WinHelperProcess() override {
    // Nobody reads a helper that is still running now.
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) TerminateProcess(process_.get(), 2);
  }

  uint32_t Id() const override { return id_; }
  HANDLE process() const { return process_.get(); }

  WaitOutcome Wait(uint32_t timeoutMs, std::string& error) override {
    switch (WaitForSingleObject(process_.get(), timeoutMs)) {
      case WAIT_OBJECT_0:
        return WaitOutcome::kExited;
      case WAIT_TIMEOUT:
        return WaitOutcome::kTimedOut;
      default:
        error = Failed("WaitForSingleObject(metrics helper)");
        return WaitOutcome::kFailed;
    }
  }

  bool ExitCode(uint32_t& code) override {
    DWORD value = 0;
    if (!GetExitCodeProcess(process_.get(), &value)) return false;
    code = value;
    return true;
  }

  void Terminate(uint32_t exitCode) override { TerminateProcess(process_.get(), exitCode); }

 private:
  Handle process_;
  Handle thread_;
  DWORD id_;
};

class WinPipeServer : public MetricsPipeServer {
 public:
  WinPipeServer(std::string name, HANDLE pipe) : name_(std::move(name)), pipe_(pipe) {}

  ~WinPipeServer() override {
    // An operation still pending writes into these members: cancel it and
    // wait for it to finish before anything is freed.
    DWORD ignored = 0;
    if (connectPending_) {
      CancelIoEx(pipe_.get(), &connectOv_);
      GetOverlappedResult(pipe_.get(), &connectOv_, &ignored, TRUE);
    }
    if (readPending_) {
      CancelIoEx(pipe_.get(), &readOv_);
      GetOverlappedResult(pipe_.get(), &readOv_, &ignored, TRUE);
    }
  }

  const std::string& Name() const override { return name_; }

  bool BeginConnect(std::string& error) override {
    connectEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connectEvent_.get()) {
      error = Failed("CreateEventW(overlapped)");
      return false;
    }
    return StartConnect(error);
  }

  PipeWait WaitForHelper(HelperProcess& helper, uint32_t timeoutMs, std::string& error) override {
    auto& process = static_cast<WinHelperProcess&>(helper);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (connected_) {
        ULONG client = 0;
        if (GetNamedPipeClientProcessId(pipe_.get(), &client) && client == process.Id())
          return PipeWait::kConnected;
        // Someone else's connection: drop it and listen again.
        DisconnectNamedPipe(pipe_.get());
        connected_ = false;
        if (!StartConnect(error)) return PipeWait::kFailed;
        continue;
      }
      HANDLE waits[2] = {connectEvent_.get(), process.process()};
      const DWORD r = WaitForMultipleObjects(2, waits, FALSE, RemainingMs(deadline));
      if (r == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        connectPending_ = false;
        if (!GetOverlappedResult(pipe_.get(), &connectOv_, &ignored, FALSE) &&
            GetLastError() != ERROR_PIPE_CONNECTED) {
          error = Failed("GetOverlappedResult(ConnectNamedPipe)");
          return PipeWait::kFailed;
        }
        connected_ = true;
        continue;
      }
      if (r == WAIT_OBJECT_0 + 1) return PipeWait::kHelperExited;
      if (r == WAIT_TIMEOUT) return PipeWait::kTimedOut;
      error = Failed("WaitForMultipleObjects(metrics helper)");
      return PipeWait::kFailed;
    }
  }

  PipeRead Read(std::string& chunk, size_t maxBytes, uint32_t timeoutMs,
                std::string& error) override {
    if (!readEvent_.get()) {
      readEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      if (!readEvent_.get()) {
        error = Failed("CreateEventW(overlapped)");
        return PipeRead::kFailed;
      }
    }
    readBuffer_.resize(maxBytes);
    ResetEvent(readEvent_.get());
    readOv_ = OVERLAPPED{};
    readOv_.hEvent = readEvent_.get();
    DWORD got = 0;
    if (ReadFile(pipe_.get(), readBuffer_.data(), static_cast<DWORD>(maxBytes), &got, &readOv_)) {
      if (got == 0) return PipeRead::kEnd;
      chunk.assign(readBuffer_.data(), got);
      return PipeRead::kData;
    }
    const DWORD e = GetLastError();
    if (e == ERROR_BROKEN_PIPE) return PipeRead::kEnd;
    if (e != ERROR_IO_PENDING) {
      error = Failed("ReadFile(metrics pipe)", e);
      return PipeRead::kFailed;
    }
    readPending_ = true;
    const DWORD w = WaitForSingleObject(readEvent_.get(), timeoutMs);
    if (w == WAIT_TIMEOUT) return PipeRead::kTimedOut;
    if (w != WAIT_OBJECT_0) {
      error = Failed("WaitForSingleObject(metrics pipe read)");
      return PipeRead::kFailed;
    }
    readPending_ = false;
    if (!GetOverlappedResult(pipe_.get(), &readOv_, &got, FALSE)) {
      const DWORD r = GetLastError();
      if (r == ERROR_BROKEN_PIPE) return PipeRead::kEnd;
      error = Failed("GetOverlappedResult(metrics read)", r);
      return PipeRead::kFailed;
    }
    if (got == 0) return PipeRead::kEnd;
    chunk.assign(readBuffer_.data(), got);
    return PipeRead::kData;
  }

 private:
  bool StartConnect(std::string& error) {
    // A client that connected and closed before this call leaves the pipe
    // closing (ERROR_NO_DATA): drop it and listen again. Bounded, so a
    // process doing that in a loop cannot hold this thread.
    DWORD e = ERROR_NO_DATA;
    for (int attempt = 0; attempt < kRelistenAttempts && e == ERROR_NO_DATA; ++attempt) {
      ResetEvent(connectEvent_.get());
      connectOv_ = OVERLAPPED{};
      connectOv_.hEvent = connectEvent_.get();
      if (ConnectNamedPipe(pipe_.get(), &connectOv_)) {
        connected_ = true;
        return true;
      }
      e = GetLastError();
      if (e == ERROR_NO_DATA) DisconnectNamedPipe(pipe_.get());
    }
    if (e == ERROR_PIPE_CONNECTED) {
      connected_ = true;
      return true;
    }
    if (e == ERROR_IO_PENDING) {
      connectPending_ = true;
      return true;
    }
    error = Failed("ConnectNamedPipe", e);
    return false;
  }

  std::string name_;
  Handle pipe_;
  Handle connectEvent_;
  Handle readEvent_;
  OVERLAPPED connectOv_{};
  OVERLAPPED readOv_{};
  std::vector<char> readBuffer_;
  bool connectPending_ = false;
  bool readPending_ = false;
  bool connected_ = false;
};

class WinPipeClient : public MetricsPipeClient {
 public:
  explicit WinPipeClient(HANDLE h) : h_(h) {}
  bool Write(const char* data, size_t size, size_t& written, std::string& error) override {
    DWORD n = 0;
    const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!WriteFile(h_.get(), data, want, &n, nullptr)) {
      error = Failed("WriteFile(metrics pipe)");
      return false;
    }
    if (n == 0) {
      error = "WriteFile(metrics pipe) wrote zero bytes";
      return false;
    }
    written = n;
    return true;
  }

 private:
  Handle h_;
};

class WinImpersonation : public Impersonation {
 public:
  explicit WinImpersonation(Win32MetricsChannel& channel) : channel_(channel) {}
  ~WinImpersonation() override {
    if (impersonating && !channel_.Revert()) {
      // This thread would go on serving requests as the user. The service
      // manager starts the daemon again.
      channel_.EndProcessAfterFailedRevert(Failed("RevertToSelf"), kRevertFailedExitCode);
      return;  // only reached when ending was replaced (tests)
    }
    if (profileLoaded) UnloadUserProfile(token.get(), profile);
  }
  Handle token;
  HANDLE profile = nullptr;
  bool impersonating = false;
  bool profileLoaded = false;

 private:
  Win32MetricsChannel& channel_;
};

}  // namespace

std::unique_ptr<SessionUser> Win32MetricsChannel::OpenSessionUser(uint32_t session,
                                                                  std::string& error) {
  auto user = std::make_unique<WinSessionUser>();
  DWORD code = 0;
  if (!SessionPrimaryToken(session, user->primaryToken, error, code)) return nullptr;
  return user;
}

uint64_t Win32MetricsChannel::TickCount() { return GetTickCount64(); }

bool Win32MetricsChannel::Revert() { return RevertToSelf() != FALSE; }

void Win32MetricsChannel::EndProcessAfterFailedRevert(const std::string& failure, uint32_t code) {
  ReportFatal(failure);
  EndProcess(code);
}

void Win32MetricsChannel::EndProcess(uint32_t code) {
  FlushStandardStreams();
  EndProcessNow(code);
}

std::unique_ptr<MetricsPipeServer> Win32MetricsChannel::CreateMetricsPipe(
    const std::string& baseName, std::string& error) {
  const std::string name = "\\\\.\\pipe\\" + baseName;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &sd,
                                                            nullptr)) {
    error = Failed("ConvertStringSecurityDescriptorToSecurityDescriptorW");
    return nullptr;
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  // Only a helper on this machine ever answers; a client over the network is
  // refused before it can connect.
  HANDLE pipe = CreateNamedPipeW(Utf8ToWide(name).c_str(), kPipeOpenMode,
                                 PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeBufferBytes, kPipeBufferBytes,
                                 kPipeDefaultTimeoutMs, &sa);
  const DWORD e = GetLastError();
  LocalFree(sd);
  if (pipe == INVALID_HANDLE_VALUE) {
    error = Failed("CreateNamedPipeW", e);
    return nullptr;
  }
  return std::make_unique<WinPipeServer>(name, pipe);
}

bool Win32MetricsChannel::ExecutablePath(std::string& path, std::string& error) {
  std::vector<wchar_t> buf(32768);
  const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  if (n == 0 || n >= buf.size()) {
    error = Failed("GetModuleFileNameW");
    return false;
  }
  path = WideToUtf8(std::wstring_view(buf.data(), n));
  return true;
}

std::unique_ptr<HelperProcess> Win32MetricsChannel::StartHelper(SessionUser& sessionUser,
                                                                const std::string& executable,
                                                                const std::string& commandLine,
                                                                const std::string& workingDir,
                                                                std::string& error) {
  auto& user = static_cast<WinSessionUser&>(sessionUser);
  DesktopStart start;
  start.token = user.primaryToken.get();
  start.application = Utf8ToWide(executable);
  start.commandLine = Utf8ToWide(commandLine);
  start.workingDir = Utf8ToWide(workingDir);
  start.mode = WindowMode::kHidden;
  start.flags = CREATE_NO_WINDOW;
  PROCESS_INFORMATION pi{};
  DWORD e = 0;
  if (!StartOnDesktop(start, pi, e)) {
    error = Failed("CreateProcessAsUserW(metrics helper)", e);
    return nullptr;
  }
  return std::make_unique<WinHelperProcess>(pi);
}

std::unique_ptr<MetricsPipeClient> Win32MetricsChannel::OpenMetricsPipe(const std::string& name,
                                                                        PipeOpen& result,
                                                                        std::string& error) {
  HANDLE h = CreateFileW(Utf8ToWide(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    result = PipeOpen::kConnected;
    return std::make_unique<WinPipeClient>(h);
  }
  const DWORD e = GetLastError();
  if (e == ERROR_PIPE_BUSY || e == ERROR_FILE_NOT_FOUND) {
    result = PipeOpen::kUnavailable;
    return nullptr;
  }
  result = PipeOpen::kFailed;
  error = Failed("CreateFileW(metrics pipe)", e);
  return nullptr;
}

void Win32MetricsChannel::WaitForMetricsPipe(const std::string& name, uint32_t timeoutMs) {
  WaitNamedPipeW(Utf8ToWide(name).c_str(), timeoutMs);
}

std::unique_ptr<Impersonation> Win32MetricsChannel::ImpersonateSessionUser(uint32_t session,
                                                                           std::string& error) {
  auto context = std::make_unique<WinImpersonation>(*this);
  if (!WTSQueryUserToken(session, context->token.out())) {
    error = "WTSQueryUserToken(" + std::to_string(session) + ") failed: " +
            std::to_string(static_cast<uint32_t>(GetLastError()));
    return nullptr;
  }
  // The user's own printer settings live in the profile: load it when the
  // session names its user. Neither step failing is an error.
  LPWSTR userName = nullptr;
  DWORD bytes = 0;
  if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &userName,
                                  &bytes)) {
    if (userName && userName[0]) {
      PROFILEINFOW profile{};
      profile.dwSize = sizeof profile;
      profile.dwFlags = PI_NOUI;
      profile.lpUserName = userName;
      if (LoadUserProfileW(context->token.get(), &profile)) {
        context->profile = profile.hProfile;
        context->profileLoaded = true;
      }
    }
    WTSFreeMemory(userName);
  }
  if (!ImpersonateLoggedOnUser(context->token.get())) {
    error = Failed("ImpersonateLoggedOnUser");
    return nullptr;  // unloads the profile and closes the token
  }
  context->impersonating = true;
  return context;
}

}  // namespace tb::platform
