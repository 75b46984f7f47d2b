# Cross-building for 32-bit Windows with MinGW-w64 (POSIX threads model, like the 64-bit
# build). This machine cannot execute 32-bit x86 programs, so the test programs are built
# but not run; the checks of this build inspect the binaries instead.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(AMBERLINE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
