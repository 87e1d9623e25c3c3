#pragma once
// The process around the settings routes for their fuzz targets: a database
// in a temporary program folder and a spooler with two printers.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "platform/platform.h"
#include "platform/spooler.h"
#include "base/program_folder.h"
#include "store/database.h"

namespace fuzzenv {

inline const std::vector<std::string>& InstalledPrinters() {
  static const std::vector<std::string> names = {"Brother", "Zebra ZD420"};
  return names;
}

class TwoPrinterSpooler : public tb::platform::Spooler {
 public:
  using EnumResult = tb::platform::EnumResult;
  EnumResult EnumPrinters(std::vector<tb::platform::PrinterEntry>& out) override {
    for (const std::string& name : InstalledPrinters()) out.push_back({name, 0});
    return EnumResult::kOk;
  }
  bool GetDefaultPrinter(std::string& name) override {
    name = InstalledPrinters().front();
    return true;
  }
  std::unique_ptr<tb::platform::PrinterHandle> OpenPrinter(const std::string&,
                                                           tb::platform::PrinterAccess) override {
    return nullptr;
  }
  EnumResult EnumJobs(tb::platform::PrinterHandle&, uint32_t,
                      std::vector<tb::platform::JobEntry>&) override {
    return EnumResult::kFailed;
  }
  bool SetJob(tb::platform::PrinterHandle&, uint32_t, tb::platform::JobControl) override {
    return false;
  }
  int DocumentProperties(tb::platform::PrinterHandle&, const std::string&, tb::platform::DevMode*,
                         const tb::platform::DevMode*, uint32_t) override {
    return -1;
  }
  bool GetPrinterDevMode(tb::platform::PrinterHandle&, int, tb::platform::DevMode&) override {
    return false;
  }
  int PaperIds(const std::string&, std::vector<int16_t>*) override { return -1; }
  int PaperSizes(const std::string&, std::vector<tb::platform::PaperSizeTenthsMm>*) override {
    return -1;
  }
  int Resolutions(const std::string&, std::vector<tb::platform::Resolution>*) override {
    return -1;
  }
  std::unique_ptr<tb::platform::DeviceContext> CreateDC(const std::string&,
                                                        const tb::platform::DevMode&) override {
    return nullptr;
  }
  uint32_t LastError() override { return 2; }
};

struct SettingsEnvironment {
  SettingsEnvironment() {
    // libFuzzer may end without running exit handlers, so the runner script
    // names a folder it clears itself.
    const char* base = std::getenv("TB_FUZZ_TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/tb-fuzz-settings-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    folder = pattern;
    tb::SetProgramFolderForTesting(folder.string());
    tb::store::Database::Shared().Open((folder / "database.db").string());
    platform = tb::platform::Native();
    platform.spooler = &spooler;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(Get().folder, ec);
    });
  }
  static SettingsEnvironment& Get() {
    static SettingsEnvironment env;
    return env;
  }
  std::filesystem::path folder;
  TwoPrinterSpooler spooler;
  tb::platform::Platform platform;
};

// What every answer of a settings route must be: a JSON object in the reply
// envelope, with a status the route uses.
inline nlohmann::json CheckedReply(int status, const std::string& body) {
  FUZZ_CHECK(status == 200 || status == 400);
  nlohmann::json reply = nlohmann::json::parse(body, nullptr, false);
  FUZZ_CHECK(!reply.is_discarded() && reply.is_object());
  FUZZ_CHECK(reply.value("status", "") == "success" || reply.value("status", "") == "error");
  if (reply["status"] == "error") {
    FUZZ_CHECK(reply.contains("msg") && reply["msg"].is_string());
    FUZZ_CHECK(reply["msg"].get_ref<const std::string&>().size() <= 2048);  // bounded texts
  }
  return reply;
}

}  // namespace fuzzenv
