// Time to start a program and see it exit, done the way the daemon starts
// its print program when it runs it as itself (posix_spawn, waitpid). The
// print benchmark subtracts this from the time per print to get the
// daemon's own share.
//
// Usage: bench_spawn_time PROGRAM RUNS [ARG...]; prints the median in ms.
// BENCH_TOUCH_MIB=N first fills N MiB of memory, so the process is about as
// large as the daemon. BENCH_FORK=1 starts with fork and execve instead, as
// the daemon does when it switches to the session's user.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PROGRAM RUNS [ARG...]\n", argv[0]);
    return 2;
  }
  const int runs = std::max(1, std::atoi(argv[2]));
  std::vector<char*> args{argv[1]};
  for (int i = 3; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);

  std::vector<char> ballast;
  if (const char* mib = std::getenv("BENCH_TOUCH_MIB")) {
    ballast.resize(static_cast<size_t>(std::atoi(mib)) << 20);
    std::memset(ballast.data(), 1, ballast.size());
  }

  const bool useFork = std::getenv("BENCH_FORK") != nullptr;
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (useFork) {
      pid = ::fork();
      if (pid < 0) return 1;
      if (pid == 0) {
        ::execve(argv[1], args.data(), environ);
        ::_exit(127);
      }
    } else if (::posix_spawn(&pid, argv[1], nullptr, nullptr, args.data(), environ) != 0) {
      std::fprintf(stderr, "%s did not run\n", argv[1]);
      return 1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
      std::fprintf(stderr, "%s did not run\n", argv[1]);
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%.3f\n", ms[ms.size() / 2]);
  return 0;
}
