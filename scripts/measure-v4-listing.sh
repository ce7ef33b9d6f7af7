#!/usr/bin/env bash
# Compares the library's listing of the same directory of FILES empty files
# (default 100000) served over NFSv3 (server with MOUNT) and over NFSv4 only
# (no portmapper, no MOUNT), in one run: each round starts one server of
# each kind in turn, lists /big once to warm the server, then measures one
# listing of /big and one of the 2-entry /small (memory baseline) with
# /usr/bin/time. Prints medians of wall time and peak RSS.
# Needs root; builds nothing: BUILD_DIR must hold tools/nfs_list
# and nfs_serve.
#
#   scripts/measure-v4-listing.sh [ROUNDS]      (default 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-nfs}
rounds=${1:-5}
files=${FILES:-100000}
list="$build/tools/nfs_list"
serve="$build/tools/nfs_serve"

if [ "${MEASURE_INSIDE:-}" = 1 ]; then
  # Inside nfs_serve: NAME is v3 or v4; appends "wall rss" lines to $WORK/NAME-{big,small}.
  name=$1
  "$list" "$NFS_TEST_ADDRESS" /big > /dev/null
  /usr/bin/time -f "%e %M" -o "$WORK/t" "$list" "$NFS_TEST_ADDRESS" /big > "$WORK/out" 2> /dev/null
  [ "$(wc -l < "$WORK/out")" -ge 1 ] || { echo "$name: no output" >&2; exit 1; }
  cat "$WORK/t" >> "$WORK/$name-big"
  /usr/bin/time -f "%e %M" -o "$WORK/t" "$list" "$NFS_TEST_ADDRESS" /small > /dev/null 2>&1
  cat "$WORK/t" >> "$WORK/$name-small"
  exit 0
fi

for tool in "$list" "$serve"; do [ -x "$tool" ] || { echo "missing $tool" >&2; exit 1; }; done
WORK=$(mktemp -d)
export WORK
trap 'rm -rf "$WORK"' EXIT
for _ in $(seq "$rounds"); do
  MEASURE_INSIDE=1 "$root/scripts/netns-run.sh" "$serve" --files "$files" "$0" v3
  MEASURE_INSIDE=1 "$root/scripts/netns-run.sh" "$serve" --files "$files" --v4-only "$0" v4
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf "%-28s %10s %14s\n" "median of $rounds rounds" "wall (s)" "peak RSS (MiB)"
for name in v3-big v4-big v3-small v4-small; do
  wall=$(cut -d' ' -f1 "$WORK/$name" | median)
  rss=$(cut -d' ' -f2 "$WORK/$name" | median)
  printf "%-28s %10s %14.1f\n" "$name" "$wall" "$(echo "$rss / 1024" | bc -l)"
done
