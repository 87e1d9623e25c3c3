#!/usr/bin/env bash
# Cross-builds the libraries the Windows pdfium.dll links statically:
#   qpdf and libjpeg-turbo from Debian's source packages, zlib from
#   libz-mingw-w64-dev (used from the MinGW sysroot as it is).
# The result is kept in a cache folder outside the clone, one folder per set of
# versions (qpdf, libjpeg-turbo, zlib, toolchain, and this recipe), so later
# builds on the same machine reuse it until one of them changes.
#   TB_WIN_DEPS_CACHE  cache root (default /var/cache/tillerbrook/win-deps,
#                      or ~/.cache/tillerbrook/win-deps when that is not writable)
#   TB_JOBS            parallel compile jobs (default 2)
#   TB_KEEP_WORK=1     keeps the work folder (sources, build logs) until the
#                      next build; for looking into a failed build
# Prints the install prefix (include/, lib/) as the last line of its output.
# Usage: scripts/build-win-pdfium-deps.sh
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake
JOBS=${TB_JOBS:-2}
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

say() { echo "win-pdfium-deps: $*" >&2; }
die() { say "$*"; exit 1; }

CACHE=${TB_WIN_DEPS_CACHE:-}
if [ -z "$CACHE" ]; then
  CACHE=/var/cache/tillerbrook/win-deps
  if ! mkdir -p "$CACHE" 2>/dev/null || [ ! -w "$CACHE" ]; then
    CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tillerbrook/win-deps
  fi
fi
mkdir -p "$CACHE"

installed_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true; }

