#!/usr/bin/env bash
# Cross-builds Tillerbrook.exe for 64-bit Windows with MinGW-w64.
# Usage: scripts/build-windows.sh [build-folder]   (default: build-win)
# The result links its runtime statically; the build fails when the
# executable would import anything but the DLLs every Windows ships.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${1:-$ROOT/build-win}
case "$OUT" in /*) ;; *) OUT=$PWD/$OUT ;; esac
JOBS=${TB_JOBS:-2}

"$ROOT/scripts/fetch-win-sources.sh"

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
if [ ! -f "$OUT/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$OUT" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DTB_BUILD_TESTS=OFF \
    -DTB_WIN_THIRD_PARTY="$ROOT/build/win-third-party"
fi
cmake --build "$OUT" -j "$JOBS"

EXE="$OUT/Tillerbrook.exe"
if [ ! -f "$EXE" ]; then
  echo "build-windows: $EXE was not produced" >&2
  exit 1
fi

# DLLs present on every Windows installation; anything else (libstdc++-6,
# libgcc_s_seh-1, libwinpthread-1, ...) would stop the program on a bare system.
system_dll='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|oleaut32|ws2_32|mswsock|winspool\.drv|wtsapi32|userenv|crypt32|bcrypt|secur32|rpcrt4|ntdll|version|comdlg32|comctl32|iphlpapi|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$|^winspool\.drv$'
imports=$(x86_64-w64-mingw32-objdump -p "$EXE" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r')
bad=$(echo "$imports" | tr 'A-Z' 'a-z' | grep -Ev "$system_dll" || true)
echo "build-windows: $EXE ($(stat -c %s "$EXE") bytes) imports: $(echo $imports)"
if [ -n "$bad" ]; then
  echo "build-windows: non-system DLL imports: $(echo $bad)" >&2
  exit 1
fi
