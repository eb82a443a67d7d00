# Cross-builds brelwick and unit-sim for 32-bit ARM Linux with hardware floating point (older
# Raspberry Pi boards, 32-bit Raspberry Pi OS), with Debian's g++-arm-linux-gnueabihf; the tests run
# under qemu-arm-static (qemu-user-static).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(BRELWICK_CROSS_TRIPLE arm-linux-gnueabihf)
set(BRELWICK_QEMU_NAME qemu-arm-static)
set(BRELWICK_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
