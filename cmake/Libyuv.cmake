# libyuv, the pixel-format converter: Debian's libyuv-dev on Linux, the static library
# that scripts/build-libyuv-mingw.sh cross-builds for Windows (found through the cache
# folder on the find root). One interface target, amberline_libyuv.
find_path(AMBERLINE_LIBYUV_INCLUDE_DIR libyuv.h)
find_library(AMBERLINE_LIBYUV_LIBRARY NAMES yuv)
if(NOT AMBERLINE_LIBYUV_INCLUDE_DIR OR NOT AMBERLINE_LIBYUV_LIBRARY)
  message(FATAL_ERROR "libyuv not found: run scripts/bootstrap.sh (for Windows: scripts/build-libyuv-mingw.sh)")
endif()
add_library(amberline_libyuv INTERFACE)
target_include_directories(amberline_libyuv SYSTEM INTERFACE "${AMBERLINE_LIBYUV_INCLUDE_DIR}")
target_link_libraries(amberline_libyuv INTERFACE "${AMBERLINE_LIBYUV_LIBRARY}")
