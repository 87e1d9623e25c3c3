#!/usr/bin/env bash
# The service-side paths of the Windows build under Wine, with a probe
# (service-probe/, built here with MinGW against the build's own library):
#   - a process started detached with no standard handles, as the service
#     manager starts the service, opens the log the service way, writes both
#     streams and rotates: both files hold the lines (UTF-8, CR LF) and the
#     log's handles are not inheritable (also when it started with handles);
#   - pdfium.dll is found beside the program but never on PATH or in the
#     current folder;
#   - a client that connects to the metrics pipe and drops before the daemon
#     listens does not stop the pipe from listening;
#   - the print launcher refuses to start anything when the daemon's own
#     session cannot be told;
#   - a thread whose RevertToSelf fails after impersonating ends the process;
#   - the service registration /install makes (values, a second one refused).
# Usage: wine_service_check.sh <Tillerbrook.exe> <wine-prefix-folder>
# Exit codes: 0 passed, 1 failed, 77 skipped (no Windows build, Wine or MinGW).
set -uo pipefail

EXE=${1:?usage: wine_service_check.sh <Tillerbrook.exe> <wine-prefix>}
PREFIX=${2:?usage: wine_service_check.sh <Tillerbrook.exe> <wine-prefix>}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$(cd "$(dirname "$EXE")" 2>/dev/null && pwd)
SKIP=77

[ -f "$EXE" ] || { echo "SKIP: no Windows build at $EXE (run scripts/build-windows.sh)"; exit $SKIP; }
[ -f "$BUILD/libtb_core.a" ] || { echo "SKIP: no libtb_core.a beside $EXE"; exit $SKIP; }
# shellcheck source=wine_env.sh
. "$HERE/wine_env.sh"
require_mingw
require_wine
find_win_third_party
use_wine_prefix "$PREFIX"

WORK=""
log() { echo "[wine-service] $*"; }
trap cleanup_work EXIT
trap 'exit 1' INT TERM

prepare_wine_prefix 900

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tb-wine-service.XXXXXX")
mkdir -p "$WORK/bin" "$WORK/onpath" "$WORK/cwd" "$WORK/svc"
build_probe "$HERE/service-probe/service_probe.cpp" "$WORK/bin/service_probe.exe"
# A stand-in library under the real name: loading it is what is checked (it
# lacks the entry points, which the loader reports as a missing export).
printf 'extern "C" __declspec(dllexport) int tb_stand_in() { return 1; }\n' >"$WORK/stand_in.cpp"
if ! "$CXX" -shared -O1 -o "$WORK/pdfium.dll" "$WORK/stand_in.cpp" 2>"$WORK/cxx.err"; then
  echo "FAIL: cannot build the stand-in pdfium.dll: $(cat "$WORK/cxx.err")"
  exit 1
fi
probe() { (cd "$WORK/cwd" && timeout 300 "$WINE" "$WORK/bin/service_probe.exe" "$@" 2>"$WORK/probe-err.txt" | tr -d '\r'); }

# --- the service's log, without standard handles ---------------------------
out=$(probe detached "$(winpath "$WORK/svc")")
if [ "$out" != "log process exit code 0" ]; then
  fail "detached log process: $out $(tr -d '\r' <"$WORK/probe-err.txt")"
else
  current=$WORK/svc/logs/Tillerbrook.log
  previous=$current.1
  if python3 - "$current" "$previous" <<'PY'
import sys
cur = open(sys.argv[1], "rb").read()
prev = open(sys.argv[2], "rb").read()
assert cur.startswith(b"after rotation") and b"after rotation wide\r\n" in cur, cur[:200]
assert b"after rotation narrow\r\n" in cur, cur[:200]
assert "first wide line 中文\r\n".encode() in prev, prev[:200]
assert b"first narrow line\r\n" in prev, prev[:200]
assert len(prev) >= 8388608, len(prev)
assert b"\r\r\n" not in prev[:4096] and b"\xff\xfe" not in prev[:4], prev[:100]
PY
  then
    log "detached process without standard handles: log written in both streams, rotated at $(stat -c %s "$previous") bytes"
  else
    fail "the log files do not hold the lines ($(ls -l "$WORK/svc/logs" 2>&1 | tr '\n' ' '))"
  fi
