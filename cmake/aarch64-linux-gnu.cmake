# Cross-building for aarch64 Linux on an x86_64 Debian machine, with Debian's
# g++-aarch64-linux-gnu. scripts/aarch64.sh prepares what the cache variables name:
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   -DQMC_AARCH64_ROOT=DIR     an arm64 Debian root holding python3.13 and its headers: the
#                              module is built against them, and programs run inside it
#   -DQMC_QEMU_AARCH64=FILE    qemu-aarch64 (user mode), to run the built programs: CTest and
#                              GoogleTest's test discovery go through it
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# try_compile projects read this file again: they need the same two values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QMC_AARCH64_ROOT QMC_QEMU_AARCH64)

# Libraries and headers come from the cross toolchain's own sysroot (Debian 12's glibc, so that
# the binaries need no newer one) and then from the arm64 root; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu ${QMC_AARCH64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(QMC_AARCH64_ROOT)
  # Debian's multiarch pyconfig.h includes <aarch64-linux-gnu/python3.13/pyconfig.h>: looked up
  # after the toolchain's own headers, so the root's C library headers never come first.
  set(CMAKE_CXX_FLAGS_INIT "-idirafter ${QMC_AARCH64_ROOT}/usr/include")
  # The target's headers, over the build machine's that a wheel build names on its own.
  set(Python_INCLUDE_DIR "${QMC_AARCH64_ROOT}/usr/include/python3.13" CACHE PATH "" FORCE)
  set(Python_SOSABI "abi3" CACHE STRING "" FORCE)
endif()
if(QMC_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${QMC_QEMU_AARCH64};-L;${QMC_AARCH64_ROOT}")
endif()
