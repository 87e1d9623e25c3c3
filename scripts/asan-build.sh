# Sourced by run-sanitizers.sh and run-fuzzers.sh: one clang build with
# AddressSanitizer, UndefinedBehaviorSanitizer and the fuzzer's coverage
# serves both the instrumented test suites and the fuzz targets, so the core
# is compiled once for both.
ASAN_BUILD="$ROOT/build-asan"

configure_asan_build() {
  if [ -f "$ASAN_BUILD/CMakeCache.txt" ] && ! grep -q "^TB_FUZZ:BOOL=ON" "$ASAN_BUILD/CMakeCache.txt"; then
    rm -rf "$ASAN_BUILD"  # an older build of another kind
  fi
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ASAN_BUILD" -G Ninja -DTB_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
}
