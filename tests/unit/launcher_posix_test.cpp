// The Linux launcher, for real: programs are started, waited for and ended.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/launcher_posix.h"
#include "support/daemon_harness.h"
#include "support/extra_groups.h"

namespace {

using tb::platform::ChildProcess;
using tb::platform::ChooseActiveSession;
using tb::platform::kNoSession;
using tb::platform::LoginSession;
using tb::platform::PosixDesktopLauncher;
using tb::platform::SessionNumber;
using tb::platform::WaitOutcome;
using tb::platform::WindowMode;

class ListedSessions : public tb::platform::LoginSessionSource {
 public:
  bool ListSessions(std::vector<LoginSession>& sessions) override {
    sessions = list;
    return !fails;
  }
  std::vector<LoginSession> list;
  bool fails = false;
};

void WriteScript(const std::string& path, const std::string& body) {
  tbtest::WriteFile(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
}

uint32_t RunToEnd(ChildProcess& child) {
  EXPECT_EQ(child.Wait(10000), WaitOutcome::kExited);
  uint32_t code = 999;
  EXPECT_TRUE(child.ExitCode(code));
  return code;
}

TEST(SessionChoice, FirstActiveSessionThatIsNotZeroElseTheFallback) {
  EXPECT_EQ(ChooseActiveSession({{0, true}, {2, false}, {3, true}}, 1), 3u);
  EXPECT_EQ(ChooseActiveSession({{5, true}, {3, true}}, 1), 5u);
  EXPECT_EQ(ChooseActiveSession({{0, true}, {2, false}}, 1), 1u);
  EXPECT_EQ(ChooseActiveSession({}, kNoSession), kNoSession);
}

// Windows starts the outside programs by their full path in the program
// folder: a missing one is not searched for along anyone's search path.
TEST(WindowsProgramPath, BareNamesComeFromTheProgramFolderOnly) {
  const std::string folder = "C:\\Program Files\\Tb";
  struct Case {
    std::string line, expected;
  };
  const std::vector<Case> cases = {
      {"\"SumatraPDF.exe\" -silent -print-to \"P\"", folder + "\\SumatraPDF.exe"},
      {"Kestrelend.exe 4711", folder + "\\Kestrelend.exe"},
      {"\"C:\\Tools\\x.exe\" 1", "C:\\Tools\\x.exe"},
      {"\"sub/x.exe\"", "sub/x.exe"},
      {"\"D:x.exe\"", "D:x.exe"},
      {"", ""},
      {"\"\" a", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(tb::platform::WindowsProgramPath(c.line, folder), c.expected) << c.line;
  EXPECT_EQ(tb::platform::WindowsProgramPath("SumatraPDF.exe", ""), "");
}

TEST(SessionChoice, LogindIdsAndClasses) {
  EXPECT_EQ(SessionNumber("7"), 7u);
  EXPECT_EQ(SessionNumber("c3"), 0x80000003u);
  for (const char* bad : {"", "c", "x1", "1a", "2147483648", "99999999999"}) {
    EXPECT_EQ(SessionNumber(bad), kNoSession) << bad;
  }
  ListedSessions source;
  PosixDesktopLauncher launcher(source, [] { return true; }, "/nonexistent");
  source.list = {{"c1", 120, true, "greeter"}, {"2", 1000, false, "user"},
                 {"x", 1001, true, "user"}, {"c4", 1002, true, "user"}, {"5", 1003, true, "user"}};
  EXPECT_EQ(launcher.ActiveUserSession(), 0x80000004u);
  uid_t uid = 0;
  ASSERT_TRUE(launcher.SessionUser(0x80000004u, uid));
  EXPECT_EQ(uid, 1002u);
  EXPECT_FALSE(launcher.SessionUser(9, uid));
  source.list = {{"c1", 120, true, "greeter"}, {"2", 1000, false, "user"}};
  EXPECT_EQ(launcher.ActiveUserSession(), kNoSession);
  source.fails = true;
  EXPECT_EQ(launcher.ActiveUserSession(), kNoSession);
}

class PosixLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override { ::chmod(folder.path().c_str(), 0777); }
  tbtest::TempFolder folder;
  ListedSessions sessions;
  bool service = false;
  PosixDesktopLauncher launcher{sessions, [this] { return service; }, folder.path()};
};

TEST_F(PosixLauncherTest, ProgramFolderComesFirstAndArgumentsArriveSplit) {
  tbtest::TempFolder other;
  WriteScript(folder / "tb-launch-probe",
              "for a in \"$@\"; do echo \"[$a]\"; done > " + (folder / "out") + "; exit 3");
  WriteScript(other / "tb-launch-probe", "exit 9");
  std::string path = std::getenv("PATH");
  ::setenv("PATH", (other.path() + ":" + path).c_str(), 1);
  auto child = launcher.CreateProcessOnUserDesktop(
      "\"tb-launch-probe\" -print-to \"My Printer\" \"a \\\"b\\\"\" x", WindowMode::kShown);
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(child);
  EXPECT_TRUE(child->HasUsableHandle());
  EXPECT_GT(child->Id(), 0u);
  EXPECT_EQ(RunToEnd(*child), 3u);
  EXPECT_EQ(tbtest::ReadFile(folder / "out"), "[-print-to]\n[My Printer]\n[a \"b\"]\n[x]\n");
  child->Close();
  child->Close();  // twice is fine
}

TEST_F(PosixLauncherTest, ProgramFoundAlongThePath) {
  auto child = launcher.CreateProcessOnUserDesktop("\"true\"", WindowMode::kHidden);
  ASSERT_TRUE(child);
  EXPECT_EQ(RunToEnd(*child), 0u);
}

TEST_F(PosixLauncherTest, ProgramsThatCannotStartAreReportedNotPretended) {
  EXPECT_EQ(launcher.CreateProcessOnUserDesktop("\"no-such-program-xyz\" 1", WindowMode::kShown),
            nullptr);
  EXPECT_EQ(launcher.LastError(), static_cast<uint32_t>(ENOENT));
  tbtest::WriteFile(folder / "not-executable", "#!/bin/sh\n");
  EXPECT_EQ(launcher.CreateProcessOnUserDesktop("not-executable", WindowMode::kShown), nullptr);
  // Found and executable, but the exec itself fails (missing interpreter).
  tbtest::WriteFile(folder / "bad-interpreter", "#!/nonexistent/shell\n");
  ::chmod((folder / "bad-interpreter").c_str(), 0755);
  EXPECT_EQ(launcher.CreateProcessOnUserDesktop("bad-interpreter", WindowMode::kShown), nullptr);
  EXPECT_EQ(launcher.LastError(), static_cast<uint32_t>(ENOENT));
}

TEST_F(PosixLauncherTest, TimeoutThenTermination) {
  auto child = launcher.CreateProcessOnUserDesktop("\"sleep\" 30", WindowMode::kShown);
  ASSERT_TRUE(child);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(child->Wait(200), WaitOutcome::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  uint32_t code = 0;
  EXPECT_FALSE(child->ExitCode(code));  // still running
  EXPECT_TRUE(child->Terminate(1));
  EXPECT_EQ(RunToEnd(*child), 128u + SIGKILL);
  EXPECT_FALSE(child->Terminate(1));  // already gone
  EXPECT_EQ(child->LastError(), static_cast<uint32_t>(ESRCH));
}

TEST_F(PosixLauncherTest, ChildGetsDefaultSignalsAndNoInheritedDescriptors) {
  // The daemon blocks and ignores signals on its own threads; the close
  // helper's SIGTERM must still end the print program.
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old);
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  int leaked = ::open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GE(::dup2(leaked, 77), 0);

  // Signals 32 and 33 are the C library's own (its spawn leaves them
  // ignored; every program it starts sets them up again); no other signal
  // may arrive ignored.
  auto child = launcher.CreateProcessOnUserDesktop(
      "\"/bin/sh\" -c \"[ -e /proc/$$/fd/77 ] && exit 5; "
      "ign=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status); "
      "[ $(( 0x$ign & ~0x180000000 )) -eq 0 ] || exit 6; exec sleep 30\"",
      WindowMode::kShown);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  sigaction(SIGPIPE, &previous, nullptr);
  ::close(77);
  ::close(leaked);
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(300), WaitOutcome::kTimedOut);  // neither check failed
  ASSERT_EQ(::kill(static_cast<pid_t>(child->Id()), SIGTERM), 0);
  EXPECT_EQ(RunToEnd(*child), 128u + SIGTERM);
}

// The account a root service with nobody logged in runs programs as.
uid_t HeadlessUid(gid_t& gid) {
  passwd* pw = ::getpwnam("tillerbrook");
  if (!pw || pw->pw_uid == 0) pw = ::getpwnam("nobody");
  if (!pw) return 0;
  gid = pw->pw_gid;
  return pw->pw_uid;
}

// The report a probe program writes: its ids and groups, then its open
// descriptors as "fd target" lines (find writes them itself: a redirection
// would be the shell's own descriptor while find looks).
std::string ProbeCommand(const std::string& out) {
  return "\"/bin/sh\" -c \"{ id -u; id -g; id -G; } > " + out + "; "
         "find /proc/$$/fd -mindepth 1 -fprintf " + out + ".fds '%f %l\\n'; cat " + out +
         ".fds >> " + out + "\"";
}

TEST_F(PosixLauncherTest, ServiceWithoutSessionNeverRunsAsRoot) {
  service = true;
  auto child = launcher.CreateProcessOnUserDesktop(ProbeCommand(folder / "out"), WindowMode::kShown);
  ASSERT_TRUE(child) << launcher.LastError();
  EXPECT_EQ(RunToEnd(*child), 0u);
  const std::string report = tbtest::ReadFile(folder / "out");
  gid_t gid = 0;
  const uid_t expected = ::geteuid() == 0 ? HeadlessUid(gid) : ::geteuid();
  ASSERT_NE(expected, 0u) << "neither tillerbrook nor nobody exists";
  EXPECT_EQ(report.rfind(std::to_string(expected) + "\n", 0), 0u) << report;
  // The standard streams are the null device; nothing else of the daemon.
  EXPECT_NE(report.find("\n0 /dev/null\n1 /dev/null\n2 /dev/null\n"), std::string::npos) << report;
  EXPECT_EQ(report.find("\n3 "), std::string::npos) << report;
}

TEST_F(PosixLauncherTest, ConsoleRunKeepsTheDaemonsUserButNotItsStreams) {
  auto child = launcher.CreateProcessOnUserDesktop(ProbeCommand(folder / "out"), WindowMode::kShown);
  ASSERT_TRUE(child);
  EXPECT_EQ(RunToEnd(*child), 0u);
  const std::string report = tbtest::ReadFile(folder / "out");
  EXPECT_EQ(report.rfind(std::to_string(::geteuid()) + "\n", 0), 0u) << report;
  EXPECT_NE(report.find("\n0 /dev/null\n1 /dev/null\n2 /dev/null\n"), std::string::npos) << report;
}

TEST(SessionChoice, ASeatComesBeforeARemoteLogin) {
  ListedSessions source;
  PosixDesktopLauncher launcher(source, [] { return true; }, "/nonexistent");
  LoginSession ssh{"3", 1001, true, "user"};
  ssh.remote = true;
  LoginSession local{"5", 1002, true, "user"};  // no seat, not remote
  LoginSession desk{"7", 1003, true, "user"};
  desk.onSeat = true;
  LoginSession idleDesk{"8", 1004, false, "user"};
  idleDesk.onSeat = true;
  source.list = {ssh, local, idleDesk, desk};
  EXPECT_EQ(launcher.ActiveUserSession(), 7u);
  source.list = {ssh, idleDesk, local};
  EXPECT_EQ(launcher.ActiveUserSession(), 5u);
  source.list = {idleDesk, ssh};
  EXPECT_EQ(launcher.ActiveUserSession(), 3u);  // a remote user is still someone
}

// A session whose user has no account entry: nothing starts, and the reason
// is a line for the caller to log; the thread's next failure has its own.
TEST_F(PosixLauncherTest, SessionUserWithoutAccountIsToldNotLogged) {
  service = true;
  sessions.list = {{"4", 4242424, true, "user"}};
  EXPECT_EQ(launcher.CreateProcessOnUserDesktop("\"true\"", WindowMode::kShown), nullptr);
  EXPECT_EQ(launcher.LastError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(launcher.LastErrorText(), "Cannot look up user 4242424: 2");
  service = false;
  EXPECT_EQ(launcher.CreateProcessOnUserDesktop("\"no-such-program-xyz\"", WindowMode::kShown),
            nullptr);
  EXPECT_EQ(launcher.LastErrorText(), "");
}

// Needs root to switch users; the test user is made when missing.
TEST_F(PosixLauncherTest, ServiceRunsTheProgramAsTheSessionUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching users needs root";
  if (!::getpwnam("tbprint")) {
    ASSERT_EQ(std::system("useradd --create-home --shell /bin/sh tbprint >/dev/null 2>&1"), 0);
  }
  passwd* pw = ::getpwnam("tbprint");
  ASSERT_NE(pw, nullptr);
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  const std::string home = pw->pw_dir;
  service = true;
  sessions.list = {{"c2", 0, true, "background"}, {"4", uid, true, "user"}};
  ::setenv("TB_LAUNCHER_MARKER", "daemon-only", 1);
  auto child = launcher.CreateProcessOnUserDesktop(
      "\"/bin/sh\" -c \"{ id -u; id -g; echo $HOME; echo $USER; echo $LOGNAME; "
      "echo x$TB_LAUNCHER_MARKER; } > " + (folder / "out") + "\"",
      WindowMode::kShown);
  ::unsetenv("TB_LAUNCHER_MARKER");
  ASSERT_TRUE(child) << launcher.LastError();
  EXPECT_EQ(RunToEnd(*child), 0u);
  EXPECT_EQ(tbtest::ReadFile(folder / "out"), std::to_string(uid) + "\n" +
                                                  std::to_string(gid) + "\n" + home +
                                                  "\ntbprint\ntbprint\nx\n");
  struct stat st {};
  ASSERT_EQ(::stat((folder / "out").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid);
}

// The daemon may hold supplementary groups of its own (root here has none, so
// the test gives itself one); a child started for a user holds exactly that
// user's groups, and the headless account's.
TEST_F(PosixLauncherTest, ChildHoldsExactlyTheUsersGroups) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching users needs root";
  if (!::getpwnam("tbprint")) {
    ASSERT_EQ(std::system("useradd --create-home --shell /bin/sh tbprint >/dev/null 2>&1"), 0);
  }
  passwd* pw = ::getpwnam("tbprint");
  ASSERT_NE(pw, nullptr);
  const uid_t uid = pw->pw_uid;
  auto groupsOf = [](const char* name, gid_t primary) {
    int n = 64;
    std::vector<gid_t> list(static_cast<size_t>(n));
    EXPECT_GE(::getgrouplist(name, primary, list.data(), &n), 0);
    list.resize(static_cast<size_t>(n));
    std::string text;
    for (gid_t g : list) text += (text.empty() ? "" : " ") + std::to_string(g);
    return text;
  };
  const std::string userGroups = groupsOf("tbprint", pw->pw_gid);

  std::optional<tbtest::ExtraGroups> extra(std::vector<gid_t>{0, 4242});
  ASSERT_TRUE(extra->ok());
  service = true;
  sessions.list = {{"4", uid, true, "user"}};
  auto child = launcher.CreateProcessOnUserDesktop(
      "\"/bin/sh\" -c \"id -G > " + (folder / "user") + "\"", WindowMode::kShown);
  ASSERT_TRUE(child) << launcher.LastError();
  EXPECT_EQ(RunToEnd(*child), 0u);

  sessions.list.clear();
  auto headless = launcher.CreateProcessOnUserDesktop(
      "\"/bin/sh\" -c \"id -G > " + (folder / "headless") + "\"", WindowMode::kShown);
  extra.reset();
  ASSERT_TRUE(headless) << launcher.LastError();
  EXPECT_EQ(RunToEnd(*headless), 0u);

  EXPECT_EQ(tbtest::ReadFile(folder / "user"), userGroups + "\n");
  gid_t headlessGid = 0;
  const uid_t headlessUid = HeadlessUid(headlessGid);
  ASSERT_NE(headlessUid, 0u);
  EXPECT_EQ(tbtest::ReadFile(folder / "headless"),
            groupsOf(::getpwuid(headlessUid)->pw_name, headlessGid) + "\n");
}

}  // namespace
