#!/usr/bin/env bash
# Installs the Debian package on this machine for real and takes it through
# its life: install, a daemon run that stores settings, an upgrade over
# itself that keeps the database, remove (files gone, data kept, daemon
# stopped), purge (data gone). Where systemd runs it also checks the unit.
# Usage: deb_check.sh <package.deb or the folder cpack wrote it to>
# Exit codes: 0 passed, 1 failed, 77 skipped (no package, not root, no dpkg).
set -uo pipefail

# shellcheck source=deb_env.sh
. "$(dirname "$0")/deb_env.sh"
find_deb "${1:?usage: deb_check.sh <package.deb or folder>}"
DIR=/opt/tillerbrook
UNIT=/etc/systemd/system/Orv_Tillerbrook.service
PORT=3806

for tool in dpkg curl sqlite3 python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is required"; exit 1; }
done
if [ -d /run/systemd/system ]; then SYSTEMD=1; else SYSTEMD=0; fi

failures=0
daemon_pid=""
log() { echo "[deb-check] $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cleanup() {
  if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null; fi
  purge_quietly
}
trap cleanup EXIT
trap 'exit 1' INT TERM

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }

wait_answer() {  # <seconds> <pid>
  local i
  for ((i = 0; i < $1 * 4; i++)); do
    curl -s -o /dev/null -m 2 "http://127.0.0.1:$PORT/version" && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.25
  done
  return 1
}

start_console_daemon() {
  (cd / && exec "$DIR/tillerbrook" /debug >/dev/null 2>&1) &
  daemon_pid=$!
  wait_answer 30 "$daemon_pid" || fail "the installed daemon did not answer on port $PORT"
}

# Waits for the daemon started by this script to end; the package must stop it.
expect_daemon_gone() {  # <what>
  local i
  for ((i = 0; i < 60; i++)); do
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.25
  done
  if kill -0 "$daemon_pid" 2>/dev/null; then
    fail "$1 left the daemon running"
  else
    log "$1 stopped the daemon"
  fi
  wait "$daemon_pid" 2>/dev/null
  daemon_pid=""
}

config_rows() { sqlite3 "$DIR/database.db" "SELECT type, flag, key, value FROM config ORDER BY key, value;" 2>&1; }

expect_mode() {  # <path> <octal mode>
  local mode
  mode=$(stat -c %a "$1" 2>/dev/null)
  [ "$mode" = "$2" ] || fail "$1: mode ${mode:-missing}, expected $2"
}

if port_open; then echo "FAIL: port $PORT is taken before the test (run it in its own network namespace)"; exit 1; fi
purge_earlier_package

# --- install -----------------------------------------------------------------
out=$(TILLERBROOK_ALLOW_ORIGINS="HTTPS://Shop.Example/,http://erp.local:8080 https://bad/path" \
  dpkg_run -i "$DEB") || fail "dpkg -i failed: $out"
origins=$(sqlite3 "$DIR/database.db" "SELECT key FROM config WHERE type = 'ALLOWED_ORIGIN' ORDER BY key;" 2>&1)
[ "$origins" = $'http://erp.local:8080\nhttps://shop.example' ] ||
  fail "TILLERBROOK_ALLOW_ORIGINS gave the rows: $origins"
grep -q 'https://bad/path' <<<"$out" || fail "postinst did not report the refused origin: $out"
for f in tillerbrook tillerbrook-print; do expect_mode "$DIR/$f" 755; done
expect_mode "$DIR/libpdfium.so" 644
expect_mode "$DIR/test.html" 644
[ -s /usr/share/doc/tillerbrook/copyright ] || fail "no copyright file"
if [ $SYSTEMD = 1 ]; then
  [ -f "$UNIT" ] || fail "no unit after installation where systemd runs"
  systemctl is-active --quiet Orv_Tillerbrook.service || fail "the service is not running after installation"
  systemctl is-enabled --quiet Orv_Tillerbrook.service || fail "the service is not enabled"
else
  grep -qF "$DIR/tillerbrook /debug" <<<"$out" || fail "installation without systemd did not say how to start the daemon: $out"
  [ ! -e "$UNIT" ] || fail "a unit was left behind where systemd does not run"
