# Cross-building for 64-bit Windows with MinGW-w64 (POSIX threads model, so that C++
# threads and mutexes are available). Test programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(AMBERLINE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
