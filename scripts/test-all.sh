#!/usr/bin/env bash
# Builds everything and runs every test. Fails when any build or test fails.
# With MinGW-w64 and Wine present, Brelwick.exe is cross-built too and its tests run under Wine;
# without them, those tests are skipped and the reason is printed.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

windows_exe=""
# Debian's wine64 package puts the loader outside PATH.
wine64=$(command -v wine64 || true)
if [ -z "$wine64" ] && [ -x /usr/lib/wine/wine64 ]; then
  wine64=/usr/lib/wine/wine64
fi
if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "== SKIPPING the Windows build and the Wine tests: no x86_64-w64-mingw32-g++" \
    "(Debian: g++-mingw-w64-x86-64)"
elif [ -z "$wine64" ]; then
  echo "== SKIPPING the Windows build and the Wine tests: no wine64 (Debian: wine64)"
else
  echo "== Windows build (MinGW-w64): build-win/Brelwick.exe"
  cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRELWICK_TESTS=OFF
  cmake --build build-win -j "$jobs"
  windows_exe="$PWD/build-win/Brelwick.exe"
fi

echo "== native build and tests${windows_exe:+, and Brelwick.exe under Wine ($wine64)}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRELWICK_WINDOWS_EXE="$windows_exe" -DBRELWICK_WINE64="$wine64"
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
