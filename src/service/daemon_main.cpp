#include "service/daemon_main.h"

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include "metrics/metrics_helper.h"
#include "pdffit/pdfium_api.h"
#include "platform/file_ops.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/log_output.h"
#include "base/app_version.h"
#include "base/program_folder.h"
#include "base/logging.h"
#include "service/origin_commands.h"
#include "service/server_setup.h"
#include "service/service_state.h"
#include "store/config_store.h"
#include "store/database.h"
#include "service/maintenance.h"

namespace tb {
namespace {

// Folder part of an executable path: the text before the last separator.
std::string FolderOf(const std::string& path) {
  size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return {};
  return path.substr(0, cut);
}

// Clears ActiveServer before the server object goes away, on every path.
struct PublishedServer {
  std::unique_ptr<GuardedServer> server = std::make_unique<GuardedServer>();
  PublishedServer() { PublishActiveServer(server.get()); }
  ~PublishedServer() { ClearActiveServer(); }
};

}  // namespace

int daemon_main() {
  // The metrics helper role touches nothing of the daemon: no folder, log or
  // database.
  int helperExitCode = 0;
  if (metrics::RunMetricsHelperMode(helperExitCode)) return helperExitCode;

  platform::Process& process = *platform::Current().process;

  // Working directory = the executable's folder.
  std::string folder = FolderOf(process.ExecutablePath());
  if (!folder.empty() && process.SetCurrentDirectory(folder)) {
    SetProgramFolder(folder);
  } else {
    folder.clear();
  }

  // A session that cannot be told counts as the service: its checks are the
  // safe side. Said once the log is open.
  const platform::Process::Session session = process.OwnSession();
  const uint32_t sessionError =
      session == platform::Process::Session::kUnknown ? process.LastError() : 0;
  const bool inService = session != platform::Process::Session::kConsole;
  platform::RestrictNewFileModes();  // before the log and the database exist
  OpenLog(folder, inService);
  if (folder.empty()) {
    LogInfo("Failed to set working directory.");
    return -1;
  }
  LogInfo("Working dir: " + folder);
  LogInfo(std::string("[Startup] version=") + kAppVersion + " mode=" +
          (inService ? "service" : "console"));
  if (session == platform::Process::Session::kUnknown) {
    LogError("[Startup] the process's session cannot be told (error " +
             std::to_string(sessionError) + "); running as the service");
  }
  if (inService) {
    // The service loads libraries and starts programs from its folder as
    // SYSTEM: anyone else who may change the folder could run code as SYSTEM.
    const std::string problem = process.ServiceFolderProblem(folder);
    if (!problem.empty()) {
      LogError("FATAL: the program folder " + folder + " is not safe for the service: " + problem);
      platform::FlushStandardStreams();
      return kUnsafeFolderResult;
    }
  }

  std::error_code ec;
  std::filesystem::create_directory("sumatrapdfcache", ec);  // existing is fine
  platform::ShareFolderForReading("sumatrapdfcache");  // the print program reads it

  store::OpenDatabase();
  if (store::Database::Shared().IsOpen()) {
    store::Database::Shared().SetBusyTimeout(store::kBusyTimeoutMs);
    store::SeedConfigDefaults();
    ListHandedOverOrigins();
    const bool autoScale = store::GetAutoScalePdf();
    const std::string mode = store::GetPrintSettings();
    LogInfo("[Config] SUMATRA_PRINT_SETTINGS=" + mode +
            ", AUTO_SCALE_PDF_TO_PRINTER=" + (autoScale ? "1" : "0"));
  }

  pdffit::LoadPdfiumAtStartup();

  StartMaintenanceThread();

  int result = 0;
  {
    PublishedServer published;
    GuardedServer& server = *published.server;
    ApplyServerSettings(server);
    RegisterHandlersAndRoutes(server);

    LogInfo("Server: http://127.0.0.1:" + std::to_string(kHttpPort) + "/");
    bool ok = server.bind_to_port(kListenAddress, kHttpPort);
    uint32_t bindError = ok ? 0 : process.LastError();
    if (ok) {
      WidenListenQueueAfterBind();
      ok = server.listen_after_bind();
      if (!ok) bindError = process.LastError();
    }
    if (!ok) {
      LogError("FATAL: cannot bind 0.0.0.0:3806 (port in use or blocked). Win32 error=" +
               std::to_string(bindError));
      result = -2;
    }

    // Ordered shutdown; the listening loop has let running requests finish.
    // Each step is logged so that an operator can see where a stop hung.
    LogInfo("[Shutdown] server stopped");
    StopMaintenanceThread();
    LogInfo("[Shutdown] maintenance thread stopped");
    pdffit::ShutdownPdfium();
    LogInfo("[Shutdown] PDFium released");
    store::CloseDatabase();
    LogInfo("[Shutdown] database closed");
    platform::FlushStandardStreams();
  }
  return result;
}

}  // namespace tb
