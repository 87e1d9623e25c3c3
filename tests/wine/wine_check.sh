#!/usr/bin/env bash
# Runs the Windows build under Wine and checks it from the outside:
#   - no argument: the dispatcher refuses a console start, exit code 1063, no output;
#   - /debug: console start-up lines, CORS preflight, 404 with CORS, /version,
#     no logs folder in console mode; the PDF library loaded from beside the
#     executable (the build's own pdfium.dll);
#   - the port already taken: the FATAL line with a real error number, exit -2;
#   - a second daemon beside a running one fails with -2; one started right
#     after a killed one that had traffic answers /version within 5 s;
#   - the service: /install refuses the folder (Wine reports every folder as
#     changeable by its user), registered with sc.exe instead: start through
#     the service manager, answer on the port, stop, uninstall (twice);
#   - install from a folder path longer than 260 characters: the refusal
#     names the whole folder.
# Usage: wine_check.sh <Tillerbrook.exe> <wine-prefix-folder>
# Exit codes: 0 passed, 1 failed, 77 skipped (no Windows build or no Wine).
set -uo pipefail

EXE=${1:?usage: wine_check.sh <Tillerbrook.exe> <wine-prefix>}
PREFIX=${2:?usage: wine_check.sh <Tillerbrook.exe> <wine-prefix>}
PORT=3806
SKIP=77

if [ ! -f "$EXE" ]; then
  echo "SKIP: no Windows build at $EXE (run scripts/build-windows.sh)"
  exit $SKIP
fi

# shellcheck source=wine_env.sh
. "$(dirname "$0")/wine_env.sh"
require_wine
require_tools curl iconv timeout python3
use_wine_prefix "$PREFIX"

WORK=""
service_touched=0

log() { echo "[wine-check] $*"; }

