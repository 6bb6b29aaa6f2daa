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
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Creates the prefix once; wineboot's own chatter is not the test's.
  WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot --init >/dev/null 2>&1 || true
  # The system the product targets, and the one the POSIX layer reports.
  "$wine" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >/dev/null 2>&1 || true
  "$wine" wineserver -w 2>/dev/null || true
fi
exec "$wine" "$@"
