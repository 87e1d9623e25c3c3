#!/usr/bin/env bash
# Cross-builds Tillerbrook.exe and pdfium.dll for 64-bit Windows with MinGW-w64.
# Usage: scripts/build-windows.sh [build-folder]   (default: build-win)
# The result links its runtime statically; the build fails when the
# executable or the DLL would import anything but the DLLs every Windows
# ships, or when the DLL does not export exactly what the daemon looks up.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${1:-$ROOT/build-win}
case "$OUT" in /*) ;; *) OUT=$PWD/$OUT ;; esac
JOBS=${TB_JOBS:-2}

"$ROOT/scripts/fetch-win-sources.sh"
# qpdf and libjpeg for pdfium.dll, built once per set of versions in a cache.
PDFIUM_DEPS=$("$ROOT/scripts/build-win-pdfium-deps.sh" | tail -n1)

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
if [ ! -f "$OUT/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$OUT" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DTB_BUILD_TESTS=OFF \
    -DTB_WIN_THIRD_PARTY="$ROOT/build/win-third-party" \
    -DTB_WIN_PDFIUM_DEPS="$PDFIUM_DEPS"
elif ! grep -qxF "TB_WIN_PDFIUM_DEPS:PATH=$PDFIUM_DEPS" "$OUT/CMakeCache.txt"; then
  cmake -S "$ROOT" -B "$OUT" -DTB_WIN_PDFIUM_DEPS="$PDFIUM_DEPS"
fi
cmake --build "$OUT" -j "$JOBS"

EXE="$OUT/Tillerbrook.exe"
DLL="$OUT/pdfium.dll"
for file in "$EXE" "$DLL"; do
  if [ ! -f "$file" ]; then
    echo "build-windows: $file was not produced" >&2
    exit 1
  fi
done

# DLLs present on every Windows installation; anything else (libstdc++-6,
# libgcc_s_seh-1, libwinpthread-1, ...) would stop the program on a bare system.
system_dll='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|oleaut32|ws2_32|mswsock|winspool\.drv|wtsapi32|userenv|crypt32|bcrypt|secur32|rpcrt4|ntdll|version|comdlg32|comctl32|iphlpapi|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$|^winspool\.drv$'
check_imports() {
  local imports bad
  imports=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r')
  bad=$(echo "$imports" | tr 'A-Z' 'a-z' | grep -Ev "$system_dll" || true)
  echo "build-windows: $1 ($(stat -c %s "$1") bytes) imports: $(echo $imports)"
  if [ -n "$bad" ]; then
    echo "build-windows: non-system DLL imports: $(echo $bad)" >&2
    exit 1
  fi
}
check_imports "$EXE"
check_imports "$DLL"

# pdfium.dll exports exactly the entry points the daemon looks up by name.
expected=$(grep -oE '"FPDF[A-Za-z0-9_]*"' "$ROOT/src/pdffit/pdfium_api.cpp" | tr -d '"' | sort -u)
exports=$(x86_64-w64-mingw32-objdump -p "$DLL" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] \([A-Za-z0-9_@]*\)[[:space:]]*$/\1/p' | sort -u)
if [ -z "$expected" ] || [ "$exports" != "$expected" ]; then
  echo "build-windows: $DLL exports differ from the entry points in src/pdffit/pdfium_api.cpp:" >&2
  diff <(echo "$expected") <(echo "$exports") | sed -n 's/^</  missing:/p; s/^>/  extra:/p' >&2
  exit 1
fi
echo "build-windows: $DLL exports: $(echo $exports)"
