#!/usr/bin/env bash
# Builds everything and runs every test. Fails when any build or test fails.
#   FUZZ_SECONDS  how long each fuzz target runs (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${FUZZ_SECONDS:-60}

native() {
  echo "== native build and tests"
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j "$jobs"
  ctest --test-dir build --output-on-failure -j "$jobs"
}

packages() {
  echo "== packages"
  scripts/check-packages.sh
}

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer: any report fails it.
sanitizers() {
  echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
}

# Each libFuzzer target for a bounded time, from its seeds; a crash, a leak or a sanitizer report
# fails it. What the fuzzer finds goes to a scratch corpus, not into the repository.
fuzz() {
  echo "== fuzzing, ${fuzz_seconds} s a target"
  CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DBRELWICK_FUZZ=ON -DBRELWICK_TESTS=OFF
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

native
packages
sanitizers
fuzz
