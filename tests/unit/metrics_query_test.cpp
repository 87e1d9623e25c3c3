#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "fakes/fake_launcher.h"
#include "fakes/fake_metrics_channel.h"
#include "fakes/fake_spooler.h"
#include "metrics/metrics_helper.h"
#include "metrics/metrics_query.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "printers/printer_list.h"
#include "service/maintenance.h"

namespace {

namespace dm = tb::platform::devmode;
using tb::metrics::PageMetrics;
using Clock = std::chrono::steady_clock;

class FakeProcess : public tb::platform::Process {
 public:
  bool inService = false;
  std::string ExecutablePath() override { return "/opt/tb/tillerbrook"; }
  bool SetCurrentDirectory(const std::string&) override { return true; }
  Session OwnSession() override { return inService ? Session::kService : Session::kConsole; }
  std::string ServiceFolderProblem(const std::string&) override { return {}; }
  uint32_t LastError() override { return 0; }
  std::vector<std::string> CommandLineArguments() override { return {"tillerbrook"}; }
  uint32_t ProcessId() override { return 777; }
};

// Notes whether each derivation opened the printer while impersonating.
class WatchingSpooler : public tbtest::FakeSpooler {
 public:
  explicit WatchingSpooler(std::atomic<bool>& impersonating) : impersonating_(impersonating) {}
  std::unique_ptr<tb::platform::PrinterHandle> OpenPrinter(const std::string& name,
                                                           PrinterAccess access) override {
    ++opens;
    if (impersonating_) ++opensWhileImpersonating;
    return FakeSpooler::OpenPrinter(name, access);
  }
  std::atomic<int> opens{0};
  std::atomic<int> opensWhileImpersonating{0};

 private:
  std::atomic<bool>& impersonating_;
};

class MetricsTiers : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.process = &process;
    platform_.spooler = &spooler;
    platform_.launcher = &launcher;
    platform_.metricsChannel = &channel;
    override_.emplace(platform_);
    tb::metrics::ClearMetricsCache();
    tb::metrics::SetMetricsClockForTesting([this] { return now; });
  }
  void TearDown() override {
    tb::metrics::SetMetricsClockForTesting({});
    tb::metrics::ClearMetricsCache();
    override_.reset();
    EXPECT_FALSE(channel.impersonating) << "impersonation left on";
  }

  void MakePrinterMeasurable() {
    spooler.printers = {tbtest::Printer("Label")};
    spooler.documentDefaults["Label"] = dm::MakeEmpty(0);
    spooler.deviceCaps["Label"] = {{88, 300}, {90, 300}, {8, 1200}, {10, 1800}};
  }

  FakeProcess process;
  tbtest::FakeMetricsChannel channel;
  WatchingSpooler spooler{channel.impersonating};
  tbtest::FakeEvents events;
  tbtest::FakeLauncher launcher{events};
  Clock::time_point now = Clock::time_point{} + std::chrono::hours(5);

 private:
  tb::platform::Platform platform_;
  std::optional<tb::platform::ScopedPlatformOverride> override_;
};

TEST_F(MetricsTiers, ConsoleRunMeasuresItselfAndNeverStartsTheHelper) {
  MakePrinterMeasurable();
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(tb::metrics::QueryMetricsByTiers("Label", m, error)) << error;
  EXPECT_EQ(m.source, "interactive:dc+user-devmode");
  EXPECT_EQ(channel.sessionUserCalls.load(), 0);
  EXPECT_EQ(channel.impersonations.load(), 0);

  ASSERT_FALSE(tb::metrics::QueryMetricsByTiers("Other", m, error));
  EXPECT_EQ(error.rfind("all interactive tiers failed [dc+user-devmode=> OpenPrinterW failed: ", 0), 0u)
      << error;
  EXPECT_EQ(error.back(), ']');
}

TEST_F(MetricsTiers, ServiceWithoutSessionListsEveryTierInOrder) {
  process.inService = true;
  launcher.session = tb::platform::kNoSession;
  PageMetrics m;
  std::string error;
  ASSERT_FALSE(tb::metrics::QueryMetricsByTiers("Gone", m, error));
  const std::string derivation =
      "dc+user-devmode=> OpenPrinterW failed: 1801 / 1801; "
      "dc+driver-devmode=> OpenPrinterW failed: 1801 / 1801; "
      "devmode-only+user=> OpenPrinterW failed: 1801 / 1801; "
      "devmode-only+driver=> OpenPrinterW failed: 1801 / 1801";
  EXPECT_EQ(error,
            "cannot determine printable area for \"Gone\": "
            "active-user-process: No active user session found || "
            "impersonated-session0: no interactive session || "
            "system-session0: " + derivation);
  EXPECT_EQ(channel.sessionUserCalls.load(), 0);
}

TEST_F(MetricsTiers, ImpersonationDecidesWhenTheHelperFails) {
  process.inService = true;
  MakePrinterMeasurable();
  channel.sessionUserError = "WTSQueryUserToken failed: 1008";
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(tb::metrics::QueryMetricsByTiers("Label", m, error)) << error;
  EXPECT_EQ(m.source, "impersonated:dc+user-devmode");
  EXPECT_EQ(channel.impersonations.load(), 1);
  EXPECT_GT(spooler.opensWhileImpersonating.load(), 0);
  EXPECT_EQ(spooler.opensWhileImpersonating.load(), spooler.opens.load());

  // Without impersonation the service's own view is the last resort.
  channel.impersonationError = "ImpersonateLoggedOnUser failed: 5";
  ASSERT_TRUE(tb::metrics::QueryMetricsByTiers("Label", m, error)) << error;
  EXPECT_EQ(m.source, "system:dc+user-devmode");
}

