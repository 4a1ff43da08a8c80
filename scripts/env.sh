# Sourced by the project's scripts: shared locations outside the tree.
ORVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export ORVANE_CACHE="${ORVANE_CACHE:-$HOME/.cache/orvane}"
export CCACHE_DIR="${CCACHE_DIR:-$ORVANE_CACHE/ccache}"
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
ORVANE_JOBS="${ORVANE_JOBS:-$(nproc)}"

# orvane_build <dir> <cmake args...>: configures once, then builds.
orvane_build() {
  local dir="$1"; shift
  if [[ ! -f "$dir/build.ninja" ]]; then
    cmake -S "$ORVANE_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  fi
  if ! ninja -C "$dir" -j"$ORVANE_JOBS" >"$dir/last-build.log" 2>&1; then
    grep -vE '^\[[0-9]+/[0-9]+\] ' "$dir/last-build.log" | tail -n 200
    echo "build failed in $dir (full log: $dir/last-build.log)"
    return 1
  fi
  echo "built $dir"
}
