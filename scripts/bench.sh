#!/usr/bin/env bash
# Builds the project (Release) and runs the benchmarks against their targets:
#   - micro-benchmarks: child-name selection and ordering for 1,000 / 10,000 /
#     100,000 exports, the message walker over a full argument area, and (for
#     information) returnItem through a socket and a 100,000-item XML response;
#   - the macro benchmark bench/browse_macro: a private NFS server with a
#     directory of 100,000 entries, browsed end to end through the network
#     entry and the XML entry, side by side with nfs-ls (alternating runs,
#     medians), inside scripts/netns-run.sh;
#   - the whole program, bench/nasbrowse_macro: nasbrowse browse of the same
#     100,000 entries (table and JSON, GUI road, output to a file) side by
#     side with nfs-ls and the raw streaming floor (the plug-in's entry, the
#     reply decoded and a line written per item), and once of 1,000,000
#     entries for its memory.
#   - bench/isolation_cost: a browse of 2 and of 100,000 entries with a
#     worker process per call, beside the same protocol work in process;
#   - bench/kerberos_bench: the listing of 100,000 entries under krb5,
#     krb5i and krb5p beside AUTH_SYS (one export, the flavour forced,
#     alternating runs, paired ratios) over NFSv3 and NFSv4.1-only servers
#     with a Kerberos realm of their own, the peak RSS of the caller and
#     of its worker beside a 2-entry listing, and the round trips of a
#     2-entry browse through the delay proxy (10 ms) per flavour, the
#     service ticket cached (needs krb5-kdc);
#   - the browse page of `nasbrowse serve --http` in Debian's chromium
#     (tests/browser/page.test.mjs --bench): first rows painted and all
#     listed after the click on the folder, beside `nasbrowse browse` of the
#     same folder in the same run, the page's JS heap and the daemon's RSS;
#   - at the end the slow-link benchmark (scripts/measure-slow-link.sh): the
#     same server behind a delay proxy at 10 ms round trips, nfs-ls, nfs_list
#     and nasbrowse side by side, with the proxy's round counts.
# Prints the tables and the ratios; exits 1 when a target is missed.
# Needs root (namespaces), nfs-ganesha, rpcbind and nfs-ls (libnfs-utils).
#
#   scripts/bench.sh [RUNS]        (default 7 runs per browse)
# Environment: BUILD_DIR (default build-bench), FILES (default 100000),
#   HUGE_FILES (default 1000000; 0 leaves that browse out), JOBS (default
#   2), SKIP_BUILD=1 to use BUILD_DIR as it is, SLOW_LINK_RUNS (default 5
#   runs per client of the slow-link benchmark).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
runs=${1:-7}
files=${FILES:-100000}
huge=${HUGE_FILES:-1000000}

