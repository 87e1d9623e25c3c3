#include "service/service_runner.h"

#include <string>
#include <system_error>
#include <thread>

#include "base/logging.h"

namespace tb {

void ManualResetEvent::Signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  cv_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

void ManualResetEvent::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return signalled_; });
}

struct ServiceRunner::Shared {
  ManualResetEvent stopEvent;
  std::atomic<int> result{0};
  std::atomic<bool> done{false};
};

ServiceRunner::ServiceRunner(Hooks hooks, std::atomic<bool>& shuttingDown)
    : hooks_(std::move(hooks)), shuttingDown_(shuttingDown), shared_(std::make_shared<Shared>()) {}

void ServiceRunner::Report(uint32_t state, uint32_t accepted, uint32_t waitHint, bool pending,
                           uint32_t win32Exit, uint32_t specificExit) {
  // One lock per report: the handler and ServiceMain never interleave fields.
  std::lock_guard<std::mutex> lock(statusMutex_);
  ReportLocked(state, accepted, waitHint, pending, win32Exit, specificExit);
}

void ServiceRunner::ReportLocked(uint32_t state, uint32_t accepted, uint32_t waitHint,
                                 bool pending, uint32_t win32Exit, uint32_t specificExit) {
  status_.serviceType = 0x10;
  status_.currentState = state;
  status_.controlsAccepted = accepted;
  status_.win32ExitCode = win32Exit;
  status_.serviceSpecificExitCode = specificExit;
  status_.waitHint = waitHint;
  status_.checkPoint = pending ? nextCheckPoint_++ : 0;
  if (sink_) sink_->Report(status_);
}

platform::ServiceStatus ServiceRunner::LastReported() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return status_;
}

uint32_t ServiceRunner::ServiceMain(platform::ServiceStatusSink& sink) {
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    sink_ = &sink;
  }
  constexpr uint32_t kStopAndShutdown = 5;
  // The last report and forgetting the sink happen under one lock: the sink
  // belongs to the caller, and an interrogate racing the end must not reach
  // it once this returns.
  auto reportStopped = [&](uint32_t win32Exit, uint32_t specificExit) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    ReportLocked(platform::kServiceStopped, kStopAndShutdown, 0, false, win32Exit, specificExit);
    sink_ = nullptr;
  };
  Report(platform::kServiceStartPending, 0, 3000, true, 0, 0);
  Report(platform::kServiceRunning, kStopAndShutdown, 0, false, 0, 0);

  std::shared_ptr<Shared> shared = shared_;
  std::function<int()> run = hooks_.runDaemon;
  std::function<void()> body = [shared, run] {
    int r = run();
    shared->result.exchange(r);
    shared->done.exchange(true);
    shared->stopEvent.Signal();
  };
  std::thread worker;
  try {
    worker = hooks_.startThread ? hooks_.startThread(std::move(body)) : std::thread(std::move(body));
  } catch (const std::system_error& e) {
    // Running was already reported; without this the service would hang there.
    const uint32_t code = static_cast<uint32_t>(e.code().value());
    LogError(std::string("[Service] cannot start the daemon thread: ") + e.what());
    reportStopped(kServiceSpecificError, code);
    return code;
  }

  shared->stopEvent.Wait();

  const uint64_t deadline = hooks_.nowMs() + kStopDeadlineMs;
  while (!shared->done.load() && hooks_.nowMs() < deadline) {
    // A stop that came before the daemon's server existed is delivered as
    // soon as the server is there.
    if (shuttingDown_.load() && !serverStopped_.load()) StopServerOnce();
    {
      std::lock_guard<std::mutex> lock(statusMutex_);
      ReportLocked(platform::kServiceStopPending, kStopAndShutdown, 5000, true, 0,
                   status_.serviceSpecificExitCode);
    }
    hooks_.sleepMs(250);
  }

  const bool abandoned = !shared->done.load();
  if (!abandoned) {
    worker.join();
    const uint32_t exitCode = static_cast<uint32_t>(shared->result.load());
    reportStopped(exitCode == 0 ? 0 : kServiceSpecificError, exitCode);
    return exitCode;
  }
  worker.detach();
  // Only a stop that was asked for can overrun (a daemon that ended by
  // itself is done): it is reported as a stop, so the recovery settings do
  // not start again a service the operator stopped. The log keeps the code.
  // Written before the stopped report, after which the process may be ended
  // at any moment.
  const uint32_t exitCode = shuttingDown_.load() ? 0 : kAbandonedExitCode;
  LogError("[Service] the daemon did not stop within 45 s (" + std::to_string(kAbandonedExitCode) +
           "); ending the process");
  reportStopped(exitCode == 0 ? 0 : kServiceSpecificError, exitCode);
  // The abandoned daemon's threads still use process-wide objects (caches,
  // the maintenance thread, the listening socket): end before anything is
  // destroyed under them.
  if (hooks_.endProcess) hooks_.endProcess(exitCode);
  return exitCode;
}

void ServiceRunner::StopServerOnce() {
  if (hooks_.stopServer && hooks_.stopServer()) serverStopped_.store(true);
}

void ServiceRunner::HandleControl(uint32_t control) {
  if (control == platform::kControlInterrogate) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    if (sink_) sink_->Report(status_);
    return;
  }
  if (control != platform::kControlStop && control != platform::kControlShutdown) return;
  {
    // Test and report under one lock: of two racing stop requests only the
    // first is accepted.
    std::lock_guard<std::mutex> lock(statusMutex_);
    if (status_.currentState != platform::kServiceRunning) return;
    ReportLocked(platform::kServiceStopPending, 5, 45000, true, 0,
                 status_.serviceSpecificExitCode);
  }
  shuttingDown_.store(true);
  StopServerOnce();
  shared_->stopEvent.Signal();
}

}  // namespace tb
