#!/usr/bin/env bash
# Runs a Windows program under wine64 in a prefix of its own beside the build
# (WINEPREFIX overrides it), quietly and without a display.
#   scripts/wine-run.sh <program.exe> [arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No window is needed; a DISPLAY would only make Wine try to reach it.
unset DISPLAY WAYLAND_DISPLAY
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# The first run makes the prefix; runs started in parallel wait for it.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot --init >/dev/null 2>&1 || true
  # The system the product targets, and the one the POSIX layer reports.
  "$wine" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >/dev/null 2>&1 || true
  # The registry reaches the disk when the server ends.
  "$wineserver" -w || true
fi
flock -u 9
exec 9>&-
exec "$wine" "$@"
