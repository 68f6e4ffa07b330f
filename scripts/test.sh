#!/usr/bin/env bash
# The whole test suite from a clean clone, stage by stage, each timed:
#   deps       installs what is missing
#   format     every tracked C/C++ source is clang-formatted
#   build      RelWithDebInfo with warnings as errors, and every test
#   release    Release without the tests, with the benchmarks (the packagers' build)
#   asan       AddressSanitizer and UndefinedBehaviorSanitizer, and every test
#   tsan       ThreadSanitizer, and the unit and front-end tests
#   fuzz       a clang build of the libFuzzer targets, each run briefly over its seed corpus
#   tidy       clang-tidy over our own sources; any finding fails
#   clang      clang 14 compiles the tests and the benchmarks too, without a warning
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
timings=()

# Runs "$@" as the stage named $1 and prints how long it took.
stage() {
  local name=$1 start=$SECONDS
  shift
  echo "=== stage $name" >&2
  "$@"
  timings+=("$(printf '%-8s %5d s' "$name" $((SECONDS - start)))")
  echo "=== stage $name: $((SECONDS - start)) s" >&2
}

format_check() {
  git ls-files -z '*.cpp' '*.h' '*.cc' '*.hpp' '*.c' | xargs -0 clang-format --dry-run -Werror
}

# configure_build DIR [CMAKE OPTION...]
configure_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DLAUNCHER_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

build_and_test() {
  configure_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  ctest --test-dir build --output-on-failure -j"$jobs"
}

release_build() {
  configure_build build-release -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_BUILD_TESTS=OFF \
    -DLAUNCHER_BUILD_BENCH=ON
}

asan_build_and_test() {
  configure_build build-asan -DCMAKE_BUILD_TYPE=Debug -DLAUNCHER_SANITIZE=address \
    -DLAUNCHER_BUILD_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"
}

# Qt is not instrumented: tests/tsan.supp silences reports inside it (never in our code).
tsan_build_and_test() {
  configure_build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAUNCHER_SANITIZE=thread \
    -DLAUNCHER_BUILD_BENCH=OFF
  TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L 'unit|frontend'
}

# Fuzzing: a clang build of its own runs each libFuzzer target briefly over its seed corpus
# (tests/fuzz); the README says how to run them longer.
fuzz_build_and_run() {
  CC=clang-14 CXX=clang++-14 configure_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLAUNCHER_FUZZ=ON -DLAUNCHER_BUILD_QT=OFF -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_BUILD_BENCH=OFF
  ctest --test-dir build-fuzz -L fuzz --output-on-failure
}

# clang 14 compiles the tests, their fixtures and the benchmarks with the first build's commands
# (the tidy stage compiles the rest with it), syntax only: what GCC alone lets through would
# otherwise stop a clang build of the tests.
clang_check() {
  git ls-files 'tests/*.cpp' 'bench/*.cpp' |
    while read -r source; do
      if grep -qF "\"file\": \"$PWD/$source\"" build/compile_commands.json; then
        printf '%s\0' "$source"
      fi
    done | xargs -0 -n 1 -P "$jobs" clang-check-14 -p build
}

# clang-tidy with the repository's .clang-tidy over our sources, with the first build's commands.
tidy_check() {
  scripts/tidy.sh build
}

stage deps scripts/install-deps.sh
stage format format_check
stage build build_and_test
stage release release_build
stage asan asan_build_and_test
stage tsan tsan_build_and_test
stage fuzz fuzz_build_and_run
stage tidy tidy_check
stage clang clang_check

echo "stage timings:" >&2
printf '  %s\n' "${timings[@]}" >&2