TEST_F(MetricsTiers, ServiceNeverMeasuresAnotherComputersPrinterAsItself) {
  process.inService = true;
  launcher.session = tb::platform::kNoSession;
  tb::printers::ResetPrinterCache();
  const std::string remote = "\\\\host\\Label";
  spooler.printers = {tbtest::Printer("Label")};
  spooler.documentDefaults[remote] = dm::MakeEmpty(0);
  spooler.deviceCaps[remote] = {{88, 300}, {90, 300}, {8, 1200}, {10, 1800}};
  PageMetrics m;
  std::string error;
  ASSERT_FALSE(tb::metrics::QueryMetricsByTiers(remote, m, error));
  EXPECT_NE(error.find("system-session0: OpenPrinterW failed: 1801"), std::string::npos) << error;
  EXPECT_EQ(spooler.opens.load(), 0);

  // Once the machine has that connection, the service may measure it.
  spooler.printers.push_back(tbtest::Printer(remote));
  tb::printers::ResetPrinterCache();
  ASSERT_TRUE(tb::metrics::QueryMetricsByTiers(remote, m, error)) << error;
  EXPECT_EQ(m.source, "system:dc+user-devmode");
  tb::printers::ResetPrinterCache();
}

TEST_F(MetricsTiers, HelperAnswerIsDecodedAndLabelled) {
  process.inService = true;
  PageMetrics helper;
  helper.dpiX = helper.dpiY = 203;
  helper.printableWidthPx = 812;
  helper.printableHeightPx = 1218;
  helper.printableRatio = 812.0 / 1218.0;
  helper.source = "helper:dc+user-devmode";
  const std::string doc = tb::metrics::PageMetricsToJson(helper).dump();
  // Delivered in pieces smaller and larger than one read.
  channel.answerChunks = {doc.substr(0, 10), doc.substr(10)};
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(tb::metrics::QueryMetricsByTiers("Label Printer \\", m, error)) << error;
  EXPECT_EQ(m.source, "active-user-process/helper:dc+user-devmode");
  EXPECT_EQ(m.printableWidthPx, 812);
  ASSERT_EQ(channel.commandLines.size(), 1u);
  const std::string prefix =
      "/opt/tb/tillerbrook --query-printer-metrics \"Label Printer \\\\\" "
      "Tillerbrook_PrinterMetrics_777_123456_";
  const std::string& line = channel.commandLines[0];
  EXPECT_EQ(line.substr(0, prefix.size()), prefix);
  EXPECT_NE(line.size(), prefix.size());
  EXPECT_EQ(line.find_first_not_of("0123456789", prefix.size()), std::string::npos) << line;

  helper.source.clear();
  channel.answerChunks = {tb::metrics::PageMetricsToJson(helper).dump()};
  ASSERT_TRUE(tb::metrics::QueryMetricsByTiers("Label", m, error)) << error;
  EXPECT_EQ(m.source, "active-user-process");
}

TEST_F(MetricsTiers, HelperFailureDocumentWinsOverItsExitCode) {
  process.inService = true;
  channel.helperExitCode = 1;
  channel.answerChunks = {R"({"ok":false,"error":"dc+user-devmode=> scripted"})"};
  PageMetrics m;
  std::string error;
  EXPECT_FALSE(tb::metrics::QueryMetricsViaHelper("Label", m, error));
  EXPECT_EQ(error, "dc+user-devmode=> scripted");
}

TEST_F(MetricsTiers, AnswersAreCachedForTenMinutesPerPrinter) {
  MakePrinterMeasurable();
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(tb::metrics::GetPrinterPageMetrics("Label", m, error)) << error;
  const int firstOpens = spooler.opens.load();
  ASSERT_GT(firstOpens, 0);

  now += std::chrono::minutes(5);
  spooler.deviceCaps["Label"][8] = 600;  // a changed driver is not asked yet
  ASSERT_TRUE(tb::metrics::GetPrinterPageMetrics("Label", m, error));
  EXPECT_EQ(spooler.opens.load(), firstOpens);
  EXPECT_EQ(m.printableWidthPx, 1200);
  EXPECT_EQ(m.source, "interactive:dc+user-devmode");

  now += std::chrono::minutes(5);  // exactly 600 s after the store: expired
  ASSERT_TRUE(tb::metrics::GetPrinterPageMetrics("Label", m, error));
  EXPECT_GT(spooler.opens.load(), firstOpens);
  EXPECT_EQ(m.printableWidthPx, 600);

  // The hourly maintenance pass empties the cache.
  const int beforeClear = spooler.opens.load();
  ASSERT_TRUE(tb::metrics::GetPrinterPageMetrics("Label", m, error));
  EXPECT_EQ(spooler.opens.load(), beforeClear);
  tb::RunMaintenanceCycle();
  ASSERT_TRUE(tb::metrics::GetPrinterPageMetrics("Label", m, error));
  EXPECT_GT(spooler.opens.load(), beforeClear);
}

TEST_F(MetricsTiers, FailuresAreNotCached) {
  PageMetrics m;
  std::string error;
  ASSERT_FALSE(tb::metrics::GetPrinterPageMetrics("Label", m, error));
  MakePrinterMeasurable();
  EXPECT_TRUE(tb::metrics::GetPrinterPageMetrics("Label", m, error)) << error;
}

}  // namespace
