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

# The simulated tablet remembers its credential and the host identity here,
# so later runs reconnect as a trusted device.
sim_state="${ORVANE_CACHE:-$HOME/.cache/orvane}/tablet-sim.state"
mkdir -p "$(dirname "$sim_state")"
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
  sim_args=(--host 127.0.0.1 --port "$control_port" --name "Simulated tablet" --id "sim-tablet-1"
            --state-file "$sim_state")
  # A tablet that has not paired yet is asked to; the host prints the code on
  # its console and the simulated tablet types it in, as a person would.
  if [[ ! -s "$sim_state" ]]; then
    "$sim" "${sim_args[@]}" --hold 1 || true
    code="$(grep -o 'ORVANE PAIRING CODE: [0-9]*' "$console_log" | tail -n 1 | grep -o '[0-9]*$' || true)"
    if [[ -n "$code" ]]; then sim_args+=(--pairing-code "$code"); fi
  fi
  # A stream two cores encode comfortably: 720p30 H.264, decoded and checked
  # picture by picture (the default would negotiate HEVC 2560x1600 at 120 fps).
  "$sim" "${sim_args[@]}" --screen 1280x720 --fps 30 --codecs h264 \
    --send "capability,ping,start-stream,wait-decoded:60:15000,keyframe,wait:3000,key-rotation,stop-stream,wait:300,end" || true
  echo "[run-host] The simulated tablet is done (its credential is kept in $sim_state);" \
       "the host keeps listening on TCP $control_port (Ctrl+C ends it)."
fi
wait "$host_pid"
