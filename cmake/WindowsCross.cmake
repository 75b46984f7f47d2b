# Cross-build for Windows: dependencies from the cache folder the scripts fill
# (scripts/build-opencv-mingw.sh, scripts/build-gtest-mingw.sh, scripts/build-libyuv-mingw.sh), a fully static C++
# runtime so every program and the module load without extra DLLs, and test programs run
# under Wine with a prefix inside the build folder.
if(DEFINED ENV{AMBERLINE_CACHE_DIR})
  set(AMBERLINE_CACHE_DIR "$ENV{AMBERLINE_CACHE_DIR}")
else()
  set(AMBERLINE_CACHE_DIR "$ENV{HOME}/.cache/amberline")
endif()
# Each bitness has its own dependency builds: opencv-mingw64, googletest-mingw64 and
# libyuv-mingw64, or the same with mingw32.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(AMBERLINE_MINGW_FLAVOUR mingw32)
else()
  set(AMBERLINE_MINGW_FLAVOUR mingw64)
endif()
foreach(dependency opencv-${AMBERLINE_MINGW_FLAVOUR} googletest-${AMBERLINE_MINGW_FLAVOUR} libyuv-${AMBERLINE_MINGW_FLAVOUR})
  if(NOT EXISTS "${AMBERLINE_CACHE_DIR}/${dependency}/.complete")
    message(FATAL_ERROR "${AMBERLINE_CACHE_DIR}/${dependency} is missing: run scripts/test.sh (or scripts/build-*-mingw.sh)")
  endif()
  list(APPEND CMAKE_FIND_ROOT_PATH "${AMBERLINE_CACHE_DIR}/${dependency}")
endforeach()
set(OpenCV_DIR "${AMBERLINE_CACHE_DIR}/opencv-${AMBERLINE_MINGW_FLAVOUR}/lib/cmake/opencv4" CACHE PATH "" FORCE)
set(OpenCV_STATIC ON)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
add_link_options(-static -static-libgcc -static-libstdc++)
link_libraries(ole32 oleaut32 uuid shell32 advapi32)

# Test programs run under Wine where this machine can execute them. wine64 runs 64-bit
# programs only (the 32-bit loader needs a kernel that executes 32-bit x86 code), so a
# 32-bit build registers no test that runs a program of its own; its binaries are
# checked by inspection instead (AMBERLINE_RUN_TEST_PROGRAMS is OFF).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  find_program(AMBERLINE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
  set(AMBERLINE_RUN_TEST_PROGRAMS ON)
else()
  set(AMBERLINE_RUN_TEST_PROGRAMS OFF)
endif()
# Modules export their entry points by name through a module-definition file. On 32-bit
# Windows the entry points are __stdcall and their symbols carry the argument size
# (DllGetClassObject@12); the linker binds each undecorated name of the file to that
# symbol, and the export keeps the undecorated name that hosts look up.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(AMBERLINE_DEF_LINK_OPTIONS -Wl,--enable-stdcall-fixup)
else()
  set(AMBERLINE_DEF_LINK_OPTIONS "")
endif()
find_program(AMBERLINE_MINGW_OBJDUMP NAMES ${AMBERLINE_MINGW_TRIPLE}-objdump
  NO_CMAKE_FIND_ROOT_PATH REQUIRED)
