#!/usr/bin/env bash
# Builds GoogleTest/GoogleMock for Windows (static, MinGW-w64) from the system's
# /usr/src/googletest into the cache folder that later runs reuse. Prints the install
# prefix on its last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${AMBERLINE_CACHE_DIR:-$HOME/.cache/amberline}"
prefix="$cache/googletest-mingw64"
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi
build="$cache/googletest-mingw64-build"
cmake -S /usr/src/googletest -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$cache/googletest-mingw64.log" 2>&1 &&
cmake --build "$build" >>"$cache/googletest-mingw64.log" 2>&1 &&
cmake --install "$build" >>"$cache/googletest-mingw64.log" 2>&1 || { tail -n 40 "$cache/googletest-mingw64.log"; exit 1; }
touch "$prefix/.complete"
echo "$prefix"
