# AMBERLINE_SANITIZE: "" (none), "address" (AddressSanitizer + UndefinedBehaviorSanitizer),
# "thread", or "fuzzer" (clang only: address and undefined, every finding fatal, and the
# coverage libFuzzer steers by; the fuzz programs add the fuzzer's own main when linked).
# Applied to every target of the build, the module included.
set(AMBERLINE_SANITIZE "" CACHE STRING "Sanitizer set: address, thread or fuzzer")
if(AMBERLINE_SANITIZE STREQUAL "fuzzer")
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(AMBERLINE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(AMBERLINE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT AMBERLINE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "AMBERLINE_SANITIZE must be empty, address, thread or fuzzer")
endif()
