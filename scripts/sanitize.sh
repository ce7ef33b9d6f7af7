#!/usr/bin/env bash
# Sanitizer and memory-checker runs, after scripts/test.sh (which installs the
# packages and leaves the plain build in BUILD_DIR):
#   1. clang 14 with AddressSanitizer, UndefinedBehaviorSanitizer (no
#      recovery: the first report fails) and LeakSanitizer: the unit and
#      integration suite with the hostile catalogue, all but the browser
#      page's test (the page's script in a browser; its server's code runs
#      under integration_nasbrowse_http) and the source tree's check. The
#      same build holds the libFuzzer targets.
#   2. the fuzz targets, briefly (scripts/fuzz.sh; FUZZ_SECONDS each, as many
#      side by side as there are CPUs).
#   3. clang 14 with ThreadSanitizer: the concurrency test only.
#   4. valgrind memcheck on a short browse loop of the plain build.
# Exits non-zero on any report. Needs root (private network namespaces).
#   ASAN_BUILD_DIR (build-asan), TSAN_BUILD_DIR (build-tsan), BUILD_DIR (build),
#   FUZZ_SECONDS (60), JOBS (nproc)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
asan=${ASAN_BUILD_DIR:-$root/build-asan}
tsan=${TSAN_BUILD_DIR:-$root/build-tsan}
plain=${BUILD_DIR:-$root/build}
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-60}
export CC=clang-14 CXX=clang++-14
# The compiler cache where there is one (as in scripts/test.sh).
cache=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
  cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

step() { printf '\n== sanitize: %s (%s)\n' "$1" "$(date +%T)"; }

step "AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer build"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cache[@]}" -DNSB_SANITIZE=address,undefined \
  -DNSB_FUZZ=ON -DNSB_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS=-fno-sanitize-recover=all -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all >/dev/null
cmake --build "$asan" -j "$jobs"

step "the suite under ASan + UBSan + LSan"
# Two suppressions, neither our memory: libnfs 4.0's own leak on a call
# abandoned during the TCP connect, and glibc's resolver buffer of a lookup
# thread still waiting at exit (see scripts/lsan.supp). One slot more than
# CPUs, not twice as many as the plain run: sanitized processes are slower
# and larger, and at twice the CPUs a hostile peer once failed to stop
# within its 10 s grace.
NSB_TIME_FACTOR=3 ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1:strict_string_checks=1 \
LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$asan" --output-on-failure -j "$((jobs + 1))" -E '^(browser_page|include_boundaries)$'

step "fuzz targets, $fuzz_seconds s each"
FUZZ_BUILD_DIR=$asan "$root/scripts/fuzz.sh" "$fuzz_seconds"

step "ThreadSanitizer build of the concurrency test"
cmake -S "$root" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cache[@]}" -DNSB_SANITIZE=thread \
  -DNSB_BUILD_BENCH=OFF -DNSB_BUILD_TOOLS=OFF >/dev/null
cmake --build "$tsan" -j "$jobs" --target integration_concurrency NASShareBrowse

step "concurrency test under TSan"
NSB_TIME_FACTOR=3 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$tsan" -R '^integration_concurrency$' --output-on-failure

step "valgrind memcheck: a short browse loop of the plain build"
if [ ! -x "$plain/tests/integration/integration_faults" ]; then
  cmake --build "$plain" -j "$jobs" --target integration_faults NASShareBrowse
fi
NSB_PLUGIN=$plain/libNASShareBrowse.so NSB_LOOP_BROWSES=40 NSB_LOOP_NO_RSS=1 \
  "$root/scripts/netns-run.sh" valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    --suppressions="$root/scripts/valgrind-libnfs.supp" \
    "$plain/tests/integration/integration_faults" --gtest_filter='ResourceLoop.*'

step "done"
