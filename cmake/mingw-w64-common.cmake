# What both MinGW-w64 toolchain files share, once AMBERLINE_MINGW_TRIPLE is set: the
# POSIX-threads compilers (so that C++ threads and mutexes are available) and a search
# root limited to that target's libraries and headers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${AMBERLINE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${AMBERLINE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${AMBERLINE_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${AMBERLINE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
