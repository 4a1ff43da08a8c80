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
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing is downloaded.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$cache"

(
  flock 9
  if [[ ! -f "$WINEPREFIX/.orvane-ready" ]]; then
    rm -rf "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.orvane-ready"
  fi
) 9>"$cache/wineprefix.lock"

if ((use_xvfb)); then
  exec xvfb-run -a -s "-screen 0 1920x1080x24" wine "$@"
fi
unset DISPLAY
exec wine "$@"
