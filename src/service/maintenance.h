#pragma once
// The background tidy-up: once an hour the log may rotate, cached documents
// not used for three days are removed, and print records older than three
// days are deleted.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tb {

inline constexpr std::chrono::hours kMaintenanceInterval{1};
inline constexpr std::chrono::hours kCacheMaxAge{72};

// One pass: log rotation, the document-cache sweep, the record delete.
// Exceptions propagate to the thread loop, which logs them.
void RunMaintenanceCycle();

// Sweeps <ProgramFolder>/sumatrapdfcache under CacheMutex.
void CleanDocumentCache();
// The sweep of one folder against a given "now": regular files whose
// last-write time lies more than kCacheMaxAge before `now` are deleted (and
// logged); future-dated files and subfolders are left alone.
void CleanDocumentCache(const std::filesystem::path& folder,
                        std::filesystem::file_time_type now);

// The thread that runs `cycle` every `interval`, first one interval after
// Start(). Production uses one hour and RunMaintenanceCycle; tests pass
// their own.
class MaintenanceThread {
 public:
  using Clock = std::chrono::steady_clock;

  explicit MaintenanceThread(Clock::duration interval = kMaintenanceInterval,
                             std::function<void()> cycle = RunMaintenanceCycle);
  ~MaintenanceThread();  // stops and joins
  MaintenanceThread(const MaintenanceThread&) = delete;
  MaintenanceThread& operator=(const MaintenanceThread&) = delete;

  // Clears the stop flag and starts the thread; a running thread is kept.
  void Start();
  // Sets the stop flag under the lock, wakes the thread and joins it. A
  // cycle in progress finishes first. Safe to call more than once.
  void Stop();
  bool StopRequested() const { return stop_.load(); }

 private:
  void Loop();

  const Clock::duration interval_;
  const std::function<void()> cycle_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The daemon's one maintenance thread.
void StartMaintenanceThread();
void StopMaintenanceThread();

}  // namespace tb