cleanup() {
  if [ -n "$WORK" ]; then
    if [ "$service_touched" = 1 ]; then delete_service; fi
    stop_wine
    rm -rf "$WORK"
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Runs lines of a batch file inside Wine's cmd, in the work folder; its
# output (the ERRORLEVEL echoes) goes to standard output. Exit codes above
# 255 are visible only from inside Wine, hence the batch files.
run_batch() {
  local name=$1; shift
  printf '%s\r\n' "@echo off" "$@" >"$WORK/$name.bat"
  (cd "$WORK" && timeout 180 "$WINE" cmd /c "$name.bat" 2>/dev/null) | tr -d '\r'
}

expect_value() {  # expect_value <output> <key> <value>
  local got
  got=$(printf '%s\n' "$1" | sed -n "s/^$2=//p" | tail -n1)
  if [ "$got" = "$3" ]; then log "$2 = $3"; else fail "$2: expected $3, got '${got:-nothing}'"; fi
}

expect_empty() {
  if [ -s "$1" ]; then fail "$2 is not empty: $(head -c 200 "$1" | od -c | head -n 3)"; fi
}

# Checks one HTTP answer: status and the five CORS headers.
check_cors_answer() {  # <method> <path> <status>
  local headers body status
  headers=$(curl -s -m 10 -X "$1" -D - -o "$WORK/body" "http://127.0.0.1:$PORT$2" | tr -d '\r')
  status=$(printf '%s\n' "$headers" | head -n1 | awk '{print $2}')
  [ "$status" = "$3" ] || fail "$1 $2: status ${status:-none}, expected $3"
  local expected=(
    "Access-Control-Allow-Origin: *"
    "Access-Control-Allow-Methods: POST, GET, OPTIONS"
    "Access-Control-Allow-Headers: *"
    "Access-Control-Allow-Private-Network: true"
    "Access-Control-Max-Age: 86400"
  )
  local h
  for h in "${expected[@]}"; do
    printf '%s\n' "$headers" | grep -qixF "$h" || fail "$1 $2: header missing: $h"
  done
  body=$(cat "$WORK/body")
  [ -z "$body" ] || fail "$1 $2: body not empty: $body"
  log "$1 $2 -> $status with CORS headers"
}

# ---------------------------------------------------------------------------
prepare_wine_prefix 600
require_port_free

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tb-wine.XXXXXX")
cp "$EXE" "$WORK/Tillerbrook.exe"
# The build's own PDF library, as it ships beside the executable.
[ -f "$(dirname "$EXE")/pdfium.dll" ] ||
  { echo "FAIL: the Windows build has no pdfium.dll beside $EXE"; exit 1; }
cp "$(dirname "$EXE")/pdfium.dll" "$WORK/pdfium.dll"
remove_leftover_service

# --- no argument -------------------------------------------------------------
out=$(run_batch noarg "Tillerbrook.exe >noarg-out.txt 2>noarg-err.txt" "echo exit=%ERRORLEVEL%")
expect_value "$out" exit 1063
expect_empty "$WORK/noarg-out.txt" "standard output without argument"
expect_empty "$WORK/noarg-err.txt" "standard error without argument"

# --- /debug ------------------------------------------------------------------
(cd "$WORK" && exec timeout 300 "$WINE" Tillerbrook.exe /debug >debug-out.txt 2>debug-err.txt) &
debug_pid=$!
if wait_answer 90 "$debug_pid"; then
  check_cors_answer OPTIONS /print 204
  check_cors_answer OPTIONS /no/such/route 204
  check_cors_answer GET /no-such-path 404
  version=$(curl -s -m 10 "http://127.0.0.1:$PORT/version")
  if python3 -c 'import json,sys; sys.exit(0 if json.loads(sys.argv[1]) == {"version": "v1.4.0"} else 1)' "$version"; then
    log "/version -> $(echo $version)"
  else
    fail "/version answered: $version"
  fi
  hostile=$(timeout 120 python3 "$(dirname "$0")/hostile_http_check.py" "$PORT" 2>&1) ||
    fail "hostile input: $hostile"
  while IFS= read -r line; do log "$line"; done <<<"$hostile"
else
  fail "the /debug run did not answer on port $PORT"
fi
console=$(utf16 "$WORK/debug-out.txt")
win_work=$(printf '%s' "Z:$WORK" | sed 's#/#\\#g')
printf '%s\n' "$console" | grep -qxF "Working dir: $win_work" ||
  fail "no 'Working dir: $win_work' line in console output"
printf '%s\n' "$console" | grep -qxF '[Startup] version=v1.4.0 mode=console' ||
  fail "no '[Startup] version=v1.4.0 mode=console' line in console output"
printf '%s\n' "$console" | grep -qxF '[PDFium] DLL loaded once for process lifetime.' ||
  fail "the pdfium.dll beside the executable was not loaded: $(tr -d '\r' <"$WORK/debug-err.txt" | grep PDFium)"
[ ! -e "$WORK/logs" ] || fail "a console run created a logs folder"
log "console output:"
printf '%s\n' "$console" | sed 's/^/    /'
stop_wine
wait "$debug_pid" 2>/dev/null
wait_port_free 30 || fail "port $PORT still open after the /debug run was ended"

# --- a second daemon, and a restart straight after traffic ----------------------
# The daemon closes connections that ask for it, so they linger in TIME_WAIT
# on its port: a daemon started right after it was killed must still bind and
# answer at once, while a second one beside a running daemon fails with -2.
(cd "$WORK" && exec timeout 300 "$WINE" Tillerbrook.exe /debug >first-out.txt 2>first-err.txt) &
first_pid=$!
if wait_answer 90 "$first_pid"; then
  for _ in $(seq 1 30); do curl -s -m 5 -H 'Connection: close' -o /dev/null "http://127.0.0.1:$PORT/version"; done
  lingering=$(ss -Htan state time-wait "( sport = :$PORT )" 2>/dev/null | wc -l)
  out=$(run_batch second "Tillerbrook.exe /debug >second-out.txt 2>second-err.txt" "echo exit=%ERRORLEVEL%")
  expect_value "$out" exit -2
  # Killed, as a crash or the service manager's forced end would: nothing of
  # the first daemon runs its shutdown.
  first_wine=$(ps --ppid "$first_pid" -o pid= | tr -d ' ')
  [ -n "$first_wine" ] && kill -9 "$first_wine"
  wait "$first_pid" 2>/dev/null
  started=$(date +%s%N)
  (cd "$WORK" && exec timeout 300 "$WINE" Tillerbrook.exe /debug >restart-out.txt 2>restart-err.txt) &
  restart_pid=$!
  if wait_answer 5 "$restart_pid"; then
    log "restarted after traffic ($lingering connections in TIME_WAIT): /version answered after $((($(date +%s%N) - started) / 1000000)) ms"
  else
    fail "the restart did not answer /version within 5 s ($lingering connections in TIME_WAIT): $(tr -d '\r' <"$WORK/restart-err.txt")"
  fi
else
  fail "the first /debug run did not answer on port $PORT"
fi
stop_wine
wait_port_free 30 || fail "port $PORT still open after the restarted run was ended"

# --- port already taken --------------------------------------------------------
python3 - "$PORT" "$WORK/holder.ready" <<'PY' &
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
# Connections of the earlier steps may hold the port in TIME_WAIT for a while.
for attempt in range(180):
    try:
        s.bind(("0.0.0.0", int(sys.argv[1])))
        break
    except OSError:
        time.sleep(0.5)
s.listen(1)
open(sys.argv[2], "w").close()
time.sleep(120)
PY
holder_pid=$!
for _ in $(seq 1 1000); do [ -f "$WORK/holder.ready" ] && break; sleep 0.1; done
out=$(run_batch taken "Tillerbrook.exe /debug >taken-out.txt 2>taken-err.txt" "echo exit=%ERRORLEVEL%")
kill "$holder_pid" 2>/dev/null; wait "$holder_pid" 2>/dev/null
expect_value "$out" exit -2
fatal=$(tr -d '\r' <"$WORK/taken-err.txt" | grep '^FATAL: ')
if printf '%s\n' "$fatal" | grep -qE '^FATAL: cannot bind 0\.0\.0\.0:3806 \(port in use or blocked\)\. Win32 error=[1-9][0-9]*$'; then
  log "$fatal"
else
  fail "no FATAL line with an error number; standard error was: $(tr -d '\r' <"$WORK/taken-err.txt")"
fi
utf16 "$WORK/taken-out.txt" | grep -qxF 'Server: http://127.0.0.1:3806/' || fail "no 'Server: ' banner before the FATAL line"
stop_wine

# --- the service ---------------------------------------------------------------
# A persistent server keeps the service manager, and so the service, alive
# between the short-lived commands below.
timeout 30 "$WINESERVER" -p
service_touched=1
# /install judges the program folder first. Wine keeps no access lists: it
# reports every folder as owned by its one user, who may change it (from the
# Unix mode), so /install refuses here, naming that entry and the folder,
# and registers nothing. (The registration itself: wine_service_check.sh.)
service_key='HKLM\System\CurrentControlSet\Services\Orv_Tillerbrook'
out=$(run_batch install "Tillerbrook.exe /install >install-out.txt 2>install-err.txt" "echo install=%ERRORLEVEL%")
expect_value "$out" install 1
refusal=$(tr -d '\r' <"$WORK/install-err.txt")
case "$refusal" in
  "安装失败！程序文件夹 $win_work 不安全：S-1-5-21-"*" may add files, add folders, delete, change rights"*"。请把程序放在只有 SYSTEM 和管理员能修改的文件夹中。")
    log "install refused: $refusal" ;;
  *) fail "install from a folder its user may change printed '$refusal'" ;;
