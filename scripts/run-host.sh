#!/usr/bin/env bash
# Sets everything up on a Debian 12 machine, builds the Linux host and the
# tablet simulator, and runs the host in console mode with a simulated tablet
# connecting to it on loopback. The host keeps running (and listening for real
# tablets) after the simulated tablet is done; Ctrl+C ends it.
# Extra arguments go to the host; --no-sim leaves the simulated tablet out.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ORVANE_ROOT"

with_sim=1
host_args=()
control_port=9430
previous=""
for arg in "$@"; do
  if [[ "$arg" == "--no-sim" ]]; then with_sim=0; continue; fi
  if [[ "$previous" == "--control-port" ]]; then control_port="$arg"; fi
  host_args+=("$arg")
  previous="$arg"
done

"$ORVANE_ROOT/scripts/setup.sh"
build="$ORVANE_ROOT/build/linux-release"
orvane_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=OFF
host="$build/host/OrvaneHost"
sim="$build/tools/tablet_sim/orvane-tablet-sim"

if [[ $with_sim -eq 0 ]]; then
  exec "$host" --console "${host_args[@]}"
fi

console_log="$(mktemp)"
trap 'rm -f "$console_log"' EXIT
"$host" --console "${host_args[@]}" > >(tee "$console_log") 2>&1 &
host_pid=$!
trap 'kill -TERM $host_pid 2>/dev/null || true' INT TERM

# The simulated tablet connects once the host listens (it learns the bound
# port from the host's own line, so a fallback port works too).
for _ in $(seq 1 300); do
  if grep -q "Ready. Waiting for mobile client" "$console_log" 2>/dev/null; then break; fi
  if ! kill -0 "$host_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
listening="$(grep -o 'Listening: control TCP [0-9]*' "$console_log" | tail -n 1 | grep -o '[0-9]*$' || true)"
if kill -0 "$host_pid" 2>/dev/null && [[ -n "$listening" ]]; then
  control_port="$listening"
  "$sim" --host 127.0.0.1 --port "$control_port" --name "Simulated tablet" --id "sim-tablet-1" --hold 5 || true
  echo "[run-host] The simulated tablet is done; the host keeps listening on TCP $control_port (Ctrl+C ends it)."
fi
wait "$host_pid"
