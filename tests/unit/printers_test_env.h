#pragma once
// A fresh database, a scripted spooler installed as the platform's, an empty
// printer cache and a cache clock the test moves by hand.
#include <chrono>
#include <optional>

#include "fakes/fake_printing_account.h"
#include "fakes/fake_spooler.h"
#include "platform/platform.h"
#include "printers/printer_list.h"
#include "store/config_store.h"
#include "store_test_db.h"

namespace tbtest {

class PrintersTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    platform_.spooler = &spooler;
    platform_.printingAccount = &account;
    override_.emplace(platform_);
    tb::printers::ResetPrinterCache();
    tb::printers::SetPrinterCacheClock([this] { return now; });
  }

  void TearDown() override {
    tb::printers::SetPrinterCacheClock({});
    tb::printers::ResetPrinterCache();
    override_.reset();
    EXPECT_EQ(spooler.openHandles.load(), 0) << "printer handle left open";
    StoreTest::TearDown();
  }

  // The test's own view of the config table.
  std::vector<std::string> Query(const std::string& sql) { return file.Query(sql); }
  void Exec(const std::string& sql) { file.Exec(sql); }

  void SetDefaultRow(const std::string& name) {
    ASSERT_TRUE(tb::store::SetConfigValues({nlohmann::json{{"type", "*"}, {"value", name}}}));
  }

  FakeSpooler spooler;
  FakeEvents accountEvents;
  // The builder's default job owner, so that /cancel takes the jobs.
  FakePrintingAccount account{accountEvents, "operator"};
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);

 private:
  tb::platform::Platform platform_;
  std::optional<tb::platform::ScopedPlatformOverride> override_;
};

}  // namespace tbtest
