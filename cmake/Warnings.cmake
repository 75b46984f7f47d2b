# Warnings as errors for our own targets only (system and third-party headers are
# included as SYSTEM and stay quiet).
function(amberline_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-missing-field-initializers)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # GCC 12 reports std::string copies inlined at -O3 as overlapping (a known false
      # positive of its restrict analysis).
      target_compile_options(${target} PRIVATE -Wno-restrict)
    else()
      # Lock annotations (platform/thread_annotations.h) are checked wherever clang builds,
      # the declared lock orders (ACQUIRED_AFTER / ACQUIRED_BEFORE) too.
      target_compile_options(${target} PRIVATE -Wthread-safety -Wthread-safety-beta)
    endif()
  endif()
endfunction()
