# Instrumented builds, for every target of the project.
#
#   -DQMC_SANITIZE=address,undefined   AddressSanitizer and UndefinedBehaviorSanitizer
#   -DQMC_SANITIZE=thread              ThreadSanitizer
#   -DQMC_BUILD_FUZZERS=ON             the libFuzzer targets of fuzz/ (clang only), with every
#                                      library instrumented for coverage; address,undefined
#                                      unless QMC_SANITIZE says otherwise
#
# Every finding ends the program (no recovery), so that a test or a fuzzer run fails on it.
# scripts/sanitize and scripts/fuzz are the commands that use these.
set(QMC_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")
option(QMC_BUILD_FUZZERS "Build the libFuzzer targets (clang)" OFF)

if(QMC_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "the fuzz targets need clang with libFuzzer, e.g. -DCMAKE_CXX_COMPILER=clang++-19")
  endif()
  if(NOT QMC_SANITIZE)
    set(QMC_SANITIZE "address,undefined")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(QMC_SANITIZE)
  if(QMC_SANITIZE MATCHES "thread" AND QMC_SANITIZE MATCHES "address")
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  add_compile_options(-fsanitize=${QMC_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${QMC_SANITIZE})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # g++ 12 sees uninitialised reads in std::variant moves that only its instrumented code has.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
