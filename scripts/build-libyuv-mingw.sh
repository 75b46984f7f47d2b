#!/usr/bin/env bash
# Cross-builds libyuv's plain static library (no JPEG support, no tools, no tests) for
# Windows with MinGW-w64 from Debian's libyuv source package, into a cache folder outside
# the repository that later runs reuse. Usage: build-libyuv-mingw.sh [x86_64|i686]
# (default x86_64; the cache folders are libyuv-mingw64 and libyuv-mingw32). Prints the
# install prefix on its last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${AMBERLINE_CACHE_DIR:-$HOME/.cache/amberline}"
arch="${1:-x86_64}"
case "$arch" in
  x86_64) name=libyuv-mingw64 ;;
  i686) name=libyuv-mingw32 ;;
  *) echo "build-libyuv-mingw.sh: unknown architecture $arch (x86_64 or i686)" >&2; exit 2 ;;
esac
prefix="$cache/$name"
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi

. "$root/scripts/debian-source.sh"
src=$(fetch_debian_source libyuv 'libyuv-*' "$cache")

# The package's own CMake project also builds a shared library and two tools; only the
# static library is wanted, so a project of three lines builds that from its sources.
project="$cache/$name-project"
mkdir -p "$project"
cat >"$project/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(libyuv_static CXX)
file(GLOB sources "${src%/}/source/*.cc")
add_library(yuv STATIC \${sources})
target_include_directories(yuv PRIVATE "${src%/}/include")
install(TARGETS yuv ARCHIVE DESTINATION lib)
install(DIRECTORY "${src%/}/include/" DESTINATION include)
EOF

build="$cache/$name-build"
cmake -S "$project" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  >"$cache/$name-configure.log" 2>&1 || { tail -n 40 "$cache/$name-configure.log"; exit 1; }
cmake --build "$build" >"$cache/$name-build.log" 2>&1 || { tail -n 40 "$cache/$name-build.log"; exit 1; }
cmake --install "$build" >/dev/null
touch "$prefix/.complete"
echo "$prefix"
