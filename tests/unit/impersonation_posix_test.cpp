// A request thread acting as a user: it holds the user's effective ids and
// groups, the rest of the daemon does not, and the user gains no power over
// the daemon meanwhile (the real and saved ids stay root).
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <vector>
#include <thread>

#include "platform/posix/metrics_channel_posix.h"
#include "platform/posix/unique_fd.h"
#include "support/extra_groups.h"

namespace {

using tb::platform::Fd;
using tb::platform::PosixMetricsChannel;

// "Uid:", "Gid:" or "Groups:" of the calling thread, as the kernel sees it.
std::string ThreadStatus(const std::string& key) {
  std::ifstream in("/proc/thread-self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      std::string value = line.substr(key.size());
      value.erase(0, value.find_first_not_of(" \t"));
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      return value;
    }
  }
  return {};
}

class Impersonation : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    if (!::getpwnam("tbprint")) {
      ASSERT_EQ(std::system("useradd --create-home --shell /bin/sh tbprint >/dev/null 2>&1"), 0);
    }
    passwd* pw = ::getpwnam("tbprint");
    ASSERT_NE(pw, nullptr);
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    int n = 64;
    std::vector<gid_t> list(64);
    ASSERT_GE(::getgrouplist("tbprint", gid, list.data(), &n), 0);
    for (int i = 0; i < n; ++i) groups += (groups.empty() ? "" : " ") + std::to_string(list[i]);
  }
  uid_t uid = 0;
  gid_t gid = 0;
  std::string groups;
};

TEST_F(Impersonation, OnlyTheEffectiveIdsOfThisThreadChange) {
  // The daemon's own supplementary groups must come back afterwards.
  tbtest::ExtraGroups extra({4242});
  ASSERT_TRUE(extra.ok());
  // A thread that already runs (threads started now would inherit the ids).
  std::promise<void> look;
  std::future<std::string> seen = std::async(std::launch::async, [&] {
    look.get_future().wait();
    return ThreadStatus("Uid:");
  });
  std::string error;
  {
    auto as = PosixMetricsChannel::ImpersonateUser(uid, error);
    if (!as) {
      look.set_value();
      FAIL() << error;
    }
    // real, effective, saved, file system
    EXPECT_EQ(ThreadStatus("Uid:"), "0\t" + std::to_string(uid) + "\t0\t" + std::to_string(uid));
    EXPECT_EQ(ThreadStatus("Gid:"), "0\t" + std::to_string(gid) + "\t0\t" + std::to_string(gid));
    EXPECT_EQ(ThreadStatus("Groups:"), groups);
    // Another thread of the daemon is untouched.
    look.set_value();
    EXPECT_EQ(seen.get(), "0\t0\t0\t0");
  }
  EXPECT_EQ(ThreadStatus("Uid:"), "0\t0\t0\t0");
  EXPECT_EQ(ThreadStatus("Gid:"), "0\t0\t0\t0");
  EXPECT_EQ(ThreadStatus("Groups:"), "4242");
}

TEST_F(Impersonation, TheUserCannotSignalTheDaemonMeanwhile) {
  // A process of the user's, started before the thread acts as the user.
  int toChild[2], fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  const pid_t daemon = ::getpid();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(toChild[1]);
    ::close(fromChild[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(3);
    pid_t tid = 0;
    if (::read(toChild[0], &tid, sizeof tid) != sizeof tid) ::_exit(4);
    // Signal 0 is checked like any other signal but sends nothing (a stop
    // or kill that got through would take the test down with it).
    int results[2];
    results[0] = ::kill(daemon, 0) == 0 ? 0 : errno;
    results[1] = ::syscall(SYS_tgkill, daemon, tid, 0) == 0 ? 0 : errno;
    if (::write(fromChild[1], results, sizeof results) != sizeof results) ::_exit(5);
    ::_exit(0);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  Fd toUser(toChild[1]), fromUser(fromChild[0]);

  std::string error;
  int results[2] = {-1, -1};
  {
    auto as = PosixMetricsChannel::ImpersonateUser(uid, error);
    ASSERT_NE(as, nullptr) << error;
    const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    ASSERT_EQ(::write(toUser.get(), &tid, sizeof tid), static_cast<ssize_t>(sizeof tid));
    ASSERT_EQ(::read(fromUser.get(), results, sizeof results), static_cast<ssize_t>(sizeof results));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(results[0], EPERM) << "the process";
  EXPECT_EQ(results[1], EPERM) << "the impersonating thread";
}

}  // namespace
