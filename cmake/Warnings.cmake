# Warnings as errors for our own targets only (system and third-party headers are
# included as SYSTEM and stay quiet).
function(amberline_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-missing-field-initializers)
  endif()
endfunction()
