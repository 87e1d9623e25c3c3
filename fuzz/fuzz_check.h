#pragma once
// A broken property is a finding: abort so that libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) {                                                         \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__,      \
                   __LINE__, #cond);                                       \
      std::abort();                                                        \
    }                                                                      \
  } while (0)

// The daemon's log lines go to standard output; per input they would drown
// the fuzzer's own report. TB_FUZZ_VERBOSE keeps them.
inline void QuietLogUnlessVerbose() {
  if (std::getenv("TB_FUZZ_VERBOSE")) return;
  FILE* null = std::freopen("/dev/null", "w", stdout);
  (void)null;
}
