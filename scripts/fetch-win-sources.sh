#!/usr/bin/env bash
# Prepares the third-party sources the Windows cross build compiles itself:
#   httplib.h              full single header from Debian's cpp-httplib source
#                          package (the binary package ships a split header)
#   sqlite3.c, sqlite3.h   SQLite amalgamation built from the sqlite3 source package
#   nlohmann/              copy of the JSON headers, so that the MinGW include
#                          path never has to see /usr/include
# Idempotent: whatever already exists in the output folder is kept.
# Usage: scripts/fetch-win-sources.sh [output-folder]
#        scripts/fetch-win-sources.sh --source NAME FOLDER
#          only fetches and unpacks the source package NAME under FOLDER and
#          prints the unpacked folder (the PDF library's dependencies use it)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SOURCE_ONLY=""
if [ "${1:-}" = --source ]; then
  SOURCE_ONLY=${2:?usage: fetch-win-sources.sh --source NAME FOLDER}
  OUT=${3:?usage: fetch-win-sources.sh --source NAME FOLDER}
  WORK=$OUT
else
  OUT=${1:-$ROOT/build/win-third-party}
  WORK=$OUT/.work
fi
mkdir -p "$OUT"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

need_header=0; need_sqlite=0; need_json=0
[ -s "$OUT/httplib.h" ] || need_header=1
{ [ -s "$OUT/sqlite3.c" ] && [ -s "$OUT/sqlite3.h" ]; } || need_sqlite=1
[ -s "$OUT/nlohmann/json.hpp" ] || need_json=1

if [ -z "$SOURCE_ONLY" ] && [ $need_header = 0 ] && [ $need_sqlite = 0 ] && [ $need_json = 0 ]; then
  echo "win-third-party: up to date ($OUT)"
  exit 0
fi

ensure_source_index() {
  # apt-get source needs a deb-src entry and its index; setup-deps.sh adds
  # both, but this script must also work when run on its own. The entries are
  # copies of the machine's own deb sources (add-deb-src.sh updates the index
  # when it adds them).
  bash "$ROOT/scripts/add-deb-src.sh"
  if ! apt-cache showsrc "$1" >/dev/null 2>&1 || [ -z "$(apt-cache showsrc "$1" 2>/dev/null)" ]; then
    $SUDO apt-get update -qq
  fi
  command -v dpkg-source >/dev/null || $SUDO apt-get install -y -qq --no-install-recommends dpkg-dev
}

# Fetches and unpacks one source package into $WORK/<name>, once.
fetch_source() {
  local name=$1 dir=$WORK/$1
  if [ -z "$(find "$dir" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | head -n1)" ]; then
    # fetch_source answers with a folder on standard output, so everything the
    # set-up prints goes to standard error.
    ensure_source_index "$name" >&2
    rm -rf "$dir"
    mkdir -p "$dir"
    # As root apt warns that it downloads unsandboxed; that is expected here.
    (cd "$dir" && apt-get source -qq "$name" >/dev/null) 2> >(grep -v 'unsandboxed' >&2)
  fi
  find "$dir" -mindepth 1 -maxdepth 1 -type d | sort | head -n1
}

if [ -n "$SOURCE_ONLY" ]; then
  fetch_source "$SOURCE_ONLY"
  exit 0
fi

if [ $need_header = 1 ]; then
  src=$(fetch_source cpp-httplib)
  if [ ! -s "$src/httplib.h" ]; then
    echo "fetch-win-sources: httplib.h not found in $src" >&2
    exit 1
  fi
  # The single header must be self-contained; a split header pulls in a .cc.
  if grep -q 'CPPHTTPLIB_HEADER_ONLY\|#include "httplib.cc"' "$src/httplib.h"; then
    echo "fetch-win-sources: $src/httplib.h is not the single-header form" >&2
    exit 1
  fi
  cp "$src/httplib.h" "$OUT/httplib.h.tmp" && mv "$OUT/httplib.h.tmp" "$OUT/httplib.h"
  echo "win-third-party: httplib.h from $(basename "$src")"
fi

if [ $need_sqlite = 1 ]; then
  command -v tclsh >/dev/null || $SUDO apt-get install -y -qq --no-install-recommends tcl
  src=$(fetch_source sqlite3)
  if [ ! -s "$src/sqlite3.c" ]; then
    bld=$WORK/sqlite3-build
    mkdir -p "$bld"
    # configure once; the amalgamation target needs only tclsh and a host cc.
    if [ ! -f "$bld/Makefile" ]; then
      (cd "$bld" && "$src/configure" --disable-tcl >/dev/null)
    fi
    make -C "$bld" -j2 sqlite3.c >/dev/null
    cp "$bld/sqlite3.c" "$bld/sqlite3.h" "$WORK/"
  else
    cp "$src/sqlite3.c" "$src/sqlite3.h" "$WORK/"
  fi
  cp "$WORK/sqlite3.h" "$OUT/sqlite3.h"
  cp "$WORK/sqlite3.c" "$OUT/sqlite3.c.tmp" && mv "$OUT/sqlite3.c.tmp" "$OUT/sqlite3.c"
  echo "win-third-party: sqlite3.c $(grep -m1 '^#define SQLITE_VERSION ' "$OUT/sqlite3.h" | awk '{print $3}')"
fi

if [ $need_json = 1 ]; then
  if [ ! -f /usr/include/nlohmann/json.hpp ]; then
    $SUDO apt-get install -y -qq --no-install-recommends nlohmann-json3-dev
  fi
  rm -rf "$OUT/nlohmann.tmp"
  cp -r /usr/include/nlohmann "$OUT/nlohmann.tmp"
  rm -rf "$OUT/nlohmann"
  mv "$OUT/nlohmann.tmp" "$OUT/nlohmann"
  echo "win-third-party: nlohmann headers copied"
fi
echo "win-third-party: ready ($OUT)"