# The version `apt-get source NAME` would fetch: the newest one indexed.
newest_source_version() {
  local best="" v
  while read -r v; do
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done < <(apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p')
  echo "$best"
}

if [ -z "$(installed_version libz-mingw-w64-dev)" ] || [ ! -f /usr/x86_64-w64-mingw32/lib/libz.a ]; then
  $SUDO apt-get install -y -qq --no-install-recommends libz-mingw-w64-dev >&2
fi
zlib_version=$(installed_version libz-mingw-w64-dev)
toolchain_version="gcc$(installed_version g++-mingw-w64-x86-64-posix)-crt$(installed_version mingw-w64-x86-64-dev)"
# Raise RECIPE when the build steps below change; a changed toolchain file
# makes a new build by itself.
RECIPE=1
recipe=$RECIPE-$(sha256sum <"$TOOLCHAIN" | cut -c1-8)

cache_key() {  # <qpdf-version> <jpeg-version>
  local key="qpdf$1_jpeg$2_zlib${zlib_version}_${toolchain_version}_r${recipe}"
  echo "${key//:/.}"
}

qpdf_version=$(newest_source_version qpdf)
jpeg_version=$(newest_source_version libjpeg-turbo)
if [ -n "$qpdf_version" ] && [ -n "$jpeg_version" ]; then
  PREFIX=$CACHE/$(cache_key "$qpdf_version" "$jpeg_version")
  if [ -f "$PREFIX/.complete" ]; then
    say "cached ($PREFIX)"
    echo "$PREFIX"
    exit 0
  fi
fi

# One build at a time per cache: a second caller waits and then reuses it.
exec 8>"$CACHE/.lock"
flock -w 3600 8 || die "the cache $CACHE stays locked"
# With the lock held no build is running: work folders left here belong to
# builds that were killed.
rm -rf "$CACHE"/.build.*

WORK=$(mktemp -d "$CACHE/.build.XXXXXX")
trap '[ -n "${TB_KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT
started=$SECONDS

fetch() {  # <source-package> -> unpacked folder
  local dir
  dir=$("$ROOT/scripts/fetch-win-sources.sh" --source "$1" "$WORK/src-$1")
  [ -n "$dir" ] && [ -d "$dir" ] || die "cannot fetch the source package $1"
  echo "$dir"
}
dsc_version() {  # <source-package> <fetch folder>
  local dsc
  dsc=$(find "$2" -maxdepth 2 -name "$1_*.dsc" | head -n1)
  [ -n "$dsc" ] || die "no $1 .dsc in $2"
  sed -n 's/^Version: //p' "$dsc" | head -n1
}

qpdf_src=$(fetch qpdf)
jpeg_src=$(fetch libjpeg-turbo)
# The versions actually fetched name the folder (the index may have been empty
# or stale before the fetch refreshed it).
qpdf_version=$(dsc_version qpdf "$WORK/src-qpdf")
jpeg_version=$(dsc_version libjpeg-turbo "$WORK/src-libjpeg-turbo")
PREFIX=$CACHE/$(cache_key "$qpdf_version" "$jpeg_version")
if [ -f "$PREFIX/.complete" ]; then
  say "cached ($PREFIX)"
  echo "$PREFIX"
  exit 0
fi
STAGE=$WORK/prefix
mkdir -p "$STAGE"

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
common=(-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX="$STAGE")

say "building libjpeg-turbo $jpeg_version"
# No SIMD: the assembler parts would need nasm and bring nothing for page boxes.
cmake -S "$jpeg_src" -B "$WORK/jpeg" "${generator[@]}" "${common[@]}" \
  -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
  -DCMAKE_INSTALL_LIBDIR="$STAGE/lib" \
  >"$WORK/jpeg-configure.log" 2>&1 || { tail -n 30 "$WORK/jpeg-configure.log" >&2; die "libjpeg-turbo configure failed"; }
# All of it: installing needs the static programs too.
cmake --build "$WORK/jpeg" -j "$JOBS" >"$WORK/jpeg-build.log" 2>&1 ||
  { tail -n 30 "$WORK/jpeg-build.log" >&2; die "libjpeg-turbo build failed"; }
cmake --install "$WORK/jpeg" >/dev/null
[ -f "$STAGE/lib/libjpeg.a" ] && [ -f "$STAGE/lib/pkgconfig/libjpeg.pc" ] ||
  die "libjpeg-turbo did not install libjpeg.a and libjpeg.pc"

say "building qpdf $qpdf_version"
# The MinGW library is libadvapi32.a: with the capitalised name every later
# configure check fails to link (seeks fall back to 32 bits) while configure
# still succeeds. A source that already has the lower-case name is left alone.
if grep -q 'CMAKE_REQUIRED_LIBRARIES Advapi32' "$qpdf_src/CMakeLists.txt"; then
  sed -i 's/CMAKE_REQUIRED_LIBRARIES Advapi32/CMAKE_REQUIRED_LIBRARIES advapi32/' "$qpdf_src/CMakeLists.txt"
fi
PKG_CONFIG_PATH=$STAGE/lib/pkgconfig \
cmake -S "$qpdf_src" -B "$WORK/qpdf" "${generator[@]}" "${common[@]}" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
  -DUSE_IMPLICIT_CRYPTO=OFF -DREQUIRE_CRYPTO_NATIVE=ON \
  -DBUILD_DOC=OFF -DINSTALL_EXAMPLES=OFF -DCMAKE_INSTALL_LIBDIR=lib \
  >"$WORK/qpdf-configure.log" 2>&1 || { tail -n 30 "$WORK/qpdf-configure.log" >&2; die "qpdf configure failed"; }
# Signs of a configure whose checks silently failed to link.
grep -q 'Native crypto enabled: ON' "$WORK/qpdf-configure.log" ||
  { tail -n 30 "$WORK/qpdf-configure.log" >&2; die "qpdf configure: native crypto is not enabled"; }
grep -q '^HAVE_FSEEKO:INTERNAL=1$' "$WORK/qpdf/CMakeCache.txt" ||
  die "qpdf configure: fseeko not found, large files would be limited to 2 GB"
grep -q '^ATOMIC_WORKED0:INTERNAL=1$' "$WORK/qpdf/CMakeCache.txt" ||
  die "qpdf configure: its checks failed to link (it asks for -latomic)"
cmake --build "$WORK/qpdf" --target libqpdf -j "$JOBS" >"$WORK/qpdf-build.log" 2>&1 ||
  { tail -n 30 "$WORK/qpdf-build.log" >&2; die "qpdf build failed"; }
cmake --install "$WORK/qpdf" --component dev >/dev/null
[ -f "$STAGE/lib/libqpdf.a" ] && [ -f "$STAGE/include/qpdf/QPDF.hh" ] ||
  die "qpdf did not install libqpdf.a and its headers"

# Only what the DLL links against is kept.
rm -rf "$STAGE/bin" "$STAGE/share" "$STAGE/lib/cmake"
{
  echo "qpdf=$qpdf_version"
  echo "libjpeg-turbo=$jpeg_version"
  echo "libz-mingw-w64-dev=$zlib_version"
  echo "toolchain=$toolchain_version"
  echo "recipe=$recipe"
} >"$STAGE/versions.txt"
touch "$STAGE/.complete"
rm -rf "$PREFIX"
mv "$STAGE" "$PREFIX"
say "built in $((SECONDS - started)) s ($PREFIX)"
echo "$PREFIX"
