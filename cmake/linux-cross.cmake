# What the Linux cross builds share (cmake/aarch64-linux-gnu.cmake, cmake/arm-linux-gnueabihf.cmake):
# Debian's cross compiler for BRELWICK_CROSS_TRIPLE, its libraries under /usr/TRIPLE, and QEMU's
# user-mode emulator for CMake to run the target's programs with (the tests, their discovery).
set(CMAKE_SYSTEM_NAME Linux)

find_program(BRELWICK_CROSS_CXX NAMES ${BRELWICK_CROSS_TRIPLE}-g++ REQUIRED)
find_program(BRELWICK_CROSS_CC NAMES ${BRELWICK_CROSS_TRIPLE}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${BRELWICK_CROSS_CXX})
set(CMAKE_C_COMPILER ${BRELWICK_CROSS_CC})

set(BRELWICK_CROSS_SYSROOT /usr/${BRELWICK_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${BRELWICK_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: the target's dynamic loader and libraries are in the cross sysroot, not under /.
find_program(BRELWICK_QEMU NAMES ${BRELWICK_QEMU_NAME})
if(BRELWICK_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BRELWICK_QEMU} -L ${BRELWICK_CROSS_SYSROOT})
endif()
