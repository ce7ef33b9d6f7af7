#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test.
# Exits non-zero on any failure. BUILD_DIR overrides the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"
# On a failure, the failed assertions again at the end, where a reader of
# the log's tail finds them.
if ! ctest --test-dir "$build" --output-on-failure -j "$(nproc)" ${CTEST_ARGS:-}; then
  echo "== failed assertions (from $build/Testing/Temporary/LastTest.log)"
  grep -E -B1 -A4 '(: Failure$|^\[  FAILED  \])' "$build/Testing/Temporary/LastTest.log" | tail -n 60 || true
  exit 8
fi
