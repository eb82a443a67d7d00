# Cross-builds brelwick and unit-sim for 64-bit ARM Linux (a Raspberry Pi on a 64-bit system), with
# Debian's g++-aarch64-linux-gnu; the tests run under qemu-aarch64-static (qemu-user-static).
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(BRELWICK_CROSS_TRIPLE aarch64-linux-gnu)
set(BRELWICK_QEMU_NAME qemu-aarch64-static)
set(BRELWICK_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