esac
[ -z "$(utf16 "$WORK/install-out.txt")" ] || fail "a refused install printed '$(utf16 "$WORK/install-out.txt")'"
if timeout 60 "$WINE" reg query "$service_key" >/dev/null 2>&1; then fail "a refused install registered the service"; fi

# Registered as /install would, for the run through the service manager
# (which, under Wine, runs it in session 1, as a console run).
win_exe=$(printf '%s' "Z:$WORK/Tillerbrook.exe" | sed 's#/#\\#g')
timeout 60 "$WINE" sc create Orv_Tillerbrook binPath= "\"$win_exe\"" start= auto >/dev/null 2>&1 ||
  fail "sc create failed"

timeout 120 "$WINE" net start Orv_Tillerbrook >/dev/null 2>&1
if wait_answer 90; then
  version=$(curl -s -m 10 "http://127.0.0.1:$PORT/version" | tr -d '[:space:]')
  [ "$version" = '{"version":"v1.4.0"}' ] || fail "service /version answered: $version"
  log "service answers on port $PORT"
else
  fail "the service did not answer on port $PORT"
fi
state=$(timeout 60 "$WINE" sc query Orv_Tillerbrook 2>/dev/null | tr -d '\r')
printf '%s\n' "$state" | grep -qE 'STATE +: 4 +RUNNING' || fail "service not reported running: $state"