command -v nfs-ls >/dev/null || { echo "nfs-ls missing (libnfs-utils)" >&2; exit 2; }
if [ "${SKIP_BUILD:-}" != 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNSB_BUILD_TOOLS=ON >/dev/null
  cmake --build "$build" -j "${JOBS:-2}" --target NASShareBrowse browse_macro nasbrowse \
    nasbrowse_macro isolation_cost kerberos_bench children_bench walker_bench reply_bench nfs_list nfs_serve >/dev/null
fi

missed=0
csv=$(mktemp)
trap 'rm -f "$csv"' EXIT

echo "== micro-benchmarks"
"$build/bench/children_bench" --benchmark_out="$csv" --benchmark_out_format=csv \
  --benchmark_min_time=0.5 2>/dev/null | grep -v '^-*$'
# The micro-benchmarks are single-threaded and CPU-bound: their targets are
# checked on CPU time per iteration, which other work on the machine disturbs
# less than wall time (both are printed above).
# Milliseconds per iteration of the selection and ordering for N exports.
# cpu_time of the benchmark named $1 (CSV: "name",iterations,real_time,cpu_time,...).
cpu() { awk -F, -v name="\"$1\"" '$1 == name { print $4 }' "$csv"; }
t1k=$(cpu BM_SelectAndOrderChildren/1000)
t100k=$(cpu BM_SelectAndOrderChildren/100000)
growth=$(awk -v a="$t100k" -v b="$t1k" 'BEGIN { print a / b }')
"$build/bench/walker_bench" --benchmark_out="$csv" --benchmark_out_format=csv 2>/dev/null | grep -v '^-*$'
walk=$(awk -F, '$1 ~ /^"BM_WalkFullArea\// && $4 > max { max = $4 } END { print max }' "$csv")
"$build/bench/reply_bench" 2>/dev/null | grep -v '^-*$'

check() {  # WHAT VALUE LIMIT UNIT
  if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then verdict=met; else verdict=MISSED; missed=1; fi
  printf "%-52s %8.2f%s  (target <= %s%s)  %s\n" "$1" "$2" "$4" "$3" "$4" "$verdict"
}
echo
check "100,000 exports: selection and ordering (CPU)" "$t100k" 50 " ms"
check "growth 1,000 -> 100,000 exports (CPU)" "$growth" 250 "x"
check "walker over a full argument area, slowest case (CPU)" "$walk" 50 " us"

echo
# Runs a macro benchmark (NAME COMMAND...) with the machine's load noted
# around it: other work slows the browses unevenly. Exit 1 marks a missed
# target; above 1 the benchmark failed, which ends the script.
macro() {
  local name=$1
  shift
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
  set +e
  "$@"
  status=$?
  set -e
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  if [ "$status" -ne 0 ]; then missed=1; fi
  if [ "$status" -gt 1 ]; then echo "$name failed (status $status)" >&2; exit "$status"; fi
}

echo "== macro benchmark: $files entries, $runs runs"
macro browse_macro "$root/scripts/netns-run.sh" env NSB_PLUGIN="$build/libNASShareBrowse.so" \
  "$build/bench/browse_macro" --runs "$runs" --files "$files"

echo
echo "== whole program: nasbrowse browse of $files entries, $runs runs (and of $huge entries once)"
macro nasbrowse_macro "$root/scripts/netns-run.sh" env NSB_PLUGIN="$build/libNASShareBrowse.so" \
  NASBROWSE_BIN="$build/tools/nasbrowse" \
  "$build/bench/nasbrowse_macro" --runs "$runs" --files "$files" --huge "$huge"

echo
echo "== isolation: a worker process per call beside the same work in process, $runs runs"
macro isolation_cost "$root/scripts/netns-run.sh" "$build/bench/isolation_cost" \
  --runs "$((runs * 2 + 1))" --files "$files"

echo
echo "== Kerberos beside AUTH_SYS: $files entries, and a 2-entry browse through the delay proxy, $runs runs"
if [ -x /usr/sbin/krb5kdc ]; then
  macro kerberos_bench "$root/scripts/netns-run.sh" "$build/bench/kerberos_bench" \
    --runs "$runs" --files "$files"
else
  echo "skipped: no KDC (/usr/sbin/krb5kdc, Debian's krb5-kdc)"
fi

echo
echo "== the browse page of serve --http in chromium, beside nasbrowse browse: $files entries, $runs runs"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
set +e
FILES="$files" BENCH_RUNS="$runs" "$root/scripts/netns-run.sh" "$build/tools/nfs_serve" \
  --files "$files" "$root/tests/browser/run.sh" "$build/tools/nasbrowse" "$build/browser-bench" --bench |
  grep -v ' Access peer \['
status=${PIPESTATUS[0]}
set -e
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$status" -ne 0 ]; then missed=1; fi
if [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; then echo "the page benchmark failed (status $status)" >&2; exit "$status"; fi

set +e
BUILD_DIR="$build" FILES="$files" "$root/scripts/measure-slow-link.sh" "${SLOW_LINK_RUNS:-5}"
status=$?
set -e
if [ "$status" -ne 0 ]; then missed=1; fi
if [ "$status" -gt 1 ]; then echo "measure-slow-link.sh failed (status $status)" >&2; exit "$status"; fi

echo
if [ "$missed" -ne 0 ]; then echo "RESULT: a target was missed"; exit 1; fi
echo "RESULT: every target met"
