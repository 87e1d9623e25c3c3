#!/usr/bin/env bash
# The Windows setup program under Wine, silently, as an administrator's
# deployment tool would run it:
#   - /S installs into Program Files\Tillerbrook, sets the access lists of the
#     folder, logs, the document cache and database.db (as far as Wine shows
#     them), registers the service Orv_Tillerbrook in Wine's service manager
#     and starts it (it answers); /ORIGIN= reaches the service's allow-list;
#   - the silent uninstall stops and removes the service and the program and
#     keeps the database; with /PURGE the database and logs go too.
# Usage: nsis_check.sh <Windows build folder> <wine-prefix-folder>
# Exit codes: 0 passed, 1 failed, 77 skipped (no setup program or no Wine).
set -uo pipefail

BUILD=${1:?usage: nsis_check.sh <Windows build folder> <wine-prefix>}
PREFIX=${2:?usage: nsis_check.sh <Windows build folder> <wine-prefix>}
PORT=3806
SKIP=77

SETUP=$(ls -t "$BUILD"/tillerbrook-*.exe 2>/dev/null | head -n1)
if [ -z "$SETUP" ]; then
  echo "SKIP: no setup program in $BUILD (cpack -G NSIS in the Windows build folder)"
  exit $SKIP
fi
# shellcheck source=../wine/wine_env.sh
. "$(dirname "$0")/../wine/wine_env.sh"
require_wine
require_tools curl timeout python3 sqlite3
use_wine_prefix "$PREFIX"

INSTALL_DIR="$PREFIX/drive_c/Program Files/Tillerbrook"
WIN_INSTALL_DIR='C:\Program Files\Tillerbrook'
SERVICE_KEY='HKLM\System\CurrentControlSet\Services\Orv_Tillerbrook'
log() { echo "[nsis-check] $*"; }

cleanup() {
  delete_service
  stop_wine
  rm -rf "$INSTALL_DIR"
}
trap 'exit 1' INT TERM

service_key() { timeout 60 "$WINE" reg query "$SERVICE_KEY" 2>/dev/null | tr -d '\r'; }
# reg answers a missing key on standard output too: its exit code tells.
service_registered() { timeout 60 "$WINE" reg query "$SERVICE_KEY" >/dev/null 2>&1; }
service_state() { timeout 60 "$WINE" sc query Orv_Tillerbrook 2>/dev/null | tr -d '\r'; }

