#include "platform/posix/user_account.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

namespace tb::platform {
namespace {

using PasswdCall = std::function<int(passwd*, char*, size_t, passwd**)>;

int ReadEntry(const PasswdCall& call, AccountEntry& entry) {
  const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  entry.buffer.assign(hint > 0 ? static_cast<size_t>(hint) : 16384, '\0');
  passwd* found = nullptr;
  int rc;
  // A megabyte is far beyond any real entry; past it the answer is ERANGE.
  while ((rc = call(&entry.pw, entry.buffer.data(), entry.buffer.size(), &found)) == ERANGE &&
         entry.buffer.size() < (1u << 20)) {
    entry.buffer.resize(entry.buffer.size() * 2);
  }
  if (rc != 0) return rc;
  return found ? 0 : ENOENT;
}

}  // namespace

int FindAccount(uid_t uid, AccountEntry& entry) {
  return ReadEntry(
      [uid](passwd* pw, char* buf, size_t size, passwd** found) {
        return ::getpwuid_r(uid, pw, buf, size, found);
      },
      entry);
}

int FindAccount(const std::string& name, AccountEntry& entry) {
  return ReadEntry(
      [&name](passwd* pw, char* buf, size_t size, passwd** found) {
        return ::getpwnam_r(name.c_str(), pw, buf, size, found);
      },
      entry);
}

int LookUpUser(uid_t uid, UserIdentity& user) {
  AccountEntry entry;
  if (const int rc = FindAccount(uid, entry); rc != 0) return rc;
  const passwd& pw = entry.pw;
  user.uid = pw.pw_uid;
  user.gid = pw.pw_gid;
  int count = 32;
  user.groups.resize(static_cast<size_t>(count));
  while (::getgrouplist(pw.pw_name, pw.pw_gid, user.groups.data(), &count) < 0) {
    count = std::max(count, static_cast<int>(user.groups.size()) * 2);
    user.groups.resize(static_cast<size_t>(count));
  }
  user.groups.resize(static_cast<size_t>(count));

  const std::string name = pw.pw_name;
  user.environment = {
      "HOME=" + std::string(pw.pw_dir && *pw.pw_dir ? pw.pw_dir : "/"),
      "USER=" + name,
      "LOGNAME=" + name,
      "SHELL=" + std::string(pw.pw_shell && *pw.pw_shell ? pw.pw_shell : "/bin/sh"),
      uid == 0 ? "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
               : "PATH=/usr/local/bin:/usr/bin:/bin",
  };
  const std::string runtimeDir = "/run/user/" + std::to_string(uid);
  struct stat st {};
  if (::stat(runtimeDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    user.environment.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
  return 0;
}

}  // namespace tb::platform
