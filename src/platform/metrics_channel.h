#pragma once
// What the page-metrics helper exchange and the impersonation tier need from
// the operating system: the session user, a private pipe between the daemon
// and the helper it starts, the helper process, and per-thread impersonation.
// Windows uses tokens and a named pipe; Linux a uid and an abstract AF_UNIX
// socket. Error texts name the failed call and end in the error number.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/launcher.h"

namespace tb::platform {

// The user logged on to a session, in the form a process can be started as
// (a primary token; a uid with its groups and environment). Owned by the
// caller; only the channel that opened it can use it.
class SessionUser {
 public:
  virtual ~SessionUser() = default;
};

// The helper process. Destroying it releases its handles; a helper still
// running then is ended, since nobody would read its answer.
class HelperProcess {
 public:
  virtual ~HelperProcess() = default;
  virtual uint32_t Id() const = 0;
  // kFailed carries the failed call's text in `error`.
  virtual WaitOutcome Wait(uint32_t timeoutMs, std::string& error) = 0;
  // The exit code once ended; false when it cannot be read.
  virtual bool ExitCode(uint32_t& code) = 0;
  virtual void Terminate(uint32_t exitCode) = 0;
};

enum class PipeWait {
  kConnected,     // the helper itself is connected
  kHelperExited,  // the helper ended before connecting
  kTimedOut,
  kFailed,
};

enum class PipeRead { kData, kEnd, kTimedOut, kFailed };

// The daemon's end of one query's pipe. Only ever read from, by one thread at
// a time; destroying it closes the pipe and any connection.
class MetricsPipeServer {
 public:
  virtual ~MetricsPipeServer() = default;
  // The name the helper is given to connect to.
  virtual const std::string& Name() const = 0;
  // Starts accepting a connection (before the helper is started).
  virtual bool BeginConnect(std::string& error) = 0;
  // Waits up to `timeoutMs` for `helper` to connect or to end, whichever comes
  // first; a connection that is there when the helper has also ended counts.
  // A connection from any other process is dropped and the wait goes on, so
  // nobody but the helper can hand the daemon a document.
  virtual PipeWait WaitForHelper(HelperProcess& helper, uint32_t timeoutMs, std::string& error) = 0;
  // One read of at most `maxBytes`, waiting up to `timeoutMs` for data.
  virtual PipeRead Read(std::string& chunk, size_t maxBytes, uint32_t timeoutMs,
                        std::string& error) = 0;
};

// The helper's end of the pipe.
class MetricsPipeClient {
 public:
  virtual ~MetricsPipeClient() = default;
  // One blocking write; `written` is what it took. A write that takes
  // nothing is a failure with its own text.
  virtual bool Write(const char* data, size_t size, size_t& written, std::string& error) = 0;
};

enum class PipeOpen {
  kConnected,
  kUnavailable,  // nobody listens yet, or the pipe is busy: worth another try
  kFailed,
};

// Impersonation of a session's user on the calling thread; destroying it
// reverts the thread to its own identity and releases what was acquired.
class Impersonation {
 public:
  virtual ~Impersonation() = default;
};

class MetricsChannel {
 public:
  virtual ~MetricsChannel() = default;

  // Daemon side. Every call is safe from any thread; what it returns belongs
  // to the caller, and a failure (null or false) leaves nothing open.
  virtual std::unique_ptr<SessionUser> OpenSessionUser(uint32_t session, std::string& error) = 0;
  // Milliseconds since boot (GetTickCount64), part of the pipe's name.
  virtual uint64_t TickCount() = 0;
  // Creates the pipe `baseName` ("Tillerbrook_PrinterMetrics_..."); fails when
  // a pipe of that name exists already.
  virtual std::unique_ptr<MetricsPipeServer> CreateMetricsPipe(const std::string& baseName,
                                                               std::string& error) = 0;
  // The running executable, which is also the helper.
  virtual bool ExecutablePath(std::string& path, std::string& error) = 0;
  // Starts `commandLine` (quoted the way the platform's argument splitting
  // undoes) as `user`, hidden, with that user's environment, in `workingDir`
  // (empty: inherited). Null with an error text on failure.
  virtual std::unique_ptr<HelperProcess> StartHelper(SessionUser& user,
                                                     const std::string& executable,
                                                     const std::string& commandLine,
                                                     const std::string& workingDir,
                                                     std::string& error) = 0;

  // Helper side: one connection attempt, and the wait before the next one.
  virtual std::unique_ptr<MetricsPipeClient> OpenMetricsPipe(const std::string& name,
                                                             PipeOpen& result,
                                                             std::string& error) = 0;
  virtual void WaitForMetricsPipe(const std::string& name, uint32_t timeoutMs) = 0;

  // Makes the calling thread act as the user of `session` until the returned
  // object is destroyed; a failure leaves the thread as it was.
  virtual std::unique_ptr<Impersonation> ImpersonateSessionUser(uint32_t session,
                                                                std::string& error) = 0;

  // Receives the failure text ("RevertToSelf failed: 5") when a thread cannot
  // give up a user's identity, just before the process is ended for it, on
  // that thread. The daemon logs it; safe to set from any thread.
  using FatalReport = void (*)(const std::string& failure);
  void SetFatalReport(FatalReport report) { fatalReport_.store(report); }

 protected:
  void ReportFatal(const std::string& failure) const {
    if (FatalReport report = fatalReport_.load()) report(failure);
  }

 private:
  std::atomic<FatalReport> fatalReport_{nullptr};
};

}  // namespace tb::platform
