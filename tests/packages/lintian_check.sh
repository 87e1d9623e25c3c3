#!/usr/bin/env bash
# Lintian on the Debian package: errors and warnings fail. What is accepted on
# purpose is listed, with its reason, in the package's own overrides.
# Usage: lintian_check.sh <package.deb or the folder cpack wrote it to>
# Exit codes: 0 passed, 1 failed, 77 skipped (no package or no lintian).
set -uo pipefail
DEB=${1:?usage: lintian_check.sh <package.deb or folder>}
if [ -d "$DEB" ]; then DEB=$(ls -t "$DEB"/tillerbrook_*.deb 2>/dev/null | head -n1); fi
if [ ! -f "$DEB" ]; then echo "SKIP: no package at ${DEB:-$1} (cpack -G DEB in the build folder)"; exit 77; fi
if ! command -v lintian >/dev/null; then echo "SKIP: lintian is not installed"; exit 77; fi
# Informational tags are printed for the record; they do not fail the check.
lintian --info --fail-on error,warning "$DEB" 2>&1 | grep -v 'running with root privileges'
rc=${PIPESTATUS[0]}
if [ "$rc" -ne 0 ]; then echo "lintian check: failed ($DEB)"; exit 1; fi
echo "lintian check: passed ($(basename "$DEB"))"
