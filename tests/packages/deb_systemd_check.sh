#!/usr/bin/env bash
# The Debian package's maintainer scripts on a machine where systemd runs,
# without one: in a private mount namespace /run/systemd/system exists, the
# unit folder is a temporary one, and systemctl and deb-systemd-invoke are
# stand-ins that record their calls. The program's own /install and
# /uninstall write and remove the real unit text there.
#   install: unit written and enabled, service started;
#   upgrade: service stopped, unit written again, started again;
#   remove:  service stopped and unregistered (unit gone);  purge: nothing left.
# Usage: deb_systemd_check.sh <package.deb or the folder cpack wrote it to>
# Exit codes: 0 passed, 1 failed, 77 skipped.
set -uo pipefail

# shellcheck source=deb_env.sh
. "$(dirname "$0")/deb_env.sh"
find_deb "${1:?usage: deb_systemd_check.sh <package.deb or folder>}"
if [ "${TB_IN_MOUNT_NS:-}" != 1 ]; then
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "SKIP: no private mount namespace here"; exit 77
  fi
  exec env TB_IN_MOUNT_NS=1 unshare -m --propagation private bash "$0" "$DEB"
fi

UNIT_DIR=/etc/systemd/system
UNIT=$UNIT_DIR/Orv_Tillerbrook.service
WORK=$(mktemp -d)
failures=0
log() { echo "[deb-systemd-check] $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# What this namespace sees: systemd "running", an empty unit folder.
mount -t tmpfs tmpfs /run || { echo "FAIL: cannot mount /run"; exit 1; }
mkdir -p /run/systemd/system "$WORK/units" "$WORK/bin" "$UNIT_DIR"
mount --bind "$WORK/units" "$UNIT_DIR" || { echo "FAIL: cannot mount $UNIT_DIR"; exit 1; }

CALLS=$WORK/calls
for tool in systemctl deb-systemd-invoke; do
  cat >"$WORK/bin/$tool" <<EOF
#!/bin/sh
echo "$tool \$*" >>"$CALLS"
# Nothing runs: a stopped unit reports inactive.
[ "\$1" = is-active ] && exit 3
exit 0
EOF
  chmod +x "$WORK/bin/$tool"
done
export PATH="$WORK/bin:$PATH"

cleanup() {
  purge_quietly
  umount "$UNIT_DIR" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# Calls recorded since the last look, one per line.
take_calls() { cat "$CALLS" 2>/dev/null; : >"$CALLS"; }
expect_calls() {  # <what> <calls> <expected line>...
  local what=$1 calls=$2 line; shift 2
  for line in "$@"; do
    grep -qxF "$line" <<<"$calls" || fail "$what: no '$line' among: $(tr '\n' ';' <<<"$calls")"
  done
}

purge_earlier_package

out=$(dpkg_run -i "$DEB") || fail "dpkg -i failed: $out"
calls=$(take_calls)
expect_calls "install" "$calls" "systemctl daemon-reload" "systemctl enable Orv_Tillerbrook.service" \
  "deb-systemd-invoke start Orv_Tillerbrook.service"
grep -qxF 'ExecStart="/opt/tillerbrook/tillerbrook"' "$UNIT" 2>/dev/null ||
  fail "install: the unit does not start the installed program: $(cat "$UNIT" 2>/dev/null)"
log "install: unit written and enabled, service started"

echo "stale" >>"$UNIT"
out=$(dpkg_run -i "$DEB") || fail "upgrade failed: $out"
calls=$(take_calls)
expect_calls "upgrade" "$calls" "deb-systemd-invoke stop Orv_Tillerbrook.service" \
  "systemctl enable Orv_Tillerbrook.service" "deb-systemd-invoke start Orv_Tillerbrook.service"
[ "$(grep -n '' <<<"$calls" | grep -m1 'stop Orv' | cut -d: -f1)" -lt \
  "$(grep -n '' <<<"$calls" | grep 'start Orv' | tail -n1 | cut -d: -f1)" ] 2>/dev/null ||
  fail "upgrade: the service was not stopped before it was started again: $(tr '\n' ';' <<<"$calls")"
grep -q stale "$UNIT" 2>/dev/null && fail "upgrade: the old unit text was kept"
[ -f "$UNIT" ] || fail "upgrade: no unit afterwards"
log "upgrade: stopped, unit written again, started"

out=$(dpkg_run -r tillerbrook) || fail "dpkg -r failed: $out"
calls=$(take_calls)
expect_calls "remove" "$calls" "systemctl stop Orv_Tillerbrook.service" "systemctl disable Orv_Tillerbrook.service"
[ ! -e "$UNIT" ] || fail "remove: the unit is still there"
log "remove: stopped, disabled, unit removed"

out=$(dpkg_run -P tillerbrook) || fail "dpkg -P failed: $out"
[ ! -e /opt/tillerbrook ] || fail "purge left /opt/tillerbrook"

if [ "$failures" -gt 0 ]; then echo "deb systemd check: $failures failure(s)"; exit 1; fi
echo "deb systemd check: passed"
