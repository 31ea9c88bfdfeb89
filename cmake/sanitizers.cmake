# Instrumented builds. CORVANE_SANITIZE=address builds everything with
# AddressSanitizer and UndefinedBehaviorSanitizer, =thread with
# ThreadSanitizer. CORVANE_BUILD_FUZZ adds the libFuzzer targets under fuzz/
# and needs clang.
set(CORVANE_SANITIZE "" CACHE STRING "Sanitizer build: address (with undefined) or thread")
option(CORVANE_BUILD_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(CORVANE_SANITIZE STREQUAL "address")
  set(CORVANE_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(CORVANE_SANITIZE STREQUAL "thread")
  set(CORVANE_SANITIZER_FLAGS -fsanitize=thread)
elseif(NOT CORVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CORVANE_SANITIZE must be address or thread, not '${CORVANE_SANITIZE}'")
endif()

if(CORVANE_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVANE_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  if(NOT CORVANE_SANITIZE STREQUAL "address")
    message(FATAL_ERROR "CORVANE_BUILD_FUZZ goes with CORVANE_SANITIZE=address")
  endif()
  # Coverage for the fuzzers in every object; only the fuzz programs link
  # libFuzzer's main.
  list(APPEND CORVANE_SANITIZER_FLAGS -fsanitize=fuzzer-no-link)
endif()

if(CORVANE_SANITIZER_FLAGS)
  list(APPEND CORVANE_SANITIZER_FLAGS -fno-omit-frame-pointer)
  add_compile_options(${CORVANE_SANITIZER_FLAGS})
  add_link_options(${CORVANE_SANITIZER_FLAGS})
endif()
