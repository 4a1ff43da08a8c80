#!/usr/bin/env bash
# Runs every fuzz target (fuzz/) with libFuzzer for a set time: not part of the
# tests, which only replay the committed corpus.
#
#   scripts/fuzz.sh [seconds per target] [target...]
#
# Builds the targets with clang (ASan+UBSan, coverage) in build/fuzz-clang, then
# runs each on a copy of its committed corpus and regressions in
# build/fuzz-work/<target>/corpus (the committed corpus never grows by
# itself), and prints per target: executions per second, coverage (cov: edges,
# ft: features) from the final stats, and the crashes found, whose inputs are
# kept in build/fuzz-work/<target>/artifacts. A run stops at its first crash.
#
# Environment: ORVANE_FUZZ_BUILD (build folder), ORVANE_FUZZ_WORK (work
# folder), ORVANE_FUZZ_JOBS (targets run at once, default 1),
# ORVANE_FUZZ_ARGS (extra libFuzzer options).
# Exit code: 0 when no target crashed, 1 otherwise, 2 for a bad command line.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ORVANE_ROOT"

seconds="${1:-600}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || (( seconds == 0 )); then
  echo "usage: $0 [seconds per target] [target...]" >&2
  exit 2
fi
shift || true

build="${ORVANE_FUZZ_BUILD:-$ORVANE_ROOT/build/fuzz-clang}"
work="${ORVANE_FUZZ_WORK:-$ORVANE_ROOT/build/fuzz-work}"
jobs="${ORVANE_FUZZ_JOBS:-1}"

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$ORVANE_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORVANE_SANITIZE=ON -DORVANE_FUZZ=ON >/dev/null
else
  # The target list is written at configure time: targets added since the
  # last configure must be in it.
  cmake "$build" >/dev/null
fi
list="$build/fuzz/fuzz_targets.txt"
[[ -f "$list" ]] || { echo "no target list in $build (is it a -DORVANE_FUZZ=ON build?)" >&2; exit 2; }

declare -A max_len=()
all=()
while read -r name len; do
  [[ -n "$name" ]] || continue
  max_len[$name]="$len"
  all+=("$name")
done <"$list"
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")
for t in "${targets[@]}"; do
  [[ -n "${max_len[$t]:-}" ]] || { echo "unknown target: $t (known: ${all[*]})" >&2; exit 2; }
done

echo "== building ${#targets[@]} fuzz targets in $build =="
if ! ninja -C "$build" -j"$ORVANE_JOBS" "${targets[@]/#/fuzz_}" >"$build/last-fuzz-build.log" 2>&1; then
  grep -vE '^\[[0-9]+/[0-9]+\] ' "$build/last-fuzz-build.log" | tail -n 100
  echo "build failed (full log: $build/last-fuzz-build.log)"
  exit 1
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

run_one() {
  local t="$1" dir="$work/$1"
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp -r "fuzz/corpus/$t/." "$dir/corpus/" 2>/dev/null || true
  if [[ -d "fuzz/regressions/$t" ]]; then cp -r "fuzz/regressions/$t/." "$dir/corpus/"; fi
  # shellcheck disable=SC2086
  "$build/fuzz/fuzz_$t" -max_len="${max_len[$t]}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/" ${ORVANE_FUZZ_ARGS:-} "$dir/corpus" \
    >"$dir/fuzz.log" 2>&1 || true
}

summary() {
  local t="$1" dir="$work/$1" last runs rate cov ft crashes
  last="$(grep -E '^#[0-9]+' "$dir/fuzz.log" | grep -E 'cov: ' | tail -n 1 || true)"
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log" | tail -n 1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/fuzz.log" | tail -n 1)"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")"
  ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")"
  crashes="$(find "$dir/artifacts" -type f | wc -l)"
  printf '%-22s exec/s %-7s runs %-10s cov %-6s ft %-7s crashes %s\n' "$t" "${rate:-?}" "${runs:-?}" "${cov:-?}" \
    "${ft:-?}" "$crashes"
  if ((crashes > 0)); then
    find "$dir/artifacts" -type f -printf '    %p\n'
    grep -m1 -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|FUZZ_CHECK failed' "$dir/fuzz.log" \
      | sed 's/^/    /' || true
  fi
}

echo "== fuzzing ${targets[*]} for ${seconds} s each ($jobs at a time; work in $work) =="
running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

status=0
echo "== results =="
for t in "${targets[@]}"; do
  summary "$t"
  [[ -z "$(find "$work/$t/artifacts" -type f)" ]] || status=1
done
echo "logs: $work/<target>/fuzz.log; new inputs: $work/<target>/corpus (not added to fuzz/corpus)"
exit $status
