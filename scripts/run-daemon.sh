#!/usr/bin/env bash
# Sets up everything, builds, and runs the daemon in console mode.
# The build folder is the program folder: database.db, sumatrapdfcache/, the
# print program and test.html live beside the executable there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build tillerbrook
exec build/tillerbrook /debug
