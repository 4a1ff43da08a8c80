#!/usr/bin/env bash
# Sets everything up on a Debian 12 machine, builds the Linux host and runs it
# in console mode: it listens for tablets on the control port and logs to the
# console and to its log file. Extra arguments go to the host.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ORVANE_ROOT"

"$ORVANE_ROOT/scripts/setup.sh"
orvane_build "$ORVANE_ROOT/build/linux-release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=OFF
exec "$ORVANE_ROOT/build/linux-release/host/OrvaneHost" --console "$@"
