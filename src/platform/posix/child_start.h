#pragma once
// Starting a program in a forked child: the clean slate both the launcher and
// the metrics helper start from, and the switch to another user.
#include <sys/types.h>

#include <string>

#include "platform/posix/user_account.h"

namespace tb::platform {

// The null device on a descriptor above the standard three, so that copying
// it onto them in the child always takes (a copy onto itself would keep its
// close-on-exec flag and leave the stream closed after the exec). -1 with
// errno set on failure.
int OpenDevNull();

// A pidfd for `pid` (poll-able until it ends); -1 where the kernel has none.
int OpenPidFd(pid_t pid);

// The step of a start that failed, with its errno.
enum class StartStep { kPipe, kFork, kStreams, kWorkingDir, kGroups, kGid, kUid, kExec };
struct StartFailure {
  StartStep step = StartStep::kExec;
  int error = 0;
};

// Forks and execs `program`: no blocked signals, every signal at its default,
// the standard streams on `devNull`, no descriptor above them inherited, in
// `workingDir` (empty: inherited) and, when `user` is given, with that user's
// groups, gid and uid. True with `pid` set once the exec has happened (the
// caller owns the child); false with the failed step, a child that got as far
// as forking already collected.
bool ForkExec(const std::string& program, char** argv, char** env, int devNull,
              const UserIdentity* user, const std::string& workingDir, pid_t& pid,
              StartFailure& failure);

}  // namespace tb::platform
