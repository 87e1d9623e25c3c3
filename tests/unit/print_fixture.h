#pragma once
// POST /print in-process: a program folder with its document cache and
// database, a scripted launcher standing in for the print program and the
// close helper, and stand-ins for the configuration and the printer list.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fakes/fake_launcher.h"
#include "fakes/fake_printing_account.h"
#include "platform/platform.h"
#include "printing/document_cache.h"
#include "printing/print_execution.h"
#include "routes/print_route.h"
#include "base/program_folder.h"
#include "base/shutting_down.h"
#include "support/capture.h"
#include "unit/store_test_db.h"

namespace tbtest {

class PrintTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    std::filesystem::create_directory(folder / "sumatrapdfcache");
    tb::SetProgramFolderForTesting(folder.path());
    platform.launcher = &launcher;
    platform.printingAccount = &account;
    launcher.programs[tb::printing::kPrintProgram] = FakeProgram{};

    services.listConfig = [this](const std::string& type, const std::string& key) {
      events.Add("listConfig " + type + "|" + key);
      std::vector<tb::store::ConfigEntry> rows;
      for (const auto& row : config) {
        if ((type.empty() || row.type == type) && (key.empty() || row.key == key)) rows.push_back(row);
      }
      return rows;
    };
    services.autoScalePdf = [this] { return autoScale; };
    services.printSettings = [this] { return printSettings; };
    services.resolveDefaultPrinter = [this] {
      events.Add("resolveDefaultPrinter");
      return defaultPrinter;
    };
    services.cancelPrintJob = [this](std::string& name, const tb::printers::JobFilter& filter) {
      events.Add("cancel " + name + " (" + filter.owner + ", " + filter.document + ")");
      if (!cancelError.empty()) throw std::runtime_error(cancelError);
      return 0;
    };
    services.limits.pauseBeforeCancel = std::chrono::milliseconds(0);
  }

  void TearDown() override {
    tb::ShuttingDown().store(false);
    tb::SetProgramFolderForTesting("");
    StoreTest::TearDown();
  }

  // Posts `body` to the handler; the reply's body parsed (null when not JSON).
  nlohmann::json Post(const std::string& body) {
    httplib::Response res;
    {
      tb::platform::ScopedPlatformOverride use(platform);
      CapturedFd out(1), err(2);
      tb::HandlePrintBody(body, res, services);
      infoLog = out.Text();
      errorLog = err.Text();
    }
    status = res.status;
    return nlohmann::json::parse(res.body, nullptr, false);
  }
  nlohmann::json Post(const nlohmann::json& body) { return Post(body.dump()); }

  std::vector<std::string> Query(const std::string& sql) { return file.Query(sql); }
  void Exec(const std::string& sql) { file.Exec(sql); }

  std::vector<std::string> Records() {
    return Query(
        "SELECT md5sum,RequestTrackingNumber,filePath,fileSize,printerName,code FROM print_files "
        "ORDER BY id;");
  }

  std::vector<std::string> CacheFiles() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder / "sumatrapdfcache")) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string CachePath(const std::string& name) { return folder / ("sumatrapdfcache/" + name); }

  FakeEvents events;
  FakeLauncher launcher{events};
  FakeEvents accountEvents;
  FakePrintingAccount account{accountEvents};
  tb::platform::Platform platform;
  tb::printing::PrintServices services;
  std::vector<tb::store::ConfigEntry> config;
  bool autoScale = false;
  std::string printSettings = "fit";
  std::string defaultPrinter = "Default Printer";
  std::string cancelError;

  int status = 0;
  std::string infoLog, errorLog;
};

}  // namespace tbtest