fi
log "installed; $(dpkg-query -W -f='${Package} ${Version} ${Status}' tillerbrook)"

# --- settings stored by the installed daemon ---------------------------------
if [ $SYSTEMD = 1 ]; then
  # The service owns the port; the console daemon is for systems without one.
  systemctl stop Orv_Tillerbrook.service
fi
start_console_daemon
curl -s -o /dev/null -m 10 "http://127.0.0.1:$PORT/noscale"
curl -s -o /dev/null -m 10 "http://127.0.0.1:$PORT/switch"
printer=$(curl -s -m 30 "http://127.0.0.1:$PORT/printers" |
  python3 -c 'import json,sys; l=json.load(sys.stdin); print(l[0]["name"] if l else "")' 2>/dev/null)
if [ -n "$printer" ]; then
  body=$(python3 -c 'import json,sys; print(json.dumps({"key": "shop-7", "value": sys.argv[1]}))' "$printer")
  answer=$(curl -s -m 10 -H 'Content-Type: application/json' -d "$body" "http://127.0.0.1:$PORT/setup")
  grep -q '"Config saved"' <<<"$answer" || fail "client key mapping not saved: $answer"
fi
list_before=$(curl -s -m 10 "http://127.0.0.1:$PORT/list")
rows_before=$(config_rows)
grep -q 'SUMATRA_PRINT_SETTINGS|noscale' <<<"$rows_before" || fail "the scaling setting was not stored: $rows_before"
[ -z "$printer" ] || grep -q "shop-7|$printer" <<<"$rows_before" || fail "the client key was not stored: $rows_before"
log "settings stored: $(wc -l <<<"$rows_before") configuration rows"

# --- upgrade over itself ---------------------------------------------------------
out=$(dpkg_run -i "$DEB") || fail "upgrade (dpkg -i over itself) failed: $out"
expect_daemon_gone "the upgrade"
[ "$(config_rows)" = "$rows_before" ] || fail "the upgrade changed the configuration rows: $(config_rows)"
if [ $SYSTEMD = 1 ]; then
  systemctl is-active --quiet Orv_Tillerbrook.service || fail "the service is not running after the upgrade"
  systemctl stop Orv_Tillerbrook.service
fi
start_console_daemon
list_after=$(curl -s -m 10 "http://127.0.0.1:$PORT/list")
[ "$list_after" = "$list_before" ] || fail "/list differs after the upgrade: $list_after"
log "upgrade kept the database: /list unchanged"

# --- remove -----------------------------------------------------------------------
# The service writes its log into logs/; a console run does not, so stand in for it.
mkdir -p "$DIR/logs" && echo "line" >"$DIR/logs/Tillerbrook.log"
out=$(dpkg_run -r tillerbrook) || fail "dpkg -r failed: $out"
expect_daemon_gone "removing the package"
for f in tillerbrook tillerbrook-print libpdfium.so test.html; do
  [ ! -e "$DIR/$f" ] || fail "$DIR/$f is still there after removal"
done
[ -s "$DIR/database.db" ] || fail "removal deleted the database"
[ -s "$DIR/logs/Tillerbrook.log" ] || fail "removal deleted the logs"
[ "$(config_rows)" = "$rows_before" ] || fail "removal changed the configuration rows"
[ ! -e "$UNIT" ] || fail "removal left the unit"
dpkg-query -W -f='${Status}' tillerbrook 2>/dev/null | grep -q "config-files" ||
  fail "after removal the package is not in the config-files state"
log "removed; database and logs kept"

# --- purge ------------------------------------------------------------------------
out=$(dpkg_run -P tillerbrook) || fail "dpkg -P failed: $out"
[ ! -e "$DIR" ] || fail "purge left $DIR: $(ls -A "$DIR" 2>/dev/null | tr '\n' ' ')"
dpkg-query -W -f='${Status}' tillerbrook 2>/dev/null | grep -q "install ok" && fail "the package is still known after purge"
log "purged; $DIR is gone"

if [ "$failures" -gt 0 ]; then
  echo "deb check: $failures failure(s)"
  exit 1
fi
echo "deb check: passed"
