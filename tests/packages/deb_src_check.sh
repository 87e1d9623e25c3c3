#!/usr/bin/env bash
# scripts/add-deb-src.sh on made-up apt folders: the deb-src entries must be
# copies of the configured deb sources (mirror and options kept), each once,
# none for disabled sources or ones that have deb-src already, and a stale file
# of ours must go when the machine's sources no longer call for it.
set -uo pipefail
SCRIPT=$(cd "$(dirname "$0")/../.." && pwd)/scripts/add-deb-src.sh
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_file() {  # <file> <expected text>
  local got
  got=$(grep -v '^#' "$1" 2>/dev/null)
  [ "$got" = "$2" ] || fail "$(basename "$1"):"$'\n'"$got"$'\n'"--- expected:"$'\n'"$2"
}

# --- one-line and deb822 sources side by side -----------------------------------
apt=$WORK/mixed
mkdir -p "$apt/sources.list.d"
cat >"$apt/sources.list" <<'SRC'
# a comment
deb http://mirror.example/debian bookworm main contrib
deb [signed-by=/usr/share/keyrings/x.gpg] http://proxy.local:3142/debian bookworm-updates main  # note
deb-src http://mirror.example/debian bookworm main contrib
deb http://mirror.example/debian   bookworm main contrib
deb http://other.example/debian bookworm main
SRC
cat >"$apt/sources.list.d/local.sources" <<'SRC'
Types: deb deb-src
URIs: http://a.example/debian
Suites: bookworm
Components: main

Types: deb
URIs: http://b.example/debian
Suites: bookworm
Components: main
Enabled: no

# the mirror this machine uses
types: deb
uris: http://c.example/debian
suites: bookworm bookworm-updates
components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
# What an earlier version wrote: a fixed archive address.
printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\n' >"$apt/sources.list.d/tillerbrook-deb-src.sources"
bash "$SCRIPT" "$apt" >/dev/null || fail "add-deb-src.sh failed on the mixed folder"
expect_file "$apt/sources.list.d/tillerbrook-deb-src.list" \
"deb-src [signed-by=/usr/share/keyrings/x.gpg] http://proxy.local:3142/debian bookworm-updates main
deb-src http://other.example/debian bookworm main"
expect_file "$apt/sources.list.d/tillerbrook-deb-src.sources" \
"Types: deb-src
uris: http://c.example/debian
suites: bookworm bookworm-updates
components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
before=$(cat "$apt"/sources.list.d/tillerbrook-deb-src.*)
out=$(bash "$SCRIPT" "$apt")
[ "$(cat "$apt"/sources.list.d/tillerbrook-deb-src.*)" = "$before" ] || fail "a second run changed the files"
grep -q unchanged <<<"$out" || fail "a second run reported: $out"

# --- only one-line sources: our stale deb822 file goes ------------------------------
apt=$WORK/oneline
mkdir -p "$apt/sources.list.d"
echo "deb http://mirror.example/debian bookworm main" >"$apt/sources.list.d/mirror.list"
printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\n' >"$apt/sources.list.d/tillerbrook-deb-src.sources"
bash "$SCRIPT" "$apt" >/dev/null || fail "add-deb-src.sh failed on one-line sources"
expect_file "$apt/sources.list.d/tillerbrook-deb-src.list" "deb-src http://mirror.example/debian bookworm main"
[ ! -e "$apt/sources.list.d/tillerbrook-deb-src.sources" ] || fail "the stale deb822 file was kept"

# --- nothing configured: a clear failure, nothing written ------------------------------
apt=$WORK/empty
mkdir -p "$apt/sources.list.d"
if bash "$SCRIPT" "$apt" 2>/dev/null; then fail "no sources at all was not reported"; fi
[ -z "$(ls -A "$apt/sources.list.d")" ] || fail "files were written without any source"

if [ $failures -gt 0 ]; then echo "deb-src check: $failures failure(s)"; exit 1; fi
echo "deb-src check: passed"
