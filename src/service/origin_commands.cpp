#include "service/origin_commands.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/logging.h"
#include "platform/file_ops.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "store/allowed_origins.h"
#include "store/database.h"

namespace tb {
namespace {

// Closes the database on every path out of a command.
struct OpenedDatabase {
  OpenedDatabase() {
    platform::RestrictNewFileModes();  // the daemon's own file modes
    store::OpenDatabase();
    store::Database::Shared().SetBusyTimeout(store::kBusyTimeoutMs);  // a running daemon may write
  }
  ~OpenedDatabase() { store::CloseDatabase(); }
  bool IsOpen() { return store::Database::Shared().IsOpen(); }
};

bool EnterProgramFolder() {
  platform::Process& process = *platform::Current().process;
  const std::string path = process.ExecutablePath();
  const size_t cut = path.find_last_of("\\/");
  return cut != std::string::npos && process.SetCurrentDirectory(path.substr(0, cut));
}

// No origin holds a comma or white space, so installers may separate several
// with either, in one argument or many.
std::vector<std::string> SplitOrigins(const std::vector<std::string>& pieces) {
  constexpr const char* kSeparators = ", \t\r\n";
  std::vector<std::string> texts;
  for (const std::string& piece : pieces) {
    size_t start = piece.find_first_not_of(kSeparators);
    while (start != std::string::npos) {
      const size_t end = piece.find_first_of(kSeparators, start);
      texts.push_back(piece.substr(start, end == std::string::npos ? end : end - start));
      start = piece.find_first_not_of(kSeparators, end);
    }
  }
  return texts;
}

void ReportListState() {
  const size_t count = store::ListAllowedOrigins().size();
  if (count == 0) {
    LogInfo("The list of allowed origins is empty: every web page may use the daemon.");
  } else {
    LogInfo("The list of allowed origins is on: " + std::to_string(count) + " origin(s).");
  }
}

int RunOriginCommand(const std::vector<std::string>& args, bool allow) {
  const std::string name = allow ? "/allow-origin" : "/deny-origin";
  const std::vector<std::string> texts =
      SplitOrigins(std::vector<std::string>(args.begin() + std::min<size_t>(2, args.size()), args.end()));
  if (texts.empty()) {
    LogError("usage: tillerbrook " + name + " https://shop.example [more origins]");
    return 1;
  }
  if (!EnterProgramFolder()) {
    LogError("Failed to set working directory.");
    return 1;
  }
  OpenedDatabase db;
  if (!db.IsOpen()) return 1;  // "Cannot open DB: ..." is logged already

  int result = 0;
  for (const std::string& text : texts) {
    std::string origin, error;
    if (allow) {
      if (store::AllowOrigin(text, origin, error)) {
        LogInfo("Allowed origin: " + origin);
        continue;
      }
    } else {
      const int count = store::DenyOrigin(text, origin, error);
      if (count >= 0) {
        LogInfo((count > 0 ? "Removed origin: " : "Not on the list: ") + origin);
        continue;
      }
    }
    LogError(LogValue(text) + ": " + error);
    result = 1;
  }
  ReportListState();
  return result;
}

}  // namespace

void ListHandedOverOrigins() {
  std::error_code ec;
  if (!std::filesystem::exists(kHandedOverOriginsFile, ec)) return;
  if (!store::Database::Shared().IsOpen()) {
    LogError(std::string("[Config] ") + kHandedOverOriginsFile + " kept: no database to list its origins in");
    return;
  }
  // Origins, not documents: a larger file was not written by the setup program.
  constexpr std::streamsize kMaxBytes = 64 * 1024;
  std::string text(kMaxBytes, '\0');
  std::ifstream in(kHandedOverOriginsFile, std::ios::binary);
  in.read(text.data(), kMaxBytes);
  text.resize(static_cast<size_t>(in.gcount()));
  const bool whole = in.good() || in.eof();
  in.close();
  if (!whole || text.size() == static_cast<size_t>(kMaxBytes)) {
    LogError(std::string("[Config] ") + kHandedOverOriginsFile + " is unreadable or too large; ignored");
  } else {
    for (const std::string& piece : SplitOrigins({text})) {
      std::string origin, error;
      if (store::AllowOrigin(piece, origin, error)) {
        LogInfo("[Config] allowed origin " + origin + " (handed over by the setup program)");
      } else {
        LogError("[Config] handed-over origin " + LogValue(piece) + ": " + error);
      }
    }
  }
  // Read once: what failed would fail again at every start.
  if (!std::filesystem::remove(kHandedOverOriginsFile, ec) && ec) {
    LogError(std::string("[Config] cannot remove ") + kHandedOverOriginsFile + ": " + ec.message());
  }
}

int AllowOriginCommand(const std::vector<std::string>& args) { return RunOriginCommand(args, true); }

int DenyOriginCommand(const std::vector<std::string>& args) { return RunOriginCommand(args, false); }

}  // namespace tb
