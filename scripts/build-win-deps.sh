#!/usr/bin/env bash
# Cross-builds the Windows build's third-party libraries from Debian source
# packages into $ORVANE_CACHE/win-deps/<key>. Reused when the key matches.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache_root="${ORVANE_CACHE:-$HOME/.cache/orvane}"
PB_VER=3.21.12
OPUS_VER=1.3.1
GTEST_VER=1.12.1
script_sum=$(cat "$0" "$here/cmake/toolchain-mingw64.cmake" | sha256sum | cut -c1-12)
key="protobuf-${PB_VER}_opus-${OPUS_VER}_gtest-${GTEST_VER}_${script_sum}"
prefix="$cache_root/win-deps/$key"
log() { printf '[win-deps] %s\n' "$*"; }

if [[ -f "$prefix/.complete" ]]; then
  log "cached: $prefix"
  ln -sfn "$prefix" "$cache_root/win-deps/current"
  exit 0
fi

work="$cache_root/win-deps/work-$$"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
trap 'rm -rf "$work"' EXIT
jobs=$(nproc)
toolchain="$here/cmake/toolchain-mingw64.cmake"

cd "$work"
log "fetching Debian sources"
apt-get source -qq --download-only "protobuf=${PB_VER}*" "opus=${OPUS_VER}*" >/dev/null 2>&1 \
  || apt-get source -qq --download-only protobuf opus >/dev/null
for dsc in protobuf_*.dsc opus_*.dsc; do dpkg-source -q -x "$dsc" >/dev/null; done
pb_src=$(ls -d protobuf-*/ | head -n1); opus_src=$(ls -d opus-*/ | head -n1)
grep -q "${PB_VER}" "$pb_src/version.json" 2>/dev/null || grep -rq "${PB_VER}" "$pb_src/CMakeLists.txt" "$pb_src/configure.ac" 2>/dev/null \
  || { log "unexpected protobuf source: $pb_src"; exit 1; }

log "protobuf-lite ${PB_VER}"
pb_cmake="$pb_src"; [[ -f "$pb_src/CMakeLists.txt" ]] || pb_cmake="$pb_src/cmake"
cmake -S "$pb_cmake" -B pb-build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -Dprotobuf_BUILD_TESTS=OFF -Dprotobuf_BUILD_PROTOC_BINARIES=OFF -Dprotobuf_BUILD_LIBPROTOC=OFF \
  -Dprotobuf_WITH_ZLIB=OFF -Dprotobuf_BUILD_SHARED_LIBS=OFF -Dprotobuf_MSVC_STATIC_RUNTIME=OFF >/dev/null
cmake --build pb-build --target libprotobuf-lite -j"$jobs" >/dev/null
mkdir -p "$prefix/lib" "$prefix/include"
cp pb-build/libprotobuf-lite.a "$prefix/lib/"
(cd "$pb_src/src" && find google \( -name "*.h" -o -name "*.inc" \) -exec cp --parents {} "$prefix/include/" \;)

log "opus ${OPUS_VER}"
(cd "$opus_src" && CPPFLAGS=-D_FORTIFY_SOURCE=0 ./configure -q --host=x86_64-w64-mingw32 \
    CC=x86_64-w64-mingw32-gcc-posix --prefix="$prefix" --enable-static --disable-shared \
    --disable-doc --disable-extra-programs >/dev/null && make -s -j"$jobs" >/dev/null 2>&1 && make -s install >/dev/null)

log "googletest ${GTEST_VER} (from /usr/src/googletest)"
cmake -S /usr/src/googletest -B gtest-build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -Dgtest_disable_pthreads=OFF -DBUILD_SHARED_LIBS=OFF >/dev/null
cmake --build gtest-build -j"$jobs" >/dev/null
cmake --install gtest-build >/dev/null

touch "$prefix/.complete"
ln -sfn "$prefix" "$cache_root/win-deps/current"
log "built into $prefix"
