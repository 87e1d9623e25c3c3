#!/usr/bin/env bash
# Sets up everything and runs every test: the native unit and integration
# tests, checks against a real CUPS, the Windows cross build and its checks
# under Wine, the Debian package and the Windows setup program (installed and
# removed), the pages in headless Chromium, then the sanitizer builds and a
# bounded run of every fuzzer.
#   TB_SKIP_HARDENING=1  skips the sanitizer and fuzzer stages (quick local runs)
#   TB_FUZZ_SECONDS=N    seconds per fuzzer (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
stage() { echo "== [$((SECONDS - start)) s] $*"; }

stage "dependencies"
bash scripts/setup-deps.sh
if [ -x scripts/cups-test-env.sh ]; then bash scripts/cups-test-env.sh; fi
stage "native build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build
stage "Windows build"
if [ -x scripts/build-windows.sh ]; then bash scripts/build-windows.sh build-win; fi
stage "packages"
(cd build && cpack -G DEB)
if [ -f build-win/CMakeCache.txt ]; then (cd build-win && cpack -G NSIS); fi
stage "tests"
(cd build && ctest --output-on-failure --timeout 600 -j2)
if [ "${TB_SKIP_HARDENING:-0}" != 1 ]; then
  stage "sanitizers"
  bash scripts/run-sanitizers.sh asan tsan
  stage "fuzzers"
  bash scripts/run-fuzzers.sh "${TB_FUZZ_SECONDS:-15}"
fi
stage "all passed"
