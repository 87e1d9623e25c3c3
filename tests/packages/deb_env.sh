# shellcheck shell=bash
# Sourced by the checks that install the Debian package on this machine.

# Sets DEB to the package named or to the newest one in the folder named;
# skips (exit 77) when there is none or when this is not root.
find_deb() {  # <package.deb or folder>
  DEB=$1
  if [ -d "$DEB" ]; then DEB=$(ls -t "$DEB"/tillerbrook_*.deb 2>/dev/null | head -n1); fi
  if [ ! -f "$DEB" ]; then echo "SKIP: no package at ${DEB:-$1} (cpack -G DEB in the build folder)"; exit 77; fi
  if [ "$(id -u)" != 0 ]; then echo "SKIP: installing a package needs root"; exit 77; fi
}

# dpkg takes no turn when apt runs elsewhere on the machine: wait for the lock.
dpkg_run() {
  local out rc i
  for ((i = 0; i < 120; i++)); do
    out=$(dpkg "$@" 2>&1); rc=$?
    if [ $rc -ne 0 ] && grep -q "lock" <<<"$out"; then sleep 5; continue; fi
    printf '%s\n' "$out"
    return $rc
  done
  printf '%s\n' "$out"
  return $rc
}

# Installed, or removed with its configuration kept.
package_present() { dpkg-query -W -f='${Status}' tillerbrook 2>/dev/null | grep -qv "not-installed"; }

# For the exit handler: nothing of the package stays on the machine.
purge_quietly() { if package_present; then dpkg_run -P tillerbrook >/dev/null 2>&1; fi; }

# A check starts from a machine without the package.
purge_earlier_package() {
  if package_present; then
    log "purging a tillerbrook package left by an earlier run"
    dpkg_run -P tillerbrook >/dev/null || { echo "FAIL: could not purge the earlier package"; exit 1; }
  fi
}
