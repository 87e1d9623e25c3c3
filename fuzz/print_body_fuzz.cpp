// POST /print bodies through the intake and the document cache, in a
// temporary program folder (bodies asking for the PDF fit are skipped). The print program never starts: the launcher
// here refuses every launch, so a request that gets that far is answered
// with the launch failure and recorded.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "platform/launcher.h"
#include "platform/platform.h"
#include "routes/print_route.h"
#include "printing/print_services.h"
#include "base/program_folder.h"
#include "store/database.h"

namespace {
namespace fs = std::filesystem;

class RefusingLauncher : public tb::platform::DesktopLauncher {
 public:
  uint32_t ActiveUserSession() override { return 1; }
  std::unique_ptr<tb::platform::ChildProcess> CreateProcessOnUserDesktop(
      const std::string&, tb::platform::WindowMode) override {
    return nullptr;
  }
  uint32_t LastError() override { return 2; }
};

struct Environment {
  Environment() {
    // libFuzzer may end without running exit handlers, so the runner script
    // names a folder it clears itself.
    const char* base = std::getenv("TB_FUZZ_TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tb-fuzz-print-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    folder = pattern;
    fs::create_directory(folder / "sumatrapdfcache");
    tb::SetProgramFolderForTesting(folder.string());
    tb::store::Database::Shared().Open((folder / "database.db").string());
    platform.launcher = &launcher;
    services.listConfig = [](const std::string&, const std::string& key) {
      std::vector<tb::store::ConfigEntry> rows;
      if (key == "label") rows.push_back({"printer", "", "label", "Label Printer"});
      return rows;
    };
    services.autoScalePdf = [] { return false; };
    services.printSettings = [] { return std::string("fit"); };
    services.resolveDefaultPrinter = [] { return std::string("Default Printer"); };
    services.cancelPrintJob = [](std::string&, const tb::printers::JobFilter&) { return 0; };
    services.limits.pauseBeforeCancel = std::chrono::milliseconds(0);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Get().folder, ec);
    });
  }
  static Environment& Get() {
    static Environment env;
    return env;
  }
  fs::path folder;
  RefusingLauncher launcher;
  tb::platform::Platform platform;
  tb::printing::PrintServices services;
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietLogUnlessVerbose();
  Environment::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Fitting a PDF asks the printer for its page metrics, which is not input
  // parsing and needs a spooler; such bodies are left to the unit tests.
  const nlohmann::json probe = nlohmann::json::parse(data, data + size, nullptr, false);
  if (probe.is_object()) {
    auto it = probe.find("AutoScalePdfToPrinter");
    if (it != probe.end() && it->is_boolean() && it->get<bool>()) return 0;
  }
  Environment& env = Environment::Get();
  tb::platform::ScopedPlatformOverride use(env.platform);
  httplib::Response res;
  tb::HandlePrintBody(std::string(reinterpret_cast<const char*>(data), size), res,
                                env.services);
  nlohmann::json reply = nlohmann::json::parse(res.body, nullptr, false);
  FUZZ_CHECK(!reply.is_discarded());
  FUZZ_CHECK(reply.is_object());
  std::vector<fs::path> cached;
  for (const auto& e : fs::directory_iterator(env.folder / "sumatrapdfcache")) cached.push_back(e.path());
  for (const fs::path& p : cached) {
    FUZZ_CHECK(p.filename().string().find(".partial") == std::string::npos);  // never left behind
    fs::remove(p);
  }
  return 0;
}
