#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, build-asan/, shared with the sanitizer
# run) and runs each one for a
# bounded time, starting from its seed corpus in fuzz/corpus/<target>/.
# Fails on any crash, leak, timeout or sanitizer report.
#   scripts/run-fuzzers.sh [seconds per target] [target ...]
# FUZZ_JOBS sets the build's parallelism (default 2).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/asan-build.sh"
BUILD="$ASAN_BUILD"
SECONDS_EACH="${1:-20}"
[ $# -gt 0 ] && shift
ALL=(base64 extension percent_encode utf8 command_line page_metrics status_page print_body setup_body
     remove_body raw_request)
if [ $# -gt 0 ]; then TARGETS=("$@"); else TARGETS=("${ALL[@]}"); fi

configure_asan_build
ninja -C "$BUILD" -j"${FUZZ_JOBS:-2}" "${TARGETS[@]/#/fuzz_}"

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

# Program folders the targets create; cleared here because a fuzzer that
# reaches its time limit ends without its own clean-up.
export TB_FUZZ_TMPDIR="$BUILD/tmp"
rm -rf "$TB_FUZZ_TMPDIR"; mkdir -p "$TB_FUZZ_TMPDIR"
trap 'rm -rf "$TB_FUZZ_TMPDIR"' EXIT

failed=()
for t in "${TARGETS[@]}"; do
  # New inputs go to a working corpus in the build folder; the seeds in the
  # repository are only read.
  work="$BUILD/corpus/$t"
  artifacts="$BUILD/artifacts/$t/"
  mkdir -p "$work" "$artifacts"
  log="$BUILD/fuzz_$t.log"
  echo "== fuzz_$t (${SECONDS_EACH}s)"
  # Whole requests: one that costs more than the limits below is a finding.
  case "$t" in
    raw_request) limits=(-timeout=5 -rss_limit_mb=512) ;;
    *) limits=(-timeout=10 -rss_limit_mb=2048) ;;
  esac
  if "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" "${limits[@]}" \
       -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "$ROOT/fuzz/corpus/$t" \
       >"$log" 2>&1 && ! grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error:" "$log"; then
    grep -E "^(stat::number_of_executed_units|Done)" "$log" | tr '\n' ' '; echo
  else
    echo "FAILED: fuzz_$t (log: $log, inputs: $artifacts)"
    grep -E "ERROR|runtime error|property failed|SUMMARY" "$log" | head -20 || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzers failed: ${failed[*]}"
  exit 1
fi
echo "all fuzzers clean"
