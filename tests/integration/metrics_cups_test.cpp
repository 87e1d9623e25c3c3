// Page metrics of a real CUPS label queue (scripts/cups-test-env.sh): tb-label
// has the sample ZPL driver, the 4 x 6 in page w288h432 with the imageable
// area "0 0 288 432" and 300 dpi. The test user's own lpoptions change what
// the user tiers see, and only those.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "fakes/fake_launcher.h"
#include "metrics/metrics_helper.h"
#include "metrics/metrics_query.h"
#include "metrics/page_metrics.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/posix/metrics_channel_posix.h"
#include "support/daemon_harness.h"

namespace {

namespace fs = std::filesystem;
using tb::metrics::PageMetrics;

constexpr const char* kQueue = "tb-label";
constexpr const char* kTestUser = "tbuser";

std::string Shell(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
  return out;
}

// The starred choice of one option in `lpoptions -p <queue> -l` output.
std::string Chosen(const std::string& listing, const std::string& option) {
  const size_t line = listing.find(option + "/");
  if (line == std::string::npos) return {};
  const size_t star = listing.find('*', line);
  const size_t end = listing.find_first_of(" \n", star);
  if (star == std::string::npos || star > listing.find('\n', line)) return {};
  return listing.substr(star + 1, end - star - 1);
}

class CupsLabelMetrics : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Shell(std::string("lpstat -v ") + kQueue + " 2>/dev/null").find(kQueue) == std::string::npos)
      GTEST_SKIP() << "no CUPS queue " << kQueue << " (run scripts/cups-test-env.sh)";
    passwd* pw = ::getpwnam(kTestUser);
    if (!pw || ::geteuid() != 0)
      GTEST_SKIP() << "needs root and the user " << kTestUser << " (scripts/cups-test-env.sh)";
    user = pw->pw_uid;
    group = pw->pw_gid;
    home = pw->pw_dir;
    RemoveUserOptions();
  }
  void TearDown() override {
    if (!home.empty()) RemoveUserOptions();
  }

  // What `lpoptions -p tb-label -o ...` run by the user writes.
  void SetUserOptions(const std::string& options) {
    fs::create_directories(home + "/.cups");
    tbtest::WriteFile(home + "/.cups/lpoptions", std::string("Dest ") + kQueue + " " + options + "\n");
    ASSERT_EQ(::chown((home + "/.cups").c_str(), user, group), 0);
    ASSERT_EQ(::chown((home + "/.cups/lpoptions").c_str(), user, group), 0);
  }
  void RemoveUserOptions() {
    std::error_code ec;
    fs::remove(home + "/.cups/lpoptions", ec);
  }

  static void ExpectFourBySix(const PageMetrics& m) {
    // 4 x 6 in = 288 x 432 pt = 101.6 x 152.4 mm; at 300 dpi 1200 x 1800 dots.
    // The imageable area is the whole label: no offsets, no margins.
    EXPECT_EQ(m.dpiX, 300);
    EXPECT_EQ(m.dpiY, 300);
    EXPECT_EQ(m.physicalWidthPx, 1200);
    EXPECT_EQ(m.physicalHeightPx, 1800);
    EXPECT_EQ(m.printableWidthPx, 1200);
    EXPECT_EQ(m.printableHeightPx, 1800);
    EXPECT_EQ(m.offsetXPx, 0);
    EXPECT_EQ(m.offsetYPx, 0);
    EXPECT_NEAR(m.paperWidthMm, 101.6, 1e-9);
    EXPECT_NEAR(m.paperHeightMm, 152.4, 1e-9);
    EXPECT_NEAR(m.printableWidthMm, 101.6, 1e-9);
    EXPECT_NEAR(m.printableHeightMm, 152.4, 1e-9);
    EXPECT_EQ(m.leftMarginMm + m.rightMarginMm + m.topMarginMm + m.bottomMarginMm, 0.0);
    EXPECT_NEAR(m.printableRatio, 2.0 / 3.0, 1e-12);
    EXPECT_EQ(m.dmOrientation, 1);
    EXPECT_EQ(m.dmPaperWidth, 1016);  // 0.1 mm
    EXPECT_EQ(m.dmPaperLength, 1524);
  }

  static void ExpectFourByThree(const PageMetrics& m) {
    // w288h216: 4 x 3 in = 101.6 x 76.2 mm, 1200 x 900 dots at 300 dpi.
    EXPECT_EQ(m.printableWidthPx, 1200);
    EXPECT_EQ(m.printableHeightPx, 900);
    EXPECT_NEAR(m.printableHeightMm, 76.2, 1e-9);
    EXPECT_NEAR(m.printableRatio, 4.0 / 3.0, 1e-12);
    EXPECT_EQ(m.dmPaperLength, 762);
    EXPECT_TRUE(m.usedUserDevMode);
  }

  uid_t user = 0;
  gid_t group = 0;
  std::string home;
};

