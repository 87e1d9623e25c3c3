#include "service/entry_point.h"

#include <chrono>
#include <exception>
#include <thread>

#include "platform/end_process.h"
#include "platform/file_ops.h"
#include "platform/log_output.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "service/daemon_main.h"
#include "service/origin_commands.h"
#include "base/logging.h"
#include "service/service_runner.h"
#include "service/service_state.h"
#include "store/config_store.h"
#include "store/database.h"

namespace tb {
namespace {

constexpr uint32_t kServiceMarkedForDelete = 1072;  // ERROR_SERVICE_MARKED_FOR_DELETE

int InstallCommand() {
  platform::Platform& p = platform::Current();
  std::string path = p.process->ExecutablePath();
  const size_t cut = path.find_last_of("\\/");
  if (cut != std::string::npos) {
    // The service runs as SYSTEM from this folder: refused when others may
    // change what is in it (a user's folder, a share, a volume's root).
    const std::string folder = path.substr(0, cut);
    const std::string problem = p.process->ServiceFolderProblem(folder);
    if (!problem.empty()) {
      LogError("安装失败！程序文件夹 " + folder + " 不安全：" + problem +
               "。请把程序放在只有 SYSTEM 和管理员能修改的文件夹中。");
      return 1;
    }
  }
  const bool installed = !path.empty() && p.serviceManager->Install(path);
  if (!path.empty()) {
    if (const std::string warning = p.serviceManager->InstallWarning(); !warning.empty())
      LogError(warning);
  }
  if (installed) {
    LogInfo("服务安装成功！");
    return 0;
  }
  if (!path.empty() && p.serviceManager->InstallError() == kServiceMarkedForDelete) {
    // Administrator rights would not help: the old service is still going away.
    LogError("安装失败！错误 1072：旧服务已标记为删除，服务停止后或系统重启后才会删除完成。");
    return 1;
  }
  LogError("安装失败，请确保以管理员身份运行！");
  return 1;
}

int UninstallCommand() {
  using R = platform::ServiceManager::UninstallResult;
  switch (platform::Current().serviceManager->Uninstall()) {
    case R::kCannotOpen:
      LogError("卸载失败！");
      return 1;
    case R::kDeleted:
      LogInfo("服务卸载成功！");
      return 0;
    case R::kMarkedForDeletion:
      LogInfo("服务卸载成功！");
      LogInfo("服务仍在运行或被占用，删除将在服务停止后或系统重启时完成。");
      return 0;
    case R::kDeleteFailed:
      return 0;
  }
  return 0;
}

// /allow-raw and /deny-raw PRINTER: the switch for installers, written into
// the database beside the executable (the daemon may be running: it reads
// every setting when it needs it).
int RawSwitchCommand(bool on) {
  platform::Process& process = *platform::Current().process;
  // The command line as the platform splits it: UTF-8 on Windows too.
  const std::vector<std::string> args = process.CommandLineArguments();
  const std::string printer = args.size() >= 3 ? args[2] : "";
  if (printer.empty()) {
    LogError(std::string("用法：") + (on ? "/allow-raw" : "/deny-raw") + " 打印机名称");
    return 1;
  }
  const std::string path = process.ExecutablePath();
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos || !process.SetCurrentDirectory(path.substr(0, cut))) {
    LogError("原始打印设置失败：无法进入程序目录");
    return 1;
  }
  platform::RestrictNewFileModes();  // a database made here is the daemon's own
  store::Database& db = store::Database::Shared();
  db.Open();
  db.SetBusyTimeout(store::kBusyTimeoutMs);
  std::string error;
  const bool saved = store::SetRawPrintingAllowed(printer, on, &error);
  db.Close();
  if (!saved) {
    LogError("原始打印设置失败：" + error);
    return 1;
  }
  LogInfo(std::string(on ? "原始打印已开启：" : "原始打印已关闭：") + printer);
  return 0;
}

int RunService() {
  ServiceRunner::Hooks hooks;
  hooks.runDaemon = RunDaemonGuarded;
  hooks.stopServer = StopActiveServer;
  hooks.nowMs = [] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  };
  hooks.sleepMs = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  hooks.endProcess = [](uint32_t code) {
    platform::FlushStandardStreams();
    // No atexit handlers, static destructors or library detach code: the
    // abandoned daemon's threads still use them.
    platform::EndProcessNow(code);
  };
  // Never destroyed: an abandoned worker may still reach it while the process ends.
  // Held in a static so that leak checkers count it as in use, not lost.
  [[maybe_unused]] static ServiceRunner* volatile keptRunner = nullptr;
  auto* runner = new ServiceRunner(std::move(hooks), ShuttingDown());
  keptRunner = runner;
  platform::ServiceCallbacks callbacks;
  callbacks.serviceMain = [runner](platform::ServiceStatusSink& sink) {
    return runner->ServiceMain(sink);
  };
  callbacks.control = [runner](uint32_t control) { runner->HandleControl(control); };
  return platform::Current().serviceManager->RunDispatcher(callbacks);
}

}  // namespace

int RunDaemonGuarded() {
  platform::Process& process = *platform::Current().process;
  std::string path = process.ExecutablePath();
  size_t cut = path.find_last_of("\\/");
  if (cut != std::string::npos) process.SetCurrentDirectory(path.substr(0, cut));
  try {
    return daemon_main();
  } catch (const std::exception& e) {
    LogError(std::string("[Service] daemon_main threw: ") + e.what());
    return -3;
  } catch (...) {
    LogError("[Service] daemon_main threw an unknown exception");
    return -4;
  }
}

int RunEntryPoint(const std::vector<std::string>& args) {
  std::vector<std::string> split = platform::Current().process->CommandLineArguments();
  if (split.size() >= 2 && split[1] == kMetricsHelperSwitch) return daemon_main();

  if (args.size() >= 2) {
    if (args[1] == "/install") return InstallCommand();
    if (args[1] == "/uninstall") return UninstallCommand();
    if (args[1] == "/debug") return RunDaemonGuarded();
    if (args[1] == "/allow-raw") return RawSwitchCommand(true);
    if (args[1] == "/deny-raw") return RawSwitchCommand(false);
    if (args[1] == "/allow-origin") return AllowOriginCommand(args);
    if (args[1] == "/deny-origin") return DenyOriginCommand(args);
  }
  return RunService();
}

}  // namespace tb
