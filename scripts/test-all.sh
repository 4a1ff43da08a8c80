#!/usr/bin/env bash
# Sets everything up on a Debian 12 machine, builds both flavours and runs
# every test: the Linux build (under AddressSanitizer and UndefinedBehaviorSanitizer,
# including the end-to-end tests) and the Windows build under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ORVANE_ROOT"

start=$(date +%s)
"$ORVANE_ROOT/scripts/setup.sh"

echo "== linux build (ASan+UBSan) =="
linux_dir="$ORVANE_ROOT/build/linux-test"
orvane_build "$linux_dir" -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON -DCMAKE_CXX_FLAGS_DEBUG="-g -O1"

echo "== windows build (MinGW-w64) =="
win_dir="$ORVANE_ROOT/build/windows"
orvane_build "$win_dir" -DCMAKE_TOOLCHAIN_FILE="$ORVANE_ROOT/cmake/toolchain-mingw64.cmake" -DCMAKE_BUILD_TYPE=Release

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
echo "== linux tests =="
(cd "$linux_dir" && ctest --output-on-failure -j"$ORVANE_JOBS") || status=1
echo "== windows tests (Wine) =="
(cd "$win_dir" && ctest --output-on-failure -j"$ORVANE_JOBS") || status=1
WINEPREFIX="$ORVANE_CACHE/wineprefix" wineserver -k 2>/dev/null || true
WINEPREFIX="$ORVANE_CACHE/wineprefix-display" wineserver -k 2>/dev/null || true

echo "== done in $(( $(date +%s) - start )) s: $([[ $status -eq 0 ]] && echo passed || echo FAILED) =="
exit $status
