#!/usr/bin/env bash
# Page metrics of the Windows build under Wine, where winspool and GDI see the
# machine's CUPS queues. A probe (built here with MinGW against the Windows
# build's own library, metrics-probe/) checks against the label queue tb-label
# (4 x 6 in, 300 dpi; scripts/cups-test-env.sh):
#   - the derivation through winspool and GDI: 300 dpi, 1200 x 1800 px, ratio 2/3,
#     also while impersonating the session's user;
#   - the same through the real helper (Tillerbrook.exe --query-printer-metrics)
#     over a real named pipe;
#   - a process that connects to the pipe before the helper is dropped, and
#     the helper's answer still arrives.
# Usage: wine_metrics_check.sh <Tillerbrook.exe> <wine-prefix-folder>
# Exit codes: 0 passed, 1 failed, 77 skipped (no Windows build, Wine, MinGW or queue).
set -uo pipefail

EXE=${1:?usage: wine_metrics_check.sh <Tillerbrook.exe> <wine-prefix>}
PREFIX=${2:?usage: wine_metrics_check.sh <Tillerbrook.exe> <wine-prefix>}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$(cd "$(dirname "$EXE")" 2>/dev/null && pwd)
QUEUE=tb-label
SKIP=77

[ -f "$EXE" ] || { echo "SKIP: no Windows build at $EXE (run scripts/build-windows.sh)"; exit $SKIP; }
[ -f "$BUILD/libtb_core.a" ] || { echo "SKIP: no libtb_core.a beside $EXE"; exit $SKIP; }
# shellcheck source=wine_env.sh
. "$HERE/wine_env.sh"
require_mingw
require_wine
require_queue "$QUEUE"
find_win_third_party
use_wine_prefix "$PREFIX"

WORK=""
log() { echo "[wine-metrics] $*"; }
trap cleanup_work EXIT
trap 'exit 1' INT TERM

# check <name> <json> <expected source prefix>: the tb-label page at 300 dpi.
check() {
  if python3 - "$2" "$3" <<'PY'
import json, sys
d = json.loads(sys.argv[1])
assert d.get("ok") is True, d
assert d["source"].startswith(sys.argv[2]), d["source"]
assert (d["dpiX"], d["dpiY"]) == (300, 300), d
assert (d["printableWidthPx"], d["printableHeightPx"]) == (1200, 1800), d
assert (d["physicalWidthPx"], d["physicalHeightPx"]) == (1200, 1800), d
assert abs(d["printableRatio"] - 2 / 3) < 1e-4, d
assert abs(d["paperWidthMm"] - 101.6) < 1e-6 and abs(d["paperHeightMm"] - 152.4) < 1e-6, d
PY
  then log "$1: $(python3 -c 'import json,sys; d=json.loads(sys.argv[1]); print(d["source"], d["dpiX"], "dpi", d["printableWidthPx"], "x", d["printableHeightPx"], "ratio %.4f" % d["printableRatio"], "user DEVMODE" if d["usedUserDevMode"] else "driver DEVMODE")' "$2")"
  else
    fail "$1: $2"
  fi
}

# ---------------------------------------------------------------------------
prepare_wine_prefix 900

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tb-wine-metrics.XXXXXX")
cp "$EXE" "$WORK/Tillerbrook.exe"
build_probe "$HERE/metrics-probe/metrics_probe.cpp" "$WORK/metrics_probe.exe"
win_exe=$(printf '%s' "Z:$WORK/Tillerbrook.exe" | sed 's#/#\\#g')
probe() { (cd "$WORK" && timeout 180 "$WINE" metrics_probe.exe "$@" 2>"$WORK/probe-err.txt" | tr -d '\r'); }

check "derivation in-process" "$(probe derive "$QUEUE")" "interactive:dc+"
check "derivation impersonating the session's user" "$(probe impersonated "$QUEUE")" "impersonated:dc+"
check "helper over a named pipe" "$(probe helper "$QUEUE" "$win_exe")" "helper:dc+"
out=$(probe foreign "$QUEUE" x)
check "helper while a stranger connects first" "$out" "helper:dc+"
grep -q '^forger exit code 0' "$WORK/probe-err.txt" ||
  fail "the stranger's connection was not dropped: $(tr -d '\r' <"$WORK/probe-err.txt")"

out=$(probe helper "tb-no-such-queue" "$win_exe")
if python3 -c 'import json,sys; d=json.loads(sys.argv[1]); sys.exit(0 if d["ok"] is False and d["error"].startswith("dc+user-devmode=> OpenPrinterW failed: ") else 1)' "$out"; then
  log "unknown printer: the helper's failure document arrives"
else
  fail "unknown printer: $out"
fi

stop_wine
if [ "$failures" -gt 0 ]; then
  echo "wine metrics check: $failures failure(s)"
  exit 1
fi
echo "wine metrics check: all passed"
