#!/usr/bin/env bash
# Prints through the Windows build under Wine, with small stand-ins (built here
# with MinGW) for SumatraPDF.exe and Kestrelend.exe in its program folder:
#   - the print program exits 0: success with the document's MD5, and the
#     command line it was given;
#   - it exits 3: "Print failed" with code 3;
#   - it hangs: after 15 s the close helper is started with its process id and
#     ends it: code -2, no forced termination;
#   - /history holds the three records;
#   - device, raw and network paths as "filePath" are refused at once with
#     the unreadable-file reply and a log line naming the reason;
#   - a printer name ending in a backslash reaches the program as one argument;
#   - a print program only in the Windows folder (on the search path) is not
#     started: the launch-failure reply;
#   - the daemon killed while a print program hangs: the program ends too;
#   - no print program: the launch-failure reply and its log line.
# Usage: wine_print_check.sh <Tillerbrook.exe> <wine-prefix-folder>
# Exit codes: 0 passed, 1 failed, 77 skipped (no Windows build, Wine or MinGW).
set -uo pipefail

EXE=${1:?usage: wine_print_check.sh <Tillerbrook.exe> <wine-prefix>}
PREFIX=${2:?usage: wine_print_check.sh <Tillerbrook.exe> <wine-prefix>}
HERE=$(cd "$(dirname "$0")" && pwd)
PORT=3806
SKIP=77

[ -f "$EXE" ] || { echo "SKIP: no Windows build at $EXE (run scripts/build-windows.sh)"; exit $SKIP; }
# shellcheck source=wine_env.sh
. "$HERE/wine_env.sh"
require_mingw
require_wine
require_tools curl iconv timeout python3 base64 md5sum
use_wine_prefix "$PREFIX"

WORK=""
log() { echo "[wine-print] $*"; }
trap cleanup_work EXIT
trap 'exit 1' INT TERM

# Posts a print of the test document; the reply body on standard output.
print_doc() {
  printf '{"LabelContent": "%s", "PrinterName": "Wine Printer", "RequestTrackingNumber": %s}' \
    "$DOC64" "$1" | curl -s -m 120 -H 'Content-Type: application/json' --data-binary @- \
    "http://127.0.0.1:$PORT/print"
}

# same_json <got> <expected>: equal as JSON values.
same_json() {
  python3 -c 'import json,sys; sys.exit(0 if json.loads(sys.argv[1]) == json.loads(sys.argv[2]) else 1)' "$1" "$2" 2>/dev/null
}
expect_reply() {  # <name> <got> <expected>
  if same_json "$2" "$3"; then log "$1: $(echo $2)"; else fail "$1: expected $3, got '$2'"; fi
}

# ---------------------------------------------------------------------------
prepare_wine_prefix 900
require_port_free

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tb-wine-print.XXXXXX")
cp "$EXE" "$WORK/Tillerbrook.exe"
for pair in "print_program.cpp SumatraPDF.exe" "close_helper.cpp Kestrelend.exe"; do
  set -- $pair
  "$CXX" -O1 -static -o "$WORK/$2" "$HERE/print-standins/$1" -lshell32 2>"$WORK/cxx.err" || {
      echo "FAIL: cannot build $2: $(cat "$WORK/cxx.err")"
      exit 1
    }
done

DOC="%PDF-1.4 printed under Wine"
DOC64=$(printf '%s' "$DOC" | base64 -w0)
DOC_MD5=$(printf '%s' "$DOC" | md5sum | cut -d' ' -f1)
NAME_MD5=$(printf '%s' "$DOC64" | md5sum | cut -d' ' -f1)

(cd "$WORK" && exec timeout 600 "$WINE" Tillerbrook.exe /debug >debug-out.txt 2>debug-err.txt) &
daemon_pid=$!
if ! wait_answer 90 "$daemon_pid"; then
  echo "FAIL: the /debug run did not answer on port $PORT"
  exit 1
fi

