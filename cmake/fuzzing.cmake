# The libFuzzer build: clang, the library instrumented for coverage as well as
# for the sanitizers, and the targets in fuzz/ linked with libFuzzer's main.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "KESTRO_FUZZ needs clang (libFuzzer); configure with -DCMAKE_CXX_COMPILER=clang++-16")
endif()
if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 16)
  # Older clang cannot compile libstdc++'s <expected>.
  message(FATAL_ERROR "KESTRO_FUZZ needs clang 16 or later, found ${CMAKE_CXX_COMPILER_VERSION}")
endif()
if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 19)
  target_compile_options(kestro_sanitizers INTERFACE
    "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${PROJECT_SOURCE_DIR}/cmake/concepts_level.hpp>")
endif()
target_compile_options(kestro_sanitizers INTERFACE -fsanitize=fuzzer-no-link)
