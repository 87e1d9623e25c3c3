#include "service/maintenance.h"


#include <exception>
#include <system_error>
#include <vector>

#include "metrics/metrics_query.h"
#include "platform/utf8_path.h"
#include "printing/document_cache.h"
#include "base/program_folder.h"
#include "base/logging.h"
#include "store/print_records.h"

namespace tb {

namespace fs = std::filesystem;

void CleanDocumentCache(const fs::path& folder, fs::file_time_type now) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return;  // no folder, nothing to age out
  // Listed first so that removing files cannot disturb the iteration.
  std::vector<fs::directory_entry> entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    entries.push_back(*it);
  }
  for (const fs::directory_entry& entry : entries) {
    if (entry.is_directory(ec) || ec) continue;
    const fs::file_time_type written = fs::last_write_time(entry.path(), ec);
    if (ec) continue;
    // A file dated in the future is never old, however the clock moved.
    if (!(written < now) || now - written <= kCacheMaxAge) continue;
    // A file in use or protected stays; the next cycle tries again.
    if (fs::remove(entry.path(), ec) && !ec) {
      LogInfo("[CacheCleaner] Deleted: " + PathToUtf8(entry.path().filename()));
    }
  }
}

void CleanDocumentCache() {
  const std::string programFolder = ProgramFolder();
  if (programFolder.empty()) return;
  // Held for the whole sweep: no print may add or use a cached document
  // while files are being removed.
  MutexLock lock(printing::CacheMutex());
  CleanDocumentCache(PathFromUtf8(programFolder) / printing::kCacheFolderName,
                     fs::file_time_type::clock::now());
}

void RunMaintenanceCycle() {
  RotateLogIfLarge();
  metrics::ClearMetricsCache();
  LogInfo("[CacheCleaner] Running...");
  CleanDocumentCache();
  if (std::optional<int> deleted = store::DeleteOldPrintRecords()) {
    LogInfo("[Maintenance] Deleted " + std::to_string(*deleted) + " old records.");
  }
}

MaintenanceThread::MaintenanceThread(Clock::duration interval, std::function<void()> cycle)
    : interval_(interval), cycle_(std::move(cycle)) {}

MaintenanceThread::~MaintenanceThread() { Stop(); }

void MaintenanceThread::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread(&MaintenanceThread::Loop, this);
}

void MaintenanceThread::Stop() {
  {
    // Set under the lock so the thread cannot check the flag and then miss
    // the wake-up before it starts waiting.
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void MaintenanceThread::Loop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const Clock::time_point deadline = Clock::now() + interval_;
      wake_.wait_until(lock, deadline, [this] { return stop_.load(); });
      if (stop_) return;
    }
    try {
      cycle_();
    } catch (const std::exception& e) {
      LogError(std::string("[Maintenance] exception: ") + e.what());
    } catch (...) {
      LogError("[Maintenance] unknown exception");
    }
  }
}

namespace {

MaintenanceThread& DaemonMaintenance() {
  static MaintenanceThread thread;
  return thread;
}

}  // namespace

void StartMaintenanceThread() { DaemonMaintenance().Start(); }

void StopMaintenanceThread() { DaemonMaintenance().Stop(); }

}  // namespace tb
