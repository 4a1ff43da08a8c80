#!/usr/bin/env bash
# Prepares a Debian 12 machine for both builds: system packages, then the Windows
# third-party libraries (protobuf-lite, opus, GoogleTest) cross-built from Debian
# source packages into a cache outside the tree, keyed by their versions.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache_root="${ORVANE_CACHE:-$HOME/.cache/orvane}"
mkdir -p "$cache_root"

log() { printf '[setup] %s\n' "$*"; }

packages=(
  build-essential cmake ninja-build ccache pkg-config git dpkg-dev
  protobuf-compiler libprotobuf-dev
  libssl-dev libopus-dev
  libavcodec-dev libavutil-dev libx264-dev
  libx11-dev libxext-dev libxrandr-dev libxfixes-dev libxtst-dev libpulse-dev pulseaudio libavdevice-dev libavformat-dev ffmpeg
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libyuv-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth
  python3 clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Debian source packages need a deb-src entry.
src_list=/etc/apt/sources.list.d/orvane-src.sources
if ! apt-get source --print-uris -qq protobuf >/dev/null 2>&1; then
  log "adding deb-src for bookworm"
  cat > "$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  apt-get update -qq
fi

"$here/scripts/build-win-deps.sh"
log "ready"
