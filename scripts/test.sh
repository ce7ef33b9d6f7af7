#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test.
# Exits non-zero on any failure. BUILD_DIR overrides the build folder, JOBS
# the number of build jobs (default: the number of CPUs); CMAKE_ARGS and
# CTEST_ARGS are added to cmake's and ctest's arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
# The compiler cache where there is one, its paths taken relative to this
# clone: a fresh clone elsewhere reuses what an earlier one compiled.
cache=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
  cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cache[@]}" ${CMAKE_ARGS:-}
cmake --build "$build" -j "${JOBS:-$(nproc)}"
# On a failure, the failed assertions again at the end, where a reader of
# the log's tail finds them.
# Twice the CPUs: a test in a namespace of its own counts as two
# (cmake/NsbAddTest.cmake), a shard of the hostile catalogue as one.
if ! ctest --test-dir "$build" --output-on-failure -j "$((2 * $(nproc)))" ${CTEST_ARGS:-}; then
  echo "== failed assertions (from $build/Testing/Temporary/LastTest.log)"
  grep -E -B1 -A4 '(: Failure$|^\[  FAILED  \])' "$build/Testing/Temporary/LastTest.log" | tail -n 60 || true
  exit 8
fi