TEST_F(CupsLabelMetrics, QueueDefaultsAsCupsListsThem) {
  const std::string listing = Shell(std::string("lpoptions -p ") + kQueue + " -l");
  ASSERT_EQ(Chosen(listing, "PageSize"), "w288h432") << listing;
  ASSERT_EQ(Chosen(listing, "Resolution"), "300dpi") << listing;

  PageMetrics m;
  std::string error;
  ASSERT_TRUE(tb::metrics::DerivePageMetrics(kQueue, "interactive:", m, error)) << error;
  EXPECT_EQ(m.source, "interactive:dc+user-devmode");
  EXPECT_FALSE(m.usedUserDevMode);
  ExpectFourBySix(m);

  ASSERT_FALSE(tb::metrics::DerivePageMetrics("tb-no-such-queue", "interactive:", m, error));
  EXPECT_EQ(error.rfind("dc+user-devmode=> OpenPrinterW failed: ", 0), 0u) << error;
}

TEST_F(CupsLabelMetrics, UserSettingsReachOnlyTheUserTiers) {
  SetUserOptions("PageSize=w288h216");
  const std::string listing =
      Shell(std::string("runuser -u ") + kTestUser + " -- lpoptions -p " + kQueue + " -l");
  ASSERT_EQ(Chosen(listing, "PageSize"), "w288h216") << listing;

  // Impersonation: this thread alone acts as the user.
  PageMetrics m;
  std::string error;
  {
    auto as = tb::platform::PosixMetricsChannel::ImpersonateUser(user, error);
    ASSERT_NE(as, nullptr) << error;
    EXPECT_EQ(::geteuid(), user);
    ASSERT_TRUE(tb::metrics::DerivePageMetrics(kQueue, "impersonated:", m, error)) << error;
  }
  EXPECT_EQ(::geteuid(), 0u);
  EXPECT_EQ(m.source, "impersonated:dc+user-devmode");
  ExpectFourByThree(m);

  // The daemon itself still sees the queue's own page.
  ASSERT_TRUE(tb::metrics::DerivePageMetrics(kQueue, "system:", m, error)) << error;
  ExpectFourBySix(m);
  EXPECT_FALSE(m.usedUserDevMode);

  // A landscape setting turns the page.
  SetUserOptions("PageSize=w288h216 orientation-requested=4");
  {
    auto as = tb::platform::PosixMetricsChannel::ImpersonateUser(user, error);
    ASSERT_NE(as, nullptr) << error;
    ASSERT_TRUE(tb::metrics::DerivePageMetrics(kQueue, "impersonated:", m, error)) << error;
  }
  EXPECT_EQ(m.printableWidthPx, 900);
  EXPECT_EQ(m.printableHeightPx, 1200);
  EXPECT_NEAR(m.printableRatio, 0.75, 1e-12);
  EXPECT_EQ(m.dmOrientation, 2);
}

