#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix: wine-run.sh <prefix> <program> [args].
# The prefix is created on first use (once, even when several programs start together).
set -euo pipefail
export WINEPREFIX="$1"; shift
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || wine=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1 || true
    wineserver -w 2>/dev/null || /usr/lib/wine/wineserver -w 2>/dev/null || true
  ) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$@"
