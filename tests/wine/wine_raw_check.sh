#!/usr/bin/env bash
# Raw printing through the Windows build under Wine: after "/allow-raw <queue>"
# a base64 ZPL label with a binary graphic field goes through winspool's RAW
# datatype into a CUPS queue of its own, whose device receives exactly its bytes.
# Usage: wine_raw_check.sh <Tillerbrook.exe> <wine-prefix-folder>
# Exit codes: 0 passed, 1 failed, 77 skipped (no Windows build, Wine, root or CUPS).
set -uo pipefail

EXE=${1:?usage: wine_raw_check.sh <Tillerbrook.exe> <wine-prefix>}
PREFIX=${2:?usage: wine_raw_check.sh <Tillerbrook.exe> <wine-prefix>}
HERE=$(cd "$(dirname "$0")" && pwd)
PORT=3806
QUEUE=tb-wine-raw-$$

[ -f "$EXE" ] || { echo "SKIP: no Windows build at $EXE (run scripts/build-windows.sh)"; exit 77; }
# shellcheck source=wine_env.sh
. "$HERE/wine_env.sh"
require_wine
require_tools curl iconv timeout python3 base64 cmp lpadmin
[ "$(id -u)" = 0 ] || { echo "SKIP: making a CUPS queue needs root"; exit 77; }
lpstat -r 2>/dev/null | grep -q "is running" || { echo "SKIP: no CUPS scheduler answers"; exit 77; }
use_wine_prefix "$PREFIX"

WORK=""
LISTENER=""
log() { echo "[wine-raw] $*"; }
finish() {
  [ -n "$LISTENER" ] && kill "$LISTENER" 2>/dev/null
  lpadmin -x "$QUEUE" >/dev/null 2>&1
  cleanup_work
}
trap finish EXIT
trap 'exit 1' INT TERM

prepare_wine_prefix 900
require_port_free
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tb-wine-raw.XXXXXX")
cp "$EXE" "$WORK/Tillerbrook.exe"

coproc SINK { python3 "$HERE/../support/raw_sink.py" "$WORK/received"; }
LISTENER=$SINK_PID
read -r -t 30 port <&"${SINK[0]}" || { echo "FAIL: the queue's device does not listen"; exit 1; }
lpadmin -p "$QUEUE" -E -v "socket://127.0.0.1:$port" -m drv:///sample.drv/zebra.ppd 2>/dev/null || { echo "FAIL: cannot make the queue $QUEUE"; exit 1; }

printf '^XA^FO30,30^GFB,6,6,1,\x00\xff\x1b\x0a\x80\x00^FS^FDwine raw^FS^XZ\n' >"$WORK/label.zpl"
(cd "$WORK" && timeout 120 "$WINE" Tillerbrook.exe /allow-raw "$QUEUE" >allow-out.txt 2>&1) ||
  fail "Tillerbrook.exe /allow-raw failed: $(utf16 "$WORK/allow-out.txt")"
(cd "$WORK" && exec timeout 600 "$WINE" Tillerbrook.exe /debug >debug-out.txt 2>debug-err.txt) &
wait_answer 90 $! || { echo "FAIL: the /debug run did not answer on port $PORT"; exit 1; }

job=$(printf '{"LabelContent": "%s", "fileExtension": "zpl", "PrinterName": "%s"}' \
  "$(base64 -w0 <"$WORK/label.zpl")" "$QUEUE" |
  curl -s -m 120 -H 'Content-Type: application/json' --data-binary @- "http://127.0.0.1:$PORT/print")
python3 -c 'import json,sys; r = json.loads(sys.argv[1]); sys.exit(r["status"] != "success" or r["jobId"] <= 0)' \
  "$job" 2>/dev/null || fail "raw print answered '$job'"
wait "$LISTENER"
LISTENER=""
cmp -s "$WORK/label.zpl" "$WORK/received" ||
  fail "the device received $(wc -c <"$WORK/received") bytes, not the label's $(wc -c <"$WORK/label.zpl")"

[ "$failures" = 0 ] || exit 1
log "passed: $(echo "$job" | tr -d ' \n'); the label arrived byte for byte"
