# Sourced by the Wine checks: finds the 64-bit Wine loader and its server.
# Sets WINE and WINESERVER, or leaves them empty when Wine is not installed.
WINE=""
for candidate in /usr/lib/wine/wine64 wine64 wine; do
  if command -v "$candidate" >/dev/null 2>&1; then WINE=$(command -v "$candidate"); break; fi
done
WINESERVER=""
for candidate in /usr/lib/wine/wineserver wineserver; do
  if command -v "$candidate" >/dev/null 2>&1; then WINESERVER=$(command -v "$candidate"); break; fi
done