// The user's file is the user's to make: whatever it is, the thread acting as
// the user neither waits on it nor reads it without end, and values that fit
// no DEVMODE leave the queue's own page in place.
TEST_F(CupsLabelMetrics, HostileUserSettingsChangeNothing) {
  fs::create_directories(home + "/.cups");
  ASSERT_EQ(::chown((home + "/.cups").c_str(), user, group), 0);
  const std::string file = home + "/.cups/lpoptions";
  auto derive = [&] {
    PageMetrics m;
    std::string error;
    auto as = tb::platform::PosixMetricsChannel::ImpersonateUser(user, error);
    EXPECT_NE(as, nullptr) << error;
    EXPECT_TRUE(tb::metrics::DerivePageMetrics(kQueue, "impersonated:", m, error)) << error;
    return m;
  };

  ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);  // nobody ever writes to it
  PageMetrics m = derive();
  ExpectFourBySix(m);
  EXPECT_FALSE(m.usedUserDevMode);
  RemoveUserOptions();

  ASSERT_EQ(::symlink("/dev/zero", file.c_str()), 0);
  m = derive();
  ExpectFourBySix(m);
  EXPECT_FALSE(m.usedUserDevMode);
  RemoveUserOptions();

  SetUserOptions("PageSize=w1e300h1e300 Resolution=3000000000dpcm orientation-requested=99999999999");
  m = derive();
  ExpectFourBySix(m);
  SetUserOptions("media=Custom.99999x99999in printer-resolution=99999999999x1dpi");
  m = derive();
  ExpectFourBySix(m);
}

TEST_F(CupsLabelMetrics, ServiceAsksTheHelperRunningAsTheSessionUser) {
  SetUserOptions("media=w288h216");
  // The helper must be executable by the user.
  tbtest::TempFolder folder;
  const std::string daemon = folder / "tillerbrook";
  fs::copy_file(tbtest::BuiltDaemonPath(), daemon);
  ::chmod(daemon.c_str(), 0755);

  class ServiceProcess : public tb::platform::Process {
   public:
    explicit ServiceProcess(tb::platform::Process& real) : real_(real) {}
    std::string ExecutablePath() override { return real_.ExecutablePath(); }
    bool SetCurrentDirectory(const std::string& d) override { return real_.SetCurrentDirectory(d); }
    Session OwnSession() override { return Session::kService; }
    std::string ServiceFolderProblem(const std::string&) override { return {}; }
    uint32_t LastError() override { return real_.LastError(); }
    std::vector<std::string> CommandLineArguments() override { return real_.CommandLineArguments(); }
    uint32_t ProcessId() override { return real_.ProcessId(); }

   private:
    tb::platform::Process& real_;
  };
  tb::platform::Platform platform = tb::platform::Native();
  ServiceProcess process(*platform.process);
  tbtest::FakeEvents events;
  tbtest::FakeLauncher launcher(events);
  launcher.session = 3;
  // Session 3 belongs to the test user; the helper is the daemon copied above
  // (the running executable is this test program).
  class SessionChannel : public tb::platform::PosixMetricsChannel {
   public:
    SessionChannel(uid_t uid, std::string exe)
        : PosixMetricsChannel([uid](uint32_t session, uid_t& out) {
            out = uid;
            return session == 3;
          }),
          exe_(std::move(exe)) {}
    bool ExecutablePath(std::string& path, std::string&) override {
      path = exe_;
      return true;
    }

   private:
    std::string exe_;
  };
  SessionChannel channel(user, daemon);
  platform.process = &process;
  platform.launcher = &launcher;
  platform.metricsChannel = &channel;
  tb::platform::ScopedPlatformOverride override(platform);

  PageMetrics m;
  std::string error;
  ASSERT_TRUE(tb::metrics::QueryMetricsViaHelper(kQueue, m, error)) << error;
  EXPECT_EQ(m.source, "helper:dc+user-devmode");
  ExpectFourByThree(m);

  // The whole door, as the service asks it.
  tb::metrics::ClearMetricsCache();
  ASSERT_TRUE(tb::metrics::GetPrinterPageMetrics(kQueue, m, error)) << error;
  EXPECT_EQ(m.source, "active-user-process/helper:dc+user-devmode");
  ExpectFourByThree(m);
  tb::metrics::ClearMetricsCache();
}

}  // namespace
