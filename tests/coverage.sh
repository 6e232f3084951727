#!/usr/bin/env bash
# Line and branch coverage of platform/, clss/ and tools/ by the whole suite, per folder.
# Usage: tests/coverage.sh [SOURCE_DIR] (default: this tree). Builds into SOURCE_DIR/build-cov.
# Installs gcovr from Debian when it is missing. Counters are updated atomically because the
# concurrency tests run several threads; without that, racing counters come out negative.
# A tool for us, not run in CI.
set -euo pipefail
src=$(cd "${1:-$(dirname "$0")/..}" && pwd)
if ! command -v gcovr >/dev/null; then
  sudo=; [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends gcovr >/dev/null 2>&1 ||
    { $sudo apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null; $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends gcovr >/dev/null; }
fi
"${src}/tools/install-deps.sh"
dir="${src}/build-cov"
cmake -S "${src}" -B "${dir}" -DCMAKE_BUILD_TYPE=Debug -DCLASTOOL_BUILD_BENCH=OFF \
      -DCMAKE_CXX_FLAGS="--coverage -O0 -fprofile-update=atomic" -DCMAKE_EXE_LINKER_FLAGS=--coverage \
      -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
nice cmake --build "${dir}" -j "$(nproc 2>/dev/null || echo 2)"
find "${dir}" -name '*.gcda' -delete
find "${dir}/CMakeFiles" -path '*CompilerId*' -name '*.gcno' -delete  # cmake's compiler probe, no source
# An unoptimised build needs far more stack for the test fixtures' deep chains (their own
# destructors recurse), and the test that caps the file size stops the counters being written.
ulimit -s unlimited 2>/dev/null || ulimit -s "$(ulimit -H -s)"
ctest --test-dir "${dir}" -j 2 --output-on-failure -E 'OutputsAreRefusedReplacedOrLeftAsTheyWere' \
  >"${dir}/ctest.log" || { grep -E 'Failed|\*\*\*' "${dir}/ctest.log" >&2; echo "see ${dir}/ctest.log" >&2; exit 1; }
for folder in platform clss tools; do
  printf '%-9s ' "${folder}/"
  gcovr -r "${src}" --object-directory "${dir}" --filter "${src}/${folder}/" --gcov-ignore-parse-errors \
        --exclude-throw-branches --exclude-unreachable-branches --print-summary -o "${dir}/coverage-${folder}.txt" |
    grep -E '^(lines|branches):' | tr '\n' ' '
  echo
done
