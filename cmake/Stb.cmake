# stb_image from Debian's libstb-dev (header-only). Only its own folder is added to the
# include path, so the same headers serve the Windows cross-build without exposing the
# host's system headers to it.
find_path(AMBERLINE_STB_DIR stb_image.h PATHS /usr/include/stb NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT AMBERLINE_STB_DIR)
  message(FATAL_ERROR "stb_image.h not found: run scripts/bootstrap.sh")
endif()
add_library(amberline_stb INTERFACE)
target_include_directories(amberline_stb SYSTEM INTERFACE "${AMBERLINE_STB_DIR}")