# Installs silently (with any further arguments) and checks files,
# registration and the running service.
install_and_check() {
  local rc
  timeout 300 "$WINE" "$SETUP" /S "$@" >/dev/null 2>&1; rc=$?
  [ $rc -eq 0 ] || fail "silent install exited with $rc"
  local f
  for f in Tillerbrook.exe test.html Uninstall.exe; do
    [ -s "$INSTALL_DIR/$f" ] || fail "silent install did not put $f into Program Files\\Tillerbrook"
  done
  if [ -f "$(dirname "$SETUP")/pdfium.dll" ]; then
    [ -s "$INSTALL_DIR/pdfium.dll" ] || fail "the build has pdfium.dll but the setup program did not install it"
  fi
  local key
  key=$(service_key)
  printf '%s\n' "$key" | grep -qE "ImagePath +REG_SZ +\"C:\\\\Program Files\\\\Tillerbrook\\\\Tillerbrook.exe\"$" ||
    fail "service not registered with the installed program: ${key:-no key}"
  printf '%s\n' "$key" | grep -qE 'Start +REG_DWORD +0x2$' || fail "service is not set to start automatically"
  service_registered || fail "reg query does not find the service key"
  if wait_answer 90; then
    local version test_page
    version=$(curl -s -m 10 "http://127.0.0.1:$PORT/version" | tr -d '[:space:]')
    [ "$version" = '{"version":"v1.4.0"}' ] || fail "installed service /version answered: $version"
    # /test is read from the program folder, so this shows where the service runs.
    test_page=$(curl -s -m 10 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$PORT/test")
    [ "$test_page" = 200 ] || fail "installed service /test answered $test_page"
  else
    fail "the installed service did not answer on port $PORT"
  fi
  service_state | grep -qE 'STATE +: 4 +RUNNING' || fail "service not reported running: $(service_state)"
  log "installed: files in place, service registered and answering"
}

# Runs the uninstaller silently; it copies itself away and returns at once,
# so wait until its own file is gone.
uninstall_and_check() {  # <extra argument or empty> <what>
  local i
  timeout 120 "$WINE" "$WIN_INSTALL_DIR\\Uninstall.exe" /S $1 >/dev/null 2>&1
  for ((i = 0; i < 240; i++)); do
    [ -e "$INSTALL_DIR/Uninstall.exe" ] || break
    sleep 0.5
  done
  [ ! -e "$INSTALL_DIR/Uninstall.exe" ] || fail "$2: the uninstaller did not finish"
  local f
  for f in Tillerbrook.exe test.html pdfium.dll; do
    [ ! -e "$INSTALL_DIR/$f" ] || fail "$2: $f is still installed"
  done
  if service_registered; then fail "$2: the service is still registered: $(service_state | tr -s ' ' | tr '\n' ' ')"; fi
  wait_port_free 30 || fail "$2: the daemon still answers after the uninstall"
}

# ---------------------------------------------------------------------------
prepare_wine_prefix 600
require_port_free
trap cleanup EXIT
cleanup
# A persistent server keeps the service manager, and so the service, alive
# between the short-lived commands below.
timeout 30 "$WINESERVER" -p
log "setup program: $(basename "$SETUP") ($(stat -c %s "$SETUP") bytes)"

# --- install, install again over the running service, uninstall keeping the data ---
install_and_check "/ORIGIN=HTTPS://Shop.Example/,http://erp.local:8080"
origins=$(sqlite3 "$INSTALL_DIR/database.db" "SELECT key FROM config WHERE type = 'ALLOWED_ORIGIN' ORDER BY key;" 2>&1)
[ "$origins" = $'http://erp.local:8080\nhttps://shop.example' ] || fail "/ORIGIN= gave the rows: $origins"
[ ! -e "$INSTALL_DIR/allow-origins.txt" ] || fail "the service left allow-origins.txt behind"
# The access lists the setup program set, as far as Wine shows them. Wine
# stores no access lists (reading one gives a list made up from the Unix mode
# and owner, with the user in full control), so the lists themselves cannot
# be read back here; but Wine maps a list that is set onto the Unix mode, and
# the Administrators entry (the Wine user is one) gives the group write
# access, which the setup program's folders and files have only through it.
for secured in "" /logs /sumatrapdfcache /database.db; do
  mode=$(stat -c %a "$INSTALL_DIR$secured" 2>/dev/null)
  if [ -n "$mode" ] && [ $((8#$mode & 8#020)) -ne 0 ]; then
    log "access list set on Tillerbrook$secured (Unix mode $mode)"
  else
    fail "no access list set on Tillerbrook$secured (Unix mode ${mode:-missing})"
  fi
done
[ -s "$INSTALL_DIR/database.db" ] || fail "the started service made no database.db"
sqlite3 "$INSTALL_DIR/database.db" "INSERT INTO config (type, flag, key, value) VALUES ('printer', '', 'shop-9', 'kept');" ||
  fail "could not add a row to the installed database"
install_and_check
[ "$(sqlite3 "$INSTALL_DIR/database.db" "SELECT value FROM config WHERE key = 'shop-9';")" = kept ] ||
  fail "installing over the running service lost the database's rows"
log "installed again over the running service: database rows kept"
mkdir -p "$INSTALL_DIR/logs" && echo line >"$INSTALL_DIR/logs/Tillerbrook.log"
uninstall_and_check "" "silent uninstall"
[ -s "$INSTALL_DIR/database.db" ] || fail "the silent uninstall deleted the database"
[ -s "$INSTALL_DIR/logs/Tillerbrook.log" ] || fail "the silent uninstall deleted the logs"
log "uninstalled silently: service and program gone, database and logs kept"

# --- install over the kept data, uninstall with /PURGE ----------------------------
install_and_check
uninstall_and_check /PURGE "uninstall /PURGE"
[ ! -e "$INSTALL_DIR" ] || fail "uninstall /PURGE left $(ls -A "$INSTALL_DIR" | tr '\n' ' ')"
log "uninstalled with /PURGE: the program folder is gone"

if [ "$failures" -gt 0 ]; then
  echo "nsis check: $failures failure(s)"
  exit 1
fi
echo "nsis check: passed"
