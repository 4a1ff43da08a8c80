#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest (the cross-compiling emulator).
# The prefix is created once, under a lock so that parallel tests are safe, and
# set to report Windows 10. With --xvfb the program gets a virtual X display.
set -euo pipefail

use_xvfb=0
if [[ "${1:-}" == "--xvfb" ]]; then
  use_xvfb=1
  shift
fi

cache="${ORVANE_CACHE:-$HOME/.cache/orvane}"
export WINEPREFIX="${ORVANE_WINEPREFIX:-$cache/wineprefix}"
if ((use_xvfb)); then
  # Programs with windows get a prefix of their own: a prefix's wineserver
  # keeps the desktop of the first program that started it, and a program
  # without a display (they run in parallel) would leave it without one.
  export WINEPREFIX="$WINEPREFIX-display"
fi
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing is downloaded.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$cache"

(
  flock 9
  if [[ ! -f "$WINEPREFIX/.orvane-ready" ]]; then
    rm -rf "$WINEPREFIX"
    DISPLAY= wineboot --init >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.orvane-ready"
  fi
) 9>"$WINEPREFIX.lock"

if ((use_xvfb)); then
  # The server ends with its display, so the next program starts a desktop
  # on its own one (display programs never run at the same time).
  status=0
  xvfb-run -a -s "-screen 0 1920x1080x24" wine "$@" || status=$?
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  exit $status
fi
unset DISPLAY
exec wine "$@"
