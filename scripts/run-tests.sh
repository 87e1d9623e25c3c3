#!/usr/bin/env bash
# Sets up everything and runs every test: the native unit and integration
# tests, checks against a real CUPS, the Windows cross build and its checks
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
if [ -x scripts/cups-test-env.sh ]; then bash scripts/cups-test-env.sh; fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build
if [ -x scripts/build-windows.sh ]; then bash scripts/build-windows.sh build-win; fi
cd build
ctest --output-on-failure --timeout 600 -j2
