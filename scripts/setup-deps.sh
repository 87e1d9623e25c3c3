#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages.
# Idempotent: safe to run again; does nothing that is already done.
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# Sources for the Windows build (full cpp-httplib header, SQLite amalgamation)
# come from Debian's source packages, so deb-src must be enabled: for the same
# archives apt already uses here (a mirror or proxy included), in our own list
# files, never touching the distribution's.
bash "$(dirname "$0")/add-deb-src.sh"

$SUDO apt-get update -qq

PACKAGES=(
  build-essential cmake pkg-config ninja-build git curl ca-certificates python3
  libcpp-httplib-dev nlohmann-json3-dev libsqlite3-dev libcups2-dev libssl-dev
  libqpdf-dev qpdf libsystemd-dev libgtest-dev libgmock-dev googletest
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine64 wine
  dpkg-dev tcl
  cups cups-client cups-bsd cups-filters printer-driver-cups-pdf poppler-utils
  procps systemd
  wrk sqlite3 clang libclang-rt-14-dev slowhttptest
  nsis lintian chromium
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "dependencies ready"