# --- exit 0 -------------------------------------------------------------------
printf 'exit 0' >"$WORK/print-mode.txt"
expect_reply "exit 0" "$(print_doc 1)" "{\"status\": \"success\", \"md5sum\": \"$DOC_MD5\"}"
win_work=$(printf '%s' "Z:$WORK" | sed 's#/#\\#g')
expected_args="\"SumatraPDF.exe\" -silent -print-to \"Wine Printer\" -print-settings \"fit\" \"$win_work\\sumatrapdfcache\\$NAME_MD5.pdf\""
got_args=$(head -n1 "$WORK/print-args.txt" 2>/dev/null | tr -d '\r')
if [ "$got_args" = "$expected_args" ]; then log "command line: $got_args"; else fail "command line: expected '$expected_args', got '$got_args'"; fi

# --- exit 3 -------------------------------------------------------------------
printf 'exit 3' >"$WORK/print-mode.txt"
expect_reply "exit 3" "$(print_doc 2)" '{"status": "error", "message": "Print failed", "code": 3}'

# --- hang, closed by the helper --------------------------------------------------
printf 'hang' >"$WORK/print-mode.txt"
start=$(date +%s)
expect_reply "hang" "$(print_doc 3)" '{"status": "error", "message": "Print failed", "code": -2}'
took=$(($(date +%s) - start))
if [ "$took" -ge 15 ] && [ "$took" -lt 20 ]; then log "hung print answered after ${took}s"; else fail "hung print answered after ${took}s"; fi
[ -s "$WORK/close-args.txt" ] && log "close helper was given process id $(tr -d '\r\n' <"$WORK/close-args.txt")" ||
  fail "the close helper was not started"
out=$(utf16 "$WORK/debug-out.txt")
printf '%s\n' "$out" | grep -qxF "Print process timeout, attempting graceful close." ||
  fail "no timeout line in the log"
printf '%s\n' "$out" | grep -qF "Graceful close failed" && fail "the helper's close was not counted"

# --- the records -------------------------------------------------------------------
history=$(curl -s -m 10 "http://127.0.0.1:$PORT/history")
if python3 - "$history" "$DOC_MD5" <<'PY'
import json, sys
rows = json.loads(sys.argv[1])
assert [r["code"] for r in rows] == [-2, 3, 0], rows
assert [r["RequestTrackingNumber"] for r in rows] == ["3", "2", "1"], rows
assert all(r["md5sum"] == sys.argv[2] and r["printerName"] == "Wine Printer" for r in rows), rows
PY
then log "/history holds the three records"; else fail "/history: $history"; fi

# --- paths a page must not make the service open ---------------------------------
printf 'exit 0' >"$WORK/print-mode.txt"
rm -f "$WORK/print-args.txt"
# reason|path as written in the JSON body
while IFS='|' read -r reason path; do
  body=$(printf '{"filePath": "%s", "PrinterName": "Wine Printer"}' "$path")
  answer=$(printf '%s' "$body" | curl -s -m 20 -w '\n%{time_total}' -H 'Content-Type: application/json' \
    --data-binary @- "http://127.0.0.1:$PORT/print")
  reply=${answer%$'\n'*}
  took=${answer##*$'\n'}
  expect_reply "refused $path" "$reply" '{"status": "error", "message": "读取打印文件失败！", "code": -2}'
  # At once: nothing was opened, nothing waited for.
  python3 -c 'import sys; sys.exit(0 if float(sys.argv[1]) < 2 else 1)' "$took" ||
    fail "refused $path after ${took}s"
  plain=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["filePath"])' "$body")
  tr -d '\r' <"$WORK/debug-err.txt" | grep -qxF "[Print] filePath refused ($reason): $plain" ||
    fail "no log line '[Print] filePath refused ($reason): $plain'"
done <<'PATHS'
network path|\\\\tb-no-such-host\\share\\label.pdf
network path|//tb-no-such-host/share/label.pdf
network path|\\\\?\\UNC\\tb-no-such-host\\share\\label.pdf
device path|\\\\.\\NUL
device path|\\\\?\\GLOBALROOT\\Device\\Null
device path|NUL
device path|C:\\windows\\nul.txt
device path|COM1
device path|//./CON
not a regular file|C:\\windows
PATHS
[ -e "$WORK/print-args.txt" ] && fail "a refused path was printed"

