#!/usr/bin/env bash
# Builds the library and runs the whole test suite: a normal build, then the same
# suite under AddressSanitizer+UndefinedBehaviorSanitizer, then the concurrency tests
# under ThreadSanitizer (only their programs are built there). Build trees go to build/,
# build-asan/ and build-tsan/.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# System packages the build needs beyond the compiler, CMake and GoogleTest (CLI11).
tools/install-deps.sh

run_suite() {  # run_suite DIR SANITIZER TARGET [ctest args...]
  local dir=$1 sanitize=$2 target=$3
  shift 3
  echo "== ${dir} (sanitizer: ${sanitize:-none})"
  cmake -S . -B "${dir}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCLASTOOL_WERROR=ON \
        -DCLASTOOL_SANITIZE="${sanitize}" -DCLASTOOL_BUILD_BENCH=OFF >/dev/null
  cmake --build "${dir}" -j "${jobs}" --target "${target}"
  ctest --test-dir "${dir}" -j "${jobs}" --output-on-failure "$@"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build "" all
run_suite build-asan address all
run_suite build-tsan thread concurrency_tests -L concurrency