fi

# The same with standard handles (a redirected start): the moved descriptors
# must not be inheritable either (exit code 3 says one is).
mkdir -p "$WORK/svc2"
(cd "$WORK/cwd" && timeout 300 "$WINE" "$WORK/bin/service_probe.exe" log "$(winpath "$WORK/svc2")" \
  >/dev/null 2>&1 </dev/null)
code=$?
if [ "$code" = 0 ]; then
  log "log over inherited standard handles: written, handles not inheritable"
else
  fail "log over inherited standard handles: exit code $code"
fi

# --- pdfium.dll: program folder only, never PATH or the current folder ------
cp "$WORK/pdfium.dll" "$WORK/onpath/" && cp "$WORK/pdfium.dll" "$WORK/cwd/"
out=$(WINEPATH="$(winpath "$WORK/onpath")" probe pdfium)
case "$out" in
  "Cannot load pdfium.dll."*) log "pdfium.dll on PATH and in the current folder only: not loaded" ;;
  *) fail "pdfium.dll on PATH or in the current folder was used: $out" ;;
esac
cp "$WORK/pdfium.dll" "$WORK/bin/"
out=$(probe pdfium)
case "$out" in
  "pdfium.dll missing export: "*) log "pdfium.dll beside the program: loaded" ;;
  *) fail "pdfium.dll beside the program was not loaded: $out" ;;
esac

# --- the metrics pipe after a client that came and went ---------------------
out=$(probe nodata)
if [ "$out" = "listening again" ]; then
  log "metrics pipe: a client that dropped before the listen is passed over"
else
  fail "metrics pipe after a dropped client: $out"
fi

# --- the print launcher when the daemon's session is unknown ----------------
out=$(probe nosession)
if [ "$out" = "refused: 5" ]; then
  log "unknown own session: the launch fails with the error, nothing is started"
else
  fail "launcher without its own session: $out"
fi

# --- a failed revert after impersonation ends the process --------------------
out=$(probe revert)
if [ "$out" = "ended with 1" ] &&
    tr -d '\r' <"$WORK/probe-err.txt" | grep -qx '\[Service\] RevertToSelf failed: 5; ending the process'; then
  log "failed RevertToSelf: logged, and the process is ended"
else
  fail "failed RevertToSelf: $out $(tr -d '\r' <"$WORK/probe-err.txt")"
fi

# --- the service's registration, as /install makes it -------------------------
service_key='HKLM\System\CurrentControlSet\Services\Orv_Tillerbrook'
remove_leftover_service
win_exe=$(winpath "$BUILD/$(basename "$EXE")")
out=$(probe register "$win_exe")
[ "$out" = "first=1 second=0 error=1073" ] || fail "registering twice: $out"
registry=$(timeout 60 "$WINE" reg query "$service_key" 2>/dev/null | tr -d '\r')
delete_service
check_reg() {  # <name> <type> <value>
  if printf '%s\n' "$registry" | grep -E "^[[:space:]]+$1[[:space:]]+$2[[:space:]]+" |
      sed -E "s/^[[:space:]]+$1[[:space:]]+$2[[:space:]]+//" | grep -qxF -- "$3"; then
    log "service $1 = $3"
  else
    fail "service registration: $1 is not $3"
  fi
}
check_reg ImagePath REG_SZ "\"$win_exe\""
check_reg Start REG_DWORD 0x2
check_reg Type REG_DWORD 0x10
check_reg ErrorControl REG_DWORD 0x1
check_reg DisplayName REG_SZ Orv_Tillerbrook
check_reg Description REG_SZ 'Orv label print daemon (HTTP on port 3806).'

stop_wine
if [ "$failures" -gt 0 ]; then
  echo "wine service check: $failures failure(s)"
  exit 1
fi
echo "wine service check: all passed"