# --- a printer name that ends in a backslash stays one argument ----------------------
rm -f "$WORK/print-argv.txt"
reply=$(printf '{"LabelContent": "%s", "PrinterName": "Wine Printer\\\\"}' "$DOC64" |
  curl -s -m 60 -H 'Content-Type: application/json' --data-binary @- "http://127.0.0.1:$PORT/print")
expect_reply "printer ending in a backslash" "$reply" "{\"status\": \"success\", \"md5sum\": \"$DOC_MD5\"}"
expected_argv="-silent|-print-to|Wine Printer\\|-print-settings|fit|$win_work\\sumatrapdfcache\\$NAME_MD5.pdf|"
got_argv=$(head -n1 "$WORK/print-argv.txt" 2>/dev/null | tr -d '\r')
if [ "$got_argv" = "$expected_argv" ]; then log "arguments: $got_argv"; else fail "arguments: expected '$expected_argv', got '$got_argv'"; fi

# --- a print program only on the search path is not started ---------------------------
# The Windows folder is searched before PATH by a plain program search; the
# stand-in writes its command line into the current folder (the daemon's).
win_dir="$WINEPREFIX/drive_c/windows"
cp "$WORK/SumatraPDF.exe" "$win_dir/SumatraPDF.exe"
rm -f "$WORK/SumatraPDF.exe" "$WORK/print-args.txt"
expect_reply "print program only on the search path" "$(print_doc 4)" \
  '{"status": "error", "message": "SumatraPDF.exe not found or failed to start"}'
[ -e "$WORK/print-args.txt" ] && fail "the print program on the search path was started"
mv "$win_dir/SumatraPDF.exe" "$WORK/SumatraPDF.exe"  # back for the checks below
# --- a hung print program ends with the daemon -------------------------------------
# The daemon is killed while it waits for a hung print program (a crash, or
# the service manager's forced end): the program must not stay behind.
# The stand-in's processes: those of this Wine prefix (each check has its own).
standin_pids() {
  local pid
  for pid in $(ps -eo pid=,args= | grep -F SumatraPDF.exe | grep -v grep | awk '{print $1}'); do
    grep -qzxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && echo "$pid"
  done
}
printf 'hang' >"$WORK/print-mode.txt"
rm -f "$WORK/print-args.txt"
print_doc 5 >/dev/null &
print_pid=$!
for _ in $(seq 1 100); do [ -n "$(standin_pids)" ] && break; sleep 0.1; done
if [ -z "$(standin_pids)" ]; then
  fail "the hung print program did not start"
else
  daemon_wine=$(ps --ppid "$daemon_pid" -o pid= | tr -d ' ')
  kill -9 $daemon_wine
  wait "$daemon_pid" 2>/dev/null
  for _ in $(seq 1 50); do [ -z "$(standin_pids)" ] && break; sleep 0.1; done
  left=$(standin_pids)
  if [ -z "$left" ]; then
    log "killed daemon: the hung print program it started is gone"
  else
    fail "the hung print program outlived the killed daemon"
    kill -9 $left
  fi
fi
wait "$print_pid" 2>/dev/null
(cd "$WORK" && exec timeout 600 "$WINE" Tillerbrook.exe /debug >>debug-out.txt 2>>debug-err.txt) &
daemon_pid=$!
wait_answer 90 "$daemon_pid" || fail "the daemon did not answer again after the restart"

# --- no print program ------------------------------------------------------------
rm -f "$WORK/SumatraPDF.exe"
expect_reply "no print program" "$(print_doc 4)" '{"status": "error", "message": "SumatraPDF.exe not found or failed to start"}'
tr -d '\r' <"$WORK/debug-err.txt" | grep -qE '^CreateProcessOnUserDesktop failed: [1-9][0-9]*$' ||
  fail "no 'CreateProcessOnUserDesktop failed' line: $(tr -d '\r' <"$WORK/debug-err.txt")"

stop_wine
wait "$daemon_pid" 2>/dev/null
if [ "$failures" -gt 0 ]; then
  echo "wine print check: $failures failure(s)"
  exit 1
fi
echo "wine print check: all passed"
