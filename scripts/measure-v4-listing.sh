#!/usr/bin/env bash
# Compares the library's listing of the same directory of FILES empty files
# (default 100000) served over NFSv3 (server with MOUNT), over NFSv4.0 only
# (no portmapper, no MOUNT) and over NFSv4.1 / 4.2 only (4.0 refused too,
# sessions), in one run: each round starts one server of each kind in turn
# (the order rotating from round to round), lists /big once to warm the
# server, then measures LISTS listings of /big (default 3) alternating with
# as many of the 2-entry /small (memory baseline), each with /usr/bin/time.
# Prints medians of wall time (the listing call, as nfs_list times it) and
# of peak RSS (the nfs_list process, and the worker process that did the
# protocol work: nfs_list -r), the ratios to NFSv3, and whether the targets
# hold (NFSv4.1 wall at most 1.1 x NFSv3; NFSv4.1 peak RSS of each process
# within 8 MiB of its 2-entry listing). Exits 1 when a target is missed.
# Needs root; builds nothing: BUILD_DIR must hold tools/nfs_list
# and nfs_serve.
#
#   scripts/measure-v4-listing.sh [ROUNDS]      (default 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-nfs}
rounds=${1:-5}
files=${FILES:-100000}
lists=${LISTS:-3}
list="$build/tools/nfs_list"
serve="$build/tools/nfs_serve"

if [ "${MEASURE_INSIDE:-}" = 1 ]; then
  # Inside nfs_serve: NAME is v3, v4 or v41; appends "wall rss" lines to
  # $WORK/NAME-{big,small}.
  name=$1
  "$list" "$NFS_TEST_ADDRESS" /big > /dev/null 2>&1
  for _ in $(seq "$lists"); do
    for dir in big small; do
      /usr/bin/time -f "%M" -o "$WORK/rss" "$list" -r "$NFS_TEST_ADDRESS" "/$dir" > "$WORK/out" 2> "$WORK/err"
      expected=$([ "$dir" = big ] && echo "$files" || echo 2)
      grep -qx "$expected entries" "$WORK/out" || { echo "$name /$dir: $(cat "$WORK/out" "$WORK/err")" >&2; exit 1; }
      wall=$(sed -n 's/^nfs_list: \([0-9.]*\) s$/\1/p' "$WORK/err")
      worker=$(sed -n 's/^nfs_list: worker peak RSS \([0-9]*\) KiB$/\1/p' "$WORK/err")
      echo "$wall $(cat "$WORK/rss") $worker" >> "$WORK/$name-$dir"
    done
  done
  exit 0
fi

for tool in "$list" "$serve"; do [ -x "$tool" ] || { echo "missing $tool" >&2; exit 1; }; done
WORK=$(mktemp -d)
export WORK
trap 'rm -rf "$WORK"' EXIT
kinds=(v3 v4 v41)
declare -A flags=([v3]="" [v4]="--v4-only" [v41]="--nfs41-only")
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
for round in $(seq "$rounds"); do
  for i in 0 1 2; do
    kind=${kinds[$(((i + round) % 3))]}
    # shellcheck disable=SC2086
    MEASURE_INSIDE=1 "$root/scripts/netns-run.sh" "$serve" --files "$files" ${flags[$kind]} "$0" "$kind"
  done
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A wall rss wrss
for name in v3-big v4-big v41-big v3-small v4-small v41-small; do
  wall[$name]=$(cut -d' ' -f1 "$WORK/$name" | median)
  rss[$name]=$(cut -d' ' -f2 "$WORK/$name" | median)
  wrss[$name]=$(cut -d' ' -f3 "$WORK/$name" | median)
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "listing of $files entries (and of 2), median of $((rounds * lists)) listings each, $rounds rounds"
echo
echo "Peak RSS: of nfs_list (the caller) / of its worker process (the protocol work)."
echo
echo "| server | wall (ms) | x NFSv3 | peak RSS (MiB) | 2-entry wall (ms) | 2-entry peak RSS (MiB) | RSS big - 2-entry (MiB) |"
echo "|---|---|---|---|---|---|---|"
declare -A label=([v3]="NFSv3 with MOUNT" [v4]="NFSv4.0 only" [v41]="NFSv4.1 / 4.2 only (session)")
for kind in "${kinds[@]}"; do
  awk -v l="${label[$kind]}" -v w="${wall[$kind-big]}" -v w3="${wall[v3-big]}" -v r="${rss[$kind-big]}" \
      -v ws="${wall[$kind-small]}" -v rs="${rss[$kind-small]}" \
      -v q="${wrss[$kind-big]}" -v qs="${wrss[$kind-small]}" \
      'BEGIN { printf "| %s | %.1f | %.2f | %.1f / %.1f | %.1f | %.1f / %.1f | %.2f / %.2f |\n", l, w * 1000, w / w3, r / 1024, q / 1024, ws * 1000, rs / 1024, qs / 1024, (r - rs) / 1024, (q - qs) / 1024 }'
done
echo
status=0
awk -v w="${wall[v41-big]}" -v w3="${wall[v3-big]}" 'BEGIN { r = w / w3; printf "NFSv4.1 wall / NFSv3 wall: %.2f (target <= 1.10) %s\n", r, r <= 1.10 ? "met" : "MISSED"; exit !(r <= 1.10) }' || status=1
awk -v r="${rss[v41-big]}" -v rs="${rss[v41-small]}" 'BEGIN { d = (r - rs) / 1024; printf "NFSv4.1 peak RSS of the caller, big minus 2-entry listing: %.2f MiB (target <= 8.00) %s\n", d, d <= 8 ? "met" : "MISSED"; exit !(d <= 8) }' || status=1
awk -v r="${wrss[v41-big]}" -v rs="${wrss[v41-small]}" 'BEGIN { d = (r - rs) / 1024; printf "NFSv4.1 peak RSS of the worker, big minus 2-entry listing: %.2f MiB (target <= 8.00) %s\n", d, d <= 8 ? "met" : "MISSED"; exit !(d <= 8) }' || status=1
exit $status
