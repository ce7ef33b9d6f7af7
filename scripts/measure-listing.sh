#!/usr/bin/env bash
# Compares the library's streaming listing (nfs_list) with nfs-ls from
# libnfs-utils on a private NFS server: a directory of FILES empty files
# (default 100000) and a 2-entry directory for the memory baseline.
# Alternating runs, medians of wall time and of peak RSS (/usr/bin/time).
# Needs root; builds nothing: BUILD_DIR (default build-nfs) must hold
# tools/nfs_list and nfs_serve.
#
#   scripts/measure-listing.sh [RUNS]       (default 5 runs per tool)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-nfs}
runs=${1:-5}
files=${FILES:-100000}

if [ "${MEASURE_INSIDE:-}" != 1 ]; then
  for tool in nfs_list nfs_serve; do
    [ -x "$build/tools/$tool" ] || { echo "missing $build/tools/$tool" >&2; exit 1; }
  done
  command -v nfs-ls >/dev/null || { echo "nfs-ls missing (libnfs-utils)" >&2; exit 1; }
  exec env MEASURE_INSIDE=1 "$root/scripts/netns-run.sh" \
    "$build/tools/nfs_serve" --files "$files" "$0" "$runs"
fi

list="$build/tools/nfs_list"
addr=$NFS_TEST_ADDRESS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# measure NAME EXPECTED_LINES COMMAND...: appends "wall_s rss_kib" to $work/NAME
measure() {
  local name=$1 expected=$2
  shift 2
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" > "$work/out" 2> /dev/null
  local lines
  lines=$(wc -l < "$work/out")
  if [ "$lines" -lt "$expected" ]; then
    echo "$name: only $lines lines of output, expected $expected" >&2
    exit 1
  fi
  cat "$work/time" >> "$work/$name"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for i in $(seq "$runs"); do
  measure lib-big 1 "$list" "$addr" /big
  measure nfsls-big "$files" nfs-ls "nfs://$addr/big"
  measure lib-small 1 "$list" "$addr" /small
  measure nfsls-small 2 nfs-ls "nfs://$addr/small"
done

printf "%-36s %10s %14s\n" "median of $runs runs" "wall (s)" "peak RSS (MiB)"
for name in lib-big nfsls-big lib-small nfsls-small; do
  wall=$(cut -d' ' -f1 "$work/$name" | median)
  rss=$(cut -d' ' -f2 "$work/$name" | median)
  case $name in
    lib-*) tool="nfs_list (library)" ;;
    *) tool="nfs-ls" ;;
  esac
  case $name in
    *-big) what="$files entries" ;;
    *) what="2 entries" ;;
  esac
  printf "%-36s %10s %14.1f\n" "$tool, $what" "$wall" "$(echo "$rss / 1024" | bc -l)"
done
