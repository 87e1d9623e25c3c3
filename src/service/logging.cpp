#include "service/logging.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/log_output.h"
#include "platform/utf8_path.h"

namespace tb {
namespace {

std::mutex& LogMutex() {
  static std::mutex m;
  return m;
}

std::string& LogPathStorage() {
  static std::string path;
  return path;
}

void Write(platform::LogStream stream, std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(LogMutex());
  platform::WriteLogLine(stream, line);
}

}  // namespace

void LogInfo(std::string_view text) { Write(platform::LogStream::kInfo, text); }
void LogError(std::string_view text) { Write(platform::LogStream::kError, text); }

std::string LogFilePath() {
  std::lock_guard<std::mutex> lock(LogMutex());
  return LogPathStorage();
}

void OpenLog(const std::string& programFolder, bool inServiceSession) {
  if (programFolder.empty() || !inServiceSession) {
    platform::PrepareConsoleOutput();
    return;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path logs = PathFromUtf8(programFolder) / "logs";
  fs::create_directory(logs, ec);  // an existing folder is fine
  std::string path = PathToUtf8(logs / "Tillerbrook.log");
  bool redirected;
  {
    std::lock_guard<std::mutex> lock(LogMutex());
    redirected = platform::RedirectStandardStreams(path);
    if (redirected) LogPathStorage() = path;
  }
  if (!redirected) {
    // The streams stay where they were (the service manager's journal or
    // nowhere); nothing can be reported about it.
    platform::PrepareConsoleOutput();
    return;
  }
  RotateLogIfLarge();
}

void RotateLogIfLarge() {
  namespace fs = std::filesystem;
  // Holding the log lock for the whole move keeps other threads' lines out of
  // the gap instead of losing them to the null device.
  std::lock_guard<std::mutex> lock(LogMutex());
  const std::string& path = LogPathStorage();
  if (path.empty()) return;
  std::error_code ec;
  std::uintmax_t size = fs::file_size(PathFromUtf8(path), ec);
  if (ec || size < kLogRotateBytes) return;
  platform::FlushStandardStreams();
  platform::RedirectStandardStreamsToNull();
  fs::path current = PathFromUtf8(path);
  fs::path previous = PathFromUtf8(path + ".1");
  fs::remove(previous, ec);
  fs::rename(current, previous, ec);
  platform::RedirectStandardStreams(path);
}

}  // namespace tb
