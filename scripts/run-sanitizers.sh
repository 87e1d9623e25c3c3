#!/usr/bin/env bash
# Runs the tests under the sanitizers:
#  - build-asan: AddressSanitizer + UndefinedBehaviorSanitizer (clang, the
#    build the fuzzers use), unit and integration tests (the daemon and its
#    companions are instrumented too);
#  - build-tsan: ThreadSanitizer, the unit tests that run threads or guard
#    shared state with mutexes, and the integration tests that drive the
#    instrumented daemon with concurrent requests, prints and a stop.
# Any sanitizer report fails the run.
#   scripts/run-sanitizers.sh [asan|tsan]...   (default: both)
# SAN_JOBS sets the build's parallelism (default 2).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/asan-build.sh"
JOBS="${SAN_JOBS:-2}"
MODES=("$@")
if [ ${#MODES[@]} -eq 0 ]; then MODES=(asan tsan); fi

# The tests that exercise threads and locks; the rest gain nothing under TSan.
TSAN_FILTER="ServiceRunner*:MaintenanceThreadTest*:MaintenanceStoreTest*:PrinterListTest*:\
MetricsTiers*:JobQueueTest*:ExecutionTest*:Base64Decode*:PrintTest.*Lock*:PdfiumLibrary*:\
CleanDocumentCache*:SdNotifyStatusSink*:ActiveServer*"
TSAN_INTEGRATION_FILTER="PrintIntegration.TwoPrintsAtOnce*:ServiceStop*:ServiceMode.Notifies*:\
ServerSettings.KeepAlive*:ServerSettings.BodyLimit*:StoreDaemon.History*:PrintFaults.ProgramKilled*:\
HostileRoutes.VersionAnswersWhile32SlowHeads*:HostileRoutes.OneAddress*:HostileRoutes.Trickling*"

configure() {  # folder, flags, further cmake arguments
  local dir="$1" flags="$2"
  shift 2
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" "$@" >/dev/null
}

# A test child's sanitizer report goes to its standard error, which a test
# may capture; log_path keeps every report in files as well.
check_logs() {  # folder
  if compgen -G "$1/san-logs/*" >/dev/null; then
    echo "sanitizer reports in $1/san-logs:"
    head -50 "$1"/san-logs/*
    return 1
  fi
}

status=0
start=$SECONDS
for mode in "${MODES[@]}"; do
  case "$mode" in
    asan)
      dir="$ASAN_BUILD"
      configure_asan_build
      ninja -C "$dir" -j"$JOBS" unit_tests integration_tests
      rm -rf "$dir/san-logs"; mkdir -p "$dir/san-logs"
      export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$dir/san-logs/asan"
      export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$dir/san-logs/ubsan"
      echo "== ASan+UBSan: unit tests"
      (cd "$dir" && ctest -j"$JOBS" --output-on-failure -LE integration -E "NOT_BUILT|^wine_") || status=1
      echo "== ASan+UBSan: integration tests"
      (cd "$dir" && ctest --output-on-failure -L integration -LE slow -E "NOT_BUILT") || status=1
      check_logs "$dir" || status=1
      unset ASAN_OPTIONS UBSAN_OPTIONS
      ;;
    tsan)
      dir="$ROOT/build-tsan"
      # The server library is compiled in from its full header, so the
      # sanitizer sees its locks (the same source the Windows build uses).
      bash "$ROOT/scripts/fetch-win-sources.sh" >/dev/null
      configure "$dir" "-fsanitize=thread -fno-omit-frame-pointer" \
        -DTB_HTTPLIB_SINGLE_HEADER="$ROOT/build/win-third-party/httplib.h"
      ninja -C "$dir" -j"$JOBS" unit_tests integration_tests
      rm -rf "$dir/san-logs"; mkdir -p "$dir/san-logs"
      export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$dir/san-logs/tsan"
      echo "== TSan: threaded unit tests"
      "$dir/tests/unit_tests" --gtest_filter="$TSAN_FILTER" || status=1
      echo "== TSan: the daemon under concurrent requests"
      (cd "$dir" && tests/integration_tests --gtest_filter="$TSAN_INTEGRATION_FILTER") || status=1
      check_logs "$dir" || status=1
      unset TSAN_OPTIONS
      ;;
    *) echo "unknown mode $mode (asan or tsan)"; exit 2 ;;
  esac
done
echo "sanitizer run: $((SECONDS - start)) s, $([ $status = 0 ] && echo clean || echo FAILED)"
exit $status
