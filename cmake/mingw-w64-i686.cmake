# Cross-building for 32-bit Windows with MinGW-w64 (POSIX threads model, like the 64-bit
# build). This machine cannot execute 32-bit x86 programs, so the test programs are built
# but not run; the checks of this build inspect the binaries instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(AMBERLINE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${AMBERLINE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${AMBERLINE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${AMBERLINE_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${AMBERLINE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
