#include "base/logging.h"

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

namespace tb {
namespace {

// Length of the Unicode line break (U+0085, U+2028, U+2029) that starts at i,
// or 0.
std::size_t UnicodeBreakAt(std::string_view v, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(v[k]); };
  if (at(i) == 0xC2 && i + 1 < v.size() && at(i + 1) == 0x85) return 2;
  if (at(i) == 0xE2 && i + 2 < v.size() && at(i + 1) == 0x80 &&
      (at(i + 2) == 0xA8 || at(i + 2) == 0xA9)) {
    return 3;
  }
  return 0;
}

}  // namespace

std::string LogValue(std::string_view value, std::size_t maxBytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::size_t keep = value.size();
  if (keep > maxBytes) {
    keep = maxBytes;
    // Never cut inside a UTF-8 sequence: back up over continuation bytes.
    while (keep > 0 && (static_cast<unsigned char>(value[keep]) & 0xC0) == 0x80) --keep;
  }
  std::string out;
  out.reserve(keep + 16);
  for (std::size_t i = 0; i < keep;) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if (std::size_t n = UnicodeBreakAt(value, i); n != 0 && i + n <= keep) {
      out += n == 2 ? "\\u{0085}" : (value[i + 2] == '\xA8' ? "\\u{2028}" : "\\u{2029}");
      i += n;
      continue;
    }
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(static_cast<char>(c));
    }
    ++i;
  }
  if (keep < value.size()) {
    out += "...(+" + std::to_string(value.size() - keep) + " bytes)";
  }
  return out;
}

}  // namespace tb
