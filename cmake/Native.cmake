# Native build of the pieces with no Windows calls: tests, sanitizers, fuzzers
# and benchmarks.
add_compile_options(-Wall -Wextra)
option(ZR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZR_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(ZR_SANITIZE OR ZR_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
find_package(GTest)
find_package(benchmark QUIET)
find_package(Threads REQUIRED)
