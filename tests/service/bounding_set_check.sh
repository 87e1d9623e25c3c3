#!/usr/bin/env bash
# The daemon with no capabilities but those the systemd unit keeps, without
# systemd: the real executable under setpriv with the unit's bounding set, as
# the service (INVOCATION_ID set), in a private mount namespace where a
# made-up logind session can appear:
#   - nobody logged in: a document given by path prints as the service's
#     print account;
#   - a session user: a document only that user may read prints as the user
#     (the daemon opened it acting as the user), one only root may read is
#     refused, and the page-metrics helper runs as the user for the PDF fit.
# Needs root and a local CUPS (scripts/cups-test-env.sh brings one up).
# Usage: bounding_set_check.sh <build folder> <source folder>
# Exit codes: 0 passed, 1 failed, 77 skipped.
set -uo pipefail

BUILD=${1:?usage: bounding_set_check.sh <build folder> <source folder>}
SOURCE=${2:?usage: bounding_set_check.sh <build folder> <source folder>}
SKIP=77
PORT=3806

[ "$(id -u)" = 0 ] || { echo "SKIP: needs root"; exit $SKIP; }
for tool in setpriv unshare curl python3 runuser; do
  command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit $SKIP; }
done
if [ "${TB_IN_MOUNT_NS:-}" != 1 ]; then
  unshare -m --propagation private true 2>/dev/null || { echo "SKIP: no private mount namespace"; exit $SKIP; }
  "$SOURCE/scripts/cups-test-env.sh" >/dev/null 2>&1 || { echo "SKIP: no local CUPS"; exit $SKIP; }
  exec env TB_IN_MOUNT_NS=1 unshare -m --propagation private bash "$0" "$@"
fi

# The set the unit keeps, as the unit text in the code spells it.
caps=$(sed -n 's/.*"CapabilityBoundingSet=\([A-Z_ ]*\)\\n".*/\1/p' \
  "$SOURCE/src/platform/posix/service_manager_posix.cpp")
[ -n "$caps" ] || { echo "FAIL: no CapabilityBoundingSet in the unit text"; exit 1; }
bounding="-all"
for cap in $caps; do
  name=${cap#CAP_}
  bounding="$bounding,+${name,,}"
done

failures=0
log() { echo "[bounding-set] $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

WORK=$(mktemp -d)
DOCS=$(mktemp -d)
chmod 755 "$WORK" "$DOCS"
mkdir -p /run/systemd
mount -t tmpfs tmpfs /run/systemd || { echo "FAIL: cannot mount /run/systemd"; exit 1; }
mkdir /run/systemd/sessions
daemon_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  umount /run/systemd 2>/dev/null
  rm -rf "$WORK" "$DOCS"
}
trap cleanup EXIT

cp "$BUILD/tillerbrook" "$WORK/"
[ -f "$BUILD/libpdfium.so" ] && cp "$BUILD/libpdfium.so" "$WORK/"
mkdir -m 777 "$WORK/reports"
cat >"$WORK/tillerbrook-print" <<'SH'
#!/bin/sh
for a in "$@"; do last=$a; done
id -u > reports/ids
cat "$last" > /dev/null || exit 7
SH
chmod 755 "$WORK/tillerbrook-print"

(cd "$WORK" && INVOCATION_ID=bounding-set-check exec setpriv --bounding-set "$bounding" \
  ./tillerbrook >"$WORK/out.txt" 2>"$WORK/err.txt") &
daemon_pid=$!
for _ in $(seq 1 100); do
  curl -s -m 1 "http://127.0.0.1:$PORT/version" >/dev/null && break
  sleep 0.1
done
grep -q "CapBnd:[[:space:]]*$(python3 -c "
import sys
bits = {'CAP_KILL': 5, 'CAP_SETGID': 6, 'CAP_SETUID': 7}
print('%016x' % sum(1 << bits[c] for c in sys.argv[1:]))" $caps)" "/proc/$daemon_pid/status" ||
  fail "the daemon's bounding set is not the unit's: $(grep CapBnd "/proc/$daemon_pid/status")"

print_path() {  # <path>: the reply
  python3 -c 'import json,sys; print(json.dumps({"filePath": sys.argv[1], "PrinterName": "tb-label"}))' "$1" |
    curl -s -m 60 -H 'Content-Type: application/json' --data-binary @- "http://127.0.0.1:$PORT/print"
}
status_of() { python3 -c 'import json,sys; r=json.loads(sys.argv[1]); print(r["status"], r.get("code", ""))' "$1" 2>/dev/null; }

# --- nobody logged in ----------------------------------------------------------
account=$(id -u tillerbrook 2>/dev/null || id -u nobody)
printf '%%PDF-1.4 shared' >"$DOCS/shared.pdf"
chmod 644 "$DOCS/shared.pdf"
rm -f "$WORK/reports/ids"
reply=$(print_path "$DOCS/shared.pdf")
[ "$(status_of "$reply")" = "success " ] && [ "$(cat "$WORK/reports/ids" 2>/dev/null)" = "$account" ] &&
  log "headless: printed as uid $account" || fail "headless print: $reply, ids $(cat "$WORK/reports/ids" 2>/dev/null)"

# --- a session user ---------------------------------------------------------------
user_uid=$(id -u tbuser)
cat >/run/systemd/sessions/7 <<EOF2
UID=$user_uid
USER=tbuser
ACTIVE=1
STATE=active
REMOTE=0
CLASS=user
TYPE=tty
SEAT=seat0
EOF2
printf '%%PDF-1.4 private' >"$DOCS/private.pdf"
chown tbuser "$DOCS/private.pdf"
chmod 600 "$DOCS/private.pdf"
printf '%%PDF-1.4 root only' >"$DOCS/root.pdf"
chmod 600 "$DOCS/root.pdf"
rm -f "$WORK/reports/ids"
reply=$(print_path "$DOCS/private.pdf")
[ "$(status_of "$reply")" = "success " ] && [ "$(cat "$WORK/reports/ids" 2>/dev/null)" = "$user_uid" ] &&
  log "session user: printed as uid $user_uid" || fail "session user's print: $reply"
reply=$(print_path "$DOCS/root.pdf")
[ "$(status_of "$reply")" = "error -2" ] && log "root-only file refused" || fail "root-only file: $reply"

pdf=$(printf '%%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj 2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj 3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 288 432]>>endobj\ntrailer<</Root 1 0 R>>\n%%%%EOF\n' | base64 -w0)
printf '{"LabelContent": "%s", "PrinterName": "tb-label", "AutoScalePdfToPrinter": true}' "$pdf" |
  curl -s -m 90 -H 'Content-Type: application/json' --data-binary @- "http://127.0.0.1:$PORT/print" >/dev/null
for _ in $(seq 1 50); do
  grep -q "metricsSource=active-user-process" "$WORK/out.txt" "$WORK/logs/Tillerbrook.log" 2>/dev/null && break
  sleep 0.1
done
grep -q "printer=tb-label metricsSource=active-user-process" "$WORK/out.txt" "$WORK/logs/Tillerbrook.log" 2>/dev/null &&
  log "the metrics helper ran as the session user" ||
  fail "no metrics from the helper: $(cat "$WORK/logs/Tillerbrook.log" "$WORK/err.txt" 2>/dev/null | tail -n 20)"

if [ "$failures" -gt 0 ]; then
  echo "bounding set check: $failures failure(s)"
  exit 1
fi
echo "bounding set check: all passed"
