#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a while, each from its
# committed seed corpus (copied: the committed seeds are never changed), inside
# a private network namespace. Exits non-zero on the first crash, leak,
# undefined behaviour, timeout or out-of-memory; the reproducer is left in
# the work folder. Needs root (scripts/netns-run.sh).
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 30)
#   FUZZ_BUILD_DIR  the build with -DNSB_FUZZ=ON (default build-asan)
#   FUZZ_RUNS       run each target for this many executions instead of a time
#   FUZZ_WORK_DIR   where corpora and reproducers go (default a temporary folder)
#   FUZZ_JOBS       targets run side by side (default the number of CPUs)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${FUZZ_BUILD_DIR:-$root/build-asan}
seconds=${1:-30}
work=${FUZZ_WORK_DIR:-$(mktemp -d /tmp/nsb-fuzz.XXXXXX)}
jobs=${FUZZ_JOBS:-$(nproc)}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

# One target: its log and reproducer in $work/TARGET; non-zero on a finding.
fuzz_one() {
  local corpus=$1 target binary max_len start runs
  target=$(basename "$corpus")
  binary="$build/tests/fuzz/fuzz_$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz: $binary is missing (configure with -DNSB_FUZZ=ON and build)" >&2
    return 1
  fi
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  cp -n "$corpus"* "$work/$target/corpus/" 2>/dev/null || true
  local limit=(-max_total_time="$seconds")
  [ -n "${FUZZ_RUNS:-}" ] && limit=(-runs="$FUZZ_RUNS")
  # Inputs up to a full argument area and a long path.
  max_len=70000
  [ "$target" = reply_reader ] && max_len=8192
  if [ -n "${FUZZ_RUNS:-}" ]; then echo "fuzz: $target ($FUZZ_RUNS runs)"; else echo "fuzz: $target ($seconds s)"; fi
  start=$(date +%s)
  if ! "$root/scripts/netns-run.sh" "$binary" "${limit[@]}" -max_len=$max_len -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
        "$work/$target/corpus" >"$work/$target/log" 2>&1; then
    echo "fuzz: $target FAILED; log and reproducer in $work/$target" >&2
    tail -40 "$work/$target/log" >&2
    return 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target/log" | tail -1)
  echo "fuzz: $target ok: ${runs:-?} executions in $(( $(date +%s) - start )) s"
}

# Up to $jobs targets at a time, each one process (libFuzzer's own loop).
status=0
running=0
for corpus in "$root"/tests/fuzz/corpus/*/; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  fuzz_one "$corpus" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
[ -z "${FUZZ_WORK_DIR:-}" ] && [ $status -eq 0 ] && rm -rf "$work"
exit $status
