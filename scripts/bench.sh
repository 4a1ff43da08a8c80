#!/usr/bin/env bash
# Sets everything up, builds the Linux flavour in Release with the benchmarks and runs every
# benchmark program. Programs that need an X server start their own Xvfb.
# Extra arguments go to each program (for example --benchmark_repetitions=5).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ORVANE_ROOT"
"$ORVANE_ROOT/scripts/setup.sh"

bench_dir="$ORVANE_ROOT/build/bench"
echo "== linux build (Release, benchmarks) =="
orvane_build "$bench_dir" -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_BENCH=ON -DORVANE_BUILD_TESTS=OFF

status=0
found=0
while IFS= read -r program; do
  found=1
  echo "== $(basename "$program") =="
  # Benchmarks never read the developer's X display.
  env -u DISPLAY "$program" "$@" || status=1
done < <(find "$bench_dir/bench" -maxdepth 1 -type f -executable | sort)
if [[ $found -eq 0 ]]; then
  echo "no benchmark programs found in $bench_dir/bench"
  exit 1
fi
echo "== benchmarks: $([[ $status -eq 0 ]] && echo done || echo FAILED) =="
exit $status