timeout 120 "$WINE" net stop Orv_Tillerbrook >/dev/null 2>&1
# net stop may return while the service still reports stop pending.
for _ in $(seq 1 60); do
  state=$(timeout 60 "$WINE" sc query Orv_Tillerbrook 2>/dev/null | tr -d '\r')
  printf '%s\n' "$state" | grep -qE 'STATE +: 3 +STOP_PENDING' || break
  sleep 1
done
printf '%s\n' "$state" | grep -qE 'STATE +: 1 +STOPPED' || fail "service not reported stopped: $state"
printf '%s\n' "$state" | grep -qE 'WIN32_EXIT_CODE +: 0 ' || fail "stopped service has a Win32 exit code: $state"
printf '%s\n' "$state" | grep -qE 'SERVICE_EXIT_CODE +: 0 ' || fail "stopped service has an exit code: $state"
wait_port_free 30 || fail "port $PORT still open after the service stopped"
log "service stopped with exit code 0"

out=$(run_batch uninstall \
  "Tillerbrook.exe /uninstall >un-out.txt 2>un-err.txt" "echo uninstall=%ERRORLEVEL%" \
  "Tillerbrook.exe /uninstall >un2-out.txt 2>un2-err.txt" "echo uninstall2=%ERRORLEVEL%")
expect_value "$out" uninstall 0
expect_value "$out" uninstall2 1
[ "$(utf16 "$WORK/un-out.txt")" = "服务卸载成功！" ] || fail "uninstall printed '$(utf16 "$WORK/un-out.txt")'"
[ "$(tr -d '\r' <"$WORK/un2-err.txt")" = "卸载失败！" ] || fail "second uninstall printed '$(tr -d '\r' <"$WORK/un2-err.txt")'"

# --- a program path longer than 260 characters ----------------------------------
# The folder named in the refusal shows whether the whole path was read (a
# path that could not be read fails with the administrator hint instead).
deep="$WORK/$(printf 'd%.0s' {1..100})/$(printf 'e%.0s' {1..100})/$(printf 'f%.0s' {1..100})"
mkdir -p "$deep" && cp "$EXE" "$deep/Tillerbrook.exe"
refusal=$(cd "$WORK" && timeout 120 "$WINE" "$deep/Tillerbrook.exe" /install 2>&1 >/dev/null | tr -d '\r')
win_deep=$(printf '%s' "Z:$deep" | sed 's#/#\\#g')
case "$refusal" in
  "安装失败！程序文件夹 $win_deep 不安全："*) log "install from a ${#win_deep}-character folder: judged the whole path" ;;
  *) fail "install from a long path printed '$refusal'" ;;
esac
stop_wine

if [ "$failures" -gt 0 ]; then
  echo "wine check: $failures failure(s)"
  exit 1
fi
echo "wine check: all passed"
