#!/usr/bin/env bash
# Cross-builds OpenCV's core and imgproc modules for Windows (static, MinGW-w64) from
# Debian's OpenCV source package, into a cache folder outside the repository that later
# runs reuse. Usage: build-opencv-mingw.sh [x86_64|i686] (default x86_64; the cache
# folders are opencv-mingw64 and opencv-mingw32). Prints the install prefix on its last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${AMBERLINE_CACHE_DIR:-$HOME/.cache/amberline}"
arch="${1:-x86_64}"
case "$arch" in
  x86_64) name=opencv-mingw64 ;;
  i686) name=opencv-mingw32 ;;
  *) echo "build-opencv-mingw.sh: unknown architecture $arch (x86_64 or i686)" >&2; exit 2 ;;
esac
triple="$arch-w64-mingw32"
prefix="$cache/$name"
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi

. "$root/scripts/debian-source.sh"
src=$(fetch_debian_source opencv 'opencv-4*' "$cache")

build="$cache/$name-build"
cmake -S "$src" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_LIST=core,imgproc -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF -DBUILD_opencv_apps=OFF -DBUILD_JAVA=OFF \
  -DBUILD_opencv_python3=OFF -DBUILD_ZLIB=OFF -DZLIB_LIBRARY=/usr/$triple/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$triple/include \
  -DWITH_JPEG=OFF -DWITH_PNG=OFF -DWITH_TIFF=OFF -DWITH_WEBP=OFF -DWITH_OPENJPEG=OFF -DWITH_JASPER=OFF \
  -DWITH_OPENEXR=OFF -DWITH_IMGCODEC_PXM=OFF -DWITH_IMGCODEC_PFM=OFF -DWITH_IMGCODEC_SUNRASTER=OFF -DWITH_QUIRC=OFF -DBUILD_ITT=OFF -DWITH_ITT=OFF -DWITH_IPP=OFF \
  -DWITH_OPENCL=OFF -DWITH_CUDA=OFF -DWITH_EIGEN=OFF -DWITH_LAPACK=OFF -DWITH_OPENMP=OFF \
  -DWITH_TBB=OFF -DWITH_PTHREADS_PF=OFF -DWITH_PROTOBUF=OFF -DWITH_ADE=OFF -DWITH_VA=OFF \
  -DWITH_WIN32UI=OFF -DWITH_DSHOW=OFF -DWITH_MSMF=OFF -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF \
  -DWITH_1394=OFF -DWITH_IMGCODEC_HDR=OFF -DOPENCV_ENABLE_NONFREE=OFF -DCV_TRACE=OFF \
  -DOPENCV_GENERATE_PKGCONFIG=OFF -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  >"$cache/$name-configure.log" 2>&1 || { tail -n 40 "$cache/$name-configure.log"; exit 1; }
cmake --build "$build" >"$cache/$name-build.log" 2>&1 || { tail -n 40 "$cache/$name-build.log"; exit 1; }
cmake --install "$build" >/dev/null
touch "$prefix/.complete"
echo "$prefix"
