# Cross-build for Windows: dependencies from the cache folder the scripts fill
# (scripts/build-opencv-mingw.sh, scripts/build-gtest-mingw.sh), a fully static C++
# runtime so every program and the module load without extra DLLs, and test programs run
# under Wine with a prefix inside the build folder.
if(DEFINED ENV{AMBERLINE_CACHE_DIR})
  set(AMBERLINE_CACHE_DIR "$ENV{AMBERLINE_CACHE_DIR}")
else()
  set(AMBERLINE_CACHE_DIR "$ENV{HOME}/.cache/amberline")
endif()
foreach(dependency opencv-mingw64 googletest-mingw64)
  if(NOT EXISTS "${AMBERLINE_CACHE_DIR}/${dependency}/.complete")
    message(FATAL_ERROR "${AMBERLINE_CACHE_DIR}/${dependency} is missing: run scripts/test.sh (or scripts/build-*-mingw.sh)")
  endif()
  list(APPEND CMAKE_FIND_ROOT_PATH "${AMBERLINE_CACHE_DIR}/${dependency}")
endforeach()
set(OpenCV_DIR "${AMBERLINE_CACHE_DIR}/opencv-mingw64/lib/cmake/opencv4" CACHE PATH "" FORCE)
set(OpenCV_STATIC ON)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
add_link_options(-static -static-libgcc -static-libstdc++)
link_libraries(ole32 oleaut32 uuid shell32 advapi32)

find_program(AMBERLINE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
