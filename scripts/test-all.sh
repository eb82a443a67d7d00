#!/usr/bin/env bash
# Builds everything and runs every test. Fails when any build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

echo "== native build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== packages"
scripts/check-packages.sh

# ---- Hardening: the suite under the sanitizers, and the fuzz targets ----

# The whole suite again, built with clang under AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/. A report aborts the process that made it (a test, brelwick or unit-sim run by a
# test), so no report can hide behind an expected exit status.
sanitizer_stage() {
  echo "== sanitizers: every test again under AddressSanitizer and UndefinedBehaviorSanitizer"
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
    UBSAN_OPTIONS=abort_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
}

# Each libFuzzer target for a bounded time (BRELWICK_FUZZ_SECONDS, 60 by default), starting from
# its seeds in fuzz/corpus/. A crash, a leak, a sanitizer report or a hung input fails the stage;
# the input that did it is left in build-fuzz/artifacts/. Inputs found along the way go to a
# scratch corpus, so the seeds in the repository stay as they are.
fuzz_stage() {
  local seconds=${BRELWICK_FUZZ_SECONDS:-60}
  echo "== fuzz targets: ${seconds} s each"
  CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DBRELWICK_FUZZ=ON -DBRELWICK_TESTS=OFF
  cmake --build build-fuzz -j "$jobs" --target hex_loader_fuzz cmdline_fuzz
  mkdir -p build-fuzz/artifacts
  for target in hex_loader cmdline; do
    echo "-- ${target}_fuzz"
    rm -rf "build-fuzz/corpus/$target"
    mkdir -p "build-fuzz/corpus/$target"
    "build-fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/${target}-" \
      "build-fuzz/corpus/$target" "fuzz/corpus/$target"
  done
}

sanitizer_stage
fuzz_stage
