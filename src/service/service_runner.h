#pragma once
// The service's status sequence and control handling, independent of the OS:
// start pending, running, stop pending while waiting for the daemon (at most
// 45 s), stopped with the daemon's exit code.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/service_manager.h"

namespace tb {

// A manual-reset event: once signalled it stays signalled until reset.
class ManualResetEvent {
 public:
  void Signal();
  void Reset();
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

class ServiceRunner {
 public:
  struct Hooks {
    std::function<int()> runDaemon;            // RunDaemonGuarded
    std::function<bool()> stopServer;          // true once a listening server was told to stop
    std::function<uint64_t()> nowMs;           // monotonic milliseconds
    std::function<void(uint32_t ms)> sleepMs;  // pause between stop reports
    // Ends the process at once with `code` (flushing the log first); called
    // after the stopped report when the daemon had to be abandoned, because
    // returning would run static destructors under its live threads. Tests
    // observe the call instead of exiting. Empty: nothing is called.
    std::function<void(uint32_t code)> endProcess;
    // Starts the worker thread; throws std::system_error when it cannot.
    // Empty: a std::thread is started.
    std::function<std::thread(std::function<void()> body)> startThread;
  };

  static constexpr uint32_t kStopDeadlineMs = 45000;
  static constexpr uint32_t kAbandonedExitCode = 1053;
  static constexpr uint32_t kServiceSpecificError = 1066;

  ServiceRunner(Hooks hooks, std::atomic<bool>& shuttingDown);

  // ServiceMain: reports the whole sequence through `sink` and returns the
  // service's exit code: the daemon's result, or, when a requested stop
  // overran and the daemon was abandoned, 0 (1053 is logged) after which
  // endProcess is called. `sink` is no longer used once this returns.
  uint32_t ServiceMain(platform::ServiceStatusSink& sink);

  // The control handler: stop / shutdown while running, interrogate.
  void HandleControl(uint32_t control);

  platform::ServiceStatus LastReported() const;

 private:
  struct Shared;  // state the worker thread may outlive the runner with
  void Report(uint32_t state, uint32_t accepted, uint32_t waitHint, bool pending,
              uint32_t win32Exit, uint32_t specificExit);
  void ReportLocked(uint32_t state, uint32_t accepted, uint32_t waitHint, bool pending,
                    uint32_t win32Exit, uint32_t specificExit);

  // Asks the daemon's server to stop; remembers whether one was there, so a
  // stop that came before the server existed is repeated until it lands.
  void StopServerOnce();

  Hooks hooks_;
  std::atomic<bool>& shuttingDown_;
  std::atomic<bool> serverStopped_{false};
  std::shared_ptr<Shared> shared_;
  mutable std::mutex statusMutex_;
  platform::ServiceStatus status_;
  uint32_t nextCheckPoint_ = 1;
  platform::ServiceStatusSink* sink_ = nullptr;
};

}  // namespace tb
