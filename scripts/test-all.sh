#!/usr/bin/env bash
# Builds everything and runs every test. Fails when any build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

echo "== native build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== benchmark smoke run (a small image; the figures are not looked at)"
build/bench/brelwick_bench --bytes 5000 --block-bytes 64 > /dev/null
