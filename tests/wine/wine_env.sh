# shellcheck shell=bash
# Sourced by the Wine checks: finds the 64-bit Wine loader and its server.
# Sets WINE and WINESERVER, or leaves them empty when Wine is not installed.
WINE=""
for candidate in /usr/lib/wine/wine64 wine64 wine; do
  if command -v "$candidate" >/dev/null 2>&1; then WINE=$(command -v "$candidate"); break; fi
done
WINESERVER=""
for candidate in /usr/lib/wine/wineserver wineserver; do
  if command -v "$candidate" >/dev/null 2>&1; then WINESERVER=$(command -v "$candidate"); break; fi
done

# Also the set-up and helpers the checks share. They expect the sourcing
# script to define log() and, where they use them, PORT and WORK.
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Skips (exit 77) when Wine is missing.
require_wine() {
  [ -n "$WINE" ] && [ -n "$WINESERVER" ] || { echo "SKIP: Wine is not installed"; exit 77; }
}

# Skips when the MinGW compiler for stand-ins and probes is missing; sets CXX.
require_mingw() {
  CXX=x86_64-w64-mingw32-g++-posix
  command -v "$CXX" >/dev/null || { echo "SKIP: $CXX is not installed"; exit 77; }
}

# Skips when the CUPS queue a check prints to or measures is missing.
require_queue() {  # <queue>
  lpstat -v "$1" >/dev/null 2>&1 || { echo "SKIP: no CUPS queue $1 (run scripts/cups-test-env.sh)"; exit 77; }
}

# Fails (not skips) when a tool is missing: CI installs them all.
require_tools() {  # <tool>...
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is required"; exit 1; }
  done
}

# Quiet and headless: no menu entries, no .NET or Gecko installers.
use_wine_prefix() {  # <prefix folder>
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
  unset DISPLAY WAYLAND_DISPLAY
}

# The checks share one prefix: holds its lock (on descriptor 9, for the rest
# of the script) and initialises the prefix on first use.
prepare_wine_prefix() {  # <seconds to wait for the lock>
  mkdir -p "$WINEPREFIX"
  exec 9>"$WINEPREFIX.lock"
  if command -v flock >/dev/null; then
    flock -w "$1" 9 || { echo "FAIL: Wine prefix $WINEPREFIX stays locked"; exit 1; }
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "initialising Wine prefix $WINEPREFIX"
    local attempt
    for attempt in 1 2; do
      # A second try after ending this prefix's server: on a busy machine a
      # first boot has been seen to return at once without making the prefix.
      [ "$attempt" = 1 ] || { timeout 60 "$WINESERVER" -k >/dev/null 2>&1; sleep 2; }
      timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || true
      timeout 120 "$WINESERVER" -w >/dev/null 2>&1 || true
      [ -f "$WINEPREFIX/system.reg" ] && break
    done
    [ -f "$WINEPREFIX/system.reg" ] || { echo "FAIL: wineboot did not initialise $WINEPREFIX"; exit 1; }
  fi
}

stop_wine() { timeout 60 "$WINESERVER" -k >/dev/null 2>&1 || true; timeout 60 "$WINESERVER" -w >/dev/null 2>&1 || true; }

# A service left registered would start again with every Wine process.
delete_service() { timeout 60 "$WINE" sc delete Orv_Tillerbrook >/dev/null 2>&1 || true; }

# Leftovers of an interrupted earlier run: a registered service would start
# together with the next Wine process.
remove_leftover_service() {
  if grep -q 'Services\\\\Orv_Tillerbrook\]' "$WINEPREFIX/system.reg" 2>/dev/null; then
    delete_service
    stop_wine
  fi
}

# The usual exit handler: Wine ended, the work folder gone.
cleanup_work() {
  if [ -n "${WORK:-}" ]; then
    stop_wine
    rm -rf "$WORK"
  fi
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }

wait_port_free() {  # <seconds>
  local i
  for ((i = 0; i < $1 * 2; i++)); do port_open || return 0; sleep 0.5; done
  return 1
}

# Another check's daemon may still be going away.
require_port_free() {
  wait_port_free 120 || { echo "FAIL: port $PORT stays taken by another process"; exit 1; }
}

# Waits until the daemon answers; false when the process `pid` ended first.
wait_answer() {  # <seconds> [pid]
  local limit=$1 pid=${2:-} i
  for ((i = 0; i < limit * 2; i++)); do
    if curl -s -o /dev/null -m 2 "http://127.0.0.1:$PORT/version"; then return 0; fi
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then return 1; fi
    sleep 0.5
  done
  return 1
}

# The console streams of a Windows program are UTF-16.
utf16() { iconv -f UTF-16LE -t UTF-8 "$1" 2>/dev/null | tr -d '\r'; }

# The Windows path of a folder or file here.
winpath() { printf '%s' "Z:$1" | sed 's#/#\\#g'; }

# The probes link the Windows build's own library: sets THIRD_PARTY to the
# headers that build used (BUILD: its folder; ROOT: the sources).
find_win_third_party() {
  THIRD_PARTY=$(sed -n 's/^TB_WIN_THIRD_PARTY:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null)
  [ -n "$THIRD_PARTY" ] || THIRD_PARTY=$ROOT/build/win-third-party
}

build_probe() {  # <source.cpp> <output.exe>; uses ROOT, BUILD, THIRD_PARTY, CXX, WORK
  if ! "$CXX" -std=c++20 -O1 -static -I "$ROOT/src" -I "$THIRD_PARTY" \
      -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 -DUNICODE -D_UNICODE -DNOMINMAX -DWIN32_LEAN_AND_MEAN \
      -o "$2" "$1" \
      "$BUILD/libtb_core.a" "$BUILD/libtb_sqlite3.a" \
      -lws2_32 -lwinspool -lgdi32 -lwtsapi32 -luserenv -ladvapi32 -lshell32 -lcrypt32 2>"$WORK/cxx.err"; then
    echo "FAIL: cannot build the probe: $(cat "$WORK/cxx.err")"
    exit 1
  fi
}
