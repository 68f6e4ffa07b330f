#!/usr/bin/env bash
# The whole test suite from a clean clone: installs what is missing, builds, runs the tests, then
# builds again with AddressSanitizer and UndefinedBehaviorSanitizer and runs them once more.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLAUNCHER_SANITIZE=ON -DLAUNCHER_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# Fuzzing: a clang build of its own runs each libFuzzer target briefly over its seed corpus
# (tests/fuzz); the README says how to run them longer.
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLAUNCHER_FUZZ=ON -DLAUNCHER_BUILD_QT=OFF -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_BUILD_BENCH=OFF
cmake --build build-fuzz -j"$jobs"
ctest --test-dir build-fuzz -L fuzz --output-on-failure
