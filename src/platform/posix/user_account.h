#pragma once
// The account database, read the way every caller needs it: the reentrant
// calls with their buffer grown until the entry fits.
#include <pwd.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace tb::platform {

// One account's entry; its strings point into `buffer`, so the two live and
// move together.
struct AccountEntry {
  passwd pw{};
  std::vector<char> buffer;
};

// 0 with `entry` filled, ENOENT when there is no such account, otherwise the
// call's own error number.
int FindAccount(uid_t uid, AccountEntry& entry);
int FindAccount(const std::string& name, AccountEntry& entry);

// Who a program or a thread acts as: the ids, the group list (read here, since
// a forked child may only make system calls) and the user's own environment.
struct UserIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  std::vector<std::string> environment;
};

// 0 or the error number of the account lookup (ENOENT: no such user).
int LookUpUser(uid_t uid, UserIdentity& user);

}  // namespace tb::platform
