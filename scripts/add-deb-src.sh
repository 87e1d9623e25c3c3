#!/usr/bin/env bash
# Enables source packages (deb-src) for exactly the archives this machine's apt
# already uses: every configured binary source is copied with its type switched
# to deb-src, so a mirror, a proxy or a local archive keeps being used. No
# archive address is written by this script.
#   one-line sources (sources.list, *.list)  -> sources.list.d/tillerbrook-deb-src.list
#   deb822 sources (*.sources)                -> sources.list.d/tillerbrook-deb-src.sources
# Runs apt-get update when it changed something. Idempotent; needs root (or sudo).
# Usage: scripts/add-deb-src.sh [apt-folder]   (default /etc/apt; another folder
#        only writes the files, for a look at what would be added)
set -euo pipefail

APT=${1:-/etc/apt}
SUDO=""
if [ "$(id -u)" != 0 ] && [ "$APT" = /etc/apt ]; then SUDO="sudo"; fi
OUT_LIST=$APT/sources.list.d/tillerbrook-deb-src.list
OUT_822=$APT/sources.list.d/tillerbrook-deb-src.sources

inputs_list=()
[ -f "$APT/sources.list" ] && inputs_list+=("$APT/sources.list")
inputs_822=()
for f in "$APT"/sources.list.d/*.list; do
  [ -f "$f" ] && [ "$f" != "$OUT_LIST" ] && inputs_list+=("$f")
done
for f in "$APT"/sources.list.d/*.sources; do
  [ -f "$f" ] && [ "$f" != "$OUT_822" ] && inputs_822+=("$f")
done

# One-line entries: "deb [options] uri suite components" becomes "deb-src ...";
# an entry whose deb-src line is configured already is left out.
one_line=""
if [ ${#inputs_list[@]} -gt 0 ]; then
  one_line=$(awk '
    { sub(/#.*/, ""); $1 = $1 }
    $1 == "deb-src" { have[$0] = 1; next }
    $1 == "deb"     { $1 = "deb-src"; if (!($0 in seen)) { seen[$0] = 1; order[++n] = $0 } }
    END { for (i = 1; i <= n; i++) if (!(order[i] in have)) print order[i] }
  ' "${inputs_list[@]}")
fi

# deb822 stanzas: those of type deb only (not disabled) are copied with
# "Types: deb-src"; a stanza that lists deb-src already is served as it is.
deb822=""
if [ ${#inputs_822[@]} -gt 0 ]; then
  deb822=$(awk '
    BEGIN { RS = ""; FS = "\n" }
    {
      types = ""; enabled = "yes"; body = ""
      for (i = 1; i <= NF; i++) {
        line = $i
        if (line ~ /^[[:space:]]*#/) continue
        if (tolower(line) ~ /^types:/) { types = substr(line, 7); continue }
        if (tolower(line) ~ /^enabled:/) { enabled = tolower(substr(line, 9)); gsub(/[[:space:]]/, "", enabled); continue }
        body = body line "\n"
      }
      padded = " " types " "
      gsub(/[[:space:]]+/, " ", padded)
      if (enabled == "no" || padded !~ / deb / || padded ~ / deb-src /) next
      if (count++) printf "\n"
      printf "Types: deb-src\n%s", body
    }
  ' "${inputs_822[@]}")
fi

if [ -z "$one_line$deb822" ] && ! grep -qsE '^[[:space:]]*deb-src[[:space:]]|^Types:.*deb-src' \
    "${inputs_list[@]}" "${inputs_822[@]}" 2>/dev/null; then
  echo "add-deb-src: no apt sources of type deb are configured in $APT" >&2
  exit 1
fi

changed=0
# Writes a file only when its text differs; removes it when there is nothing to say.
put() {  # <path> <text>
  if [ -z "$2" ]; then
    if [ -e "$1" ]; then $SUDO rm -f "$1"; changed=1; fi
    return
  fi
  if [ ! -f "$1" ] || [ "$(cat "$1")" != "$2" ]; then
    printf '%s\n' "$2" | $SUDO tee "$1" >/dev/null
    changed=1
  fi
}
put "$OUT_LIST" "${one_line:+# Source packages of the archives configured above (added by add-deb-src.sh).
$one_line}"
put "$OUT_822" "${deb822:+# Source packages of the archives configured above (added by add-deb-src.sh).
$deb822}"

if [ "$APT" = /etc/apt ] && [ $changed = 1 ]; then
  $SUDO apt-get update -qq
fi
echo "add-deb-src: $( [ $changed = 1 ] && echo updated || echo unchanged ) ($(
  printf '%s' "$one_line" | grep -c . ) one-line, $(printf '%s' "$deb822" | grep -c '^Types:') deb822 entries)"
