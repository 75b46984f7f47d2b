#!/usr/bin/env bash
# Builds GoogleTest/GoogleMock for Windows (static, MinGW-w64) from the system's
# /usr/src/googletest into the cache folder that later runs reuse. Usage:
# build-gtest-mingw.sh [x86_64|i686] (default x86_64; the cache folders are
# googletest-mingw64 and googletest-mingw32). Prints the install prefix on its last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${AMBERLINE_CACHE_DIR:-$HOME/.cache/amberline}"
arch="${1:-x86_64}"
case "$arch" in
  x86_64) name=googletest-mingw64 ;;
  i686) name=googletest-mingw32 ;;
  *) echo "build-gtest-mingw.sh: unknown architecture $arch (x86_64 or i686)" >&2; exit 2 ;;
esac
prefix="$cache/$name"
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi
build="$cache/$name-build"
cmake -S /usr/src/googletest -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$cache/$name.log" 2>&1 &&
cmake --build "$build" >>"$cache/$name.log" 2>&1 &&
cmake --install "$build" >>"$cache/$name.log" 2>&1 || { tail -n 40 "$cache/$name.log"; exit 1; }
touch "$prefix/.complete"
echo "$prefix"
