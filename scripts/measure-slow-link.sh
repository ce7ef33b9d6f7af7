#!/usr/bin/env bash
# A browse over a slow link: a private NFS server (nfs_serve: /big with
# FILES empty files, /small with a folder sub/ of two files made here)
# behind the user-space delay proxy (testing/delay_proxy) at a round-trip
# time of RTT_MS (default 10), and three clients side by side on it:
# nfs-ls (libnfs-utils), our library's nfs_list tool, and
# `nasbrowse browse --via gui` (the whole network entry of the plug-in).
# Alternating runs; prints the median wall time of each, the proxy's round
# counts and the calls, then checks the slow-link targets. Rounds: busy
# periods of calls; "to 1st page": rounds up to and including the first
# READDIR / READDIRPLUS reply of any kind (on NFSv4 the export walk's READDIR
# counts too); round trips: rounds with the connection handshakes, which is
# what the wall time follows. The 2-entry folder is one page, so every
# round of its browse comes before its first entry: the round target is
# checked on its rounds. Over NFSv3 (the server
# with MOUNT) and, unless V4=0, over NFSv4 (a v4-only server; nfs-ls's
# NFSv4 listing of FILES entries is left out: it looks up every owner and
# takes minutes). Over NFSv3 the same runs also hold, on loopback (the
# server itself, no proxy) and through the proxy, `nasbrowse exports` beside
# `showmount -e`, and on loopback the 2-entry browse beside nfs-ls: each a
# fresh process, in pairs; a ratio is the median of the pairs' ratios.
# Needs root; builds nothing: BUILD_DIR (default build) must hold nasbrowse,
# the plug-in, tools/nfs_list and nfs_serve.
#
#   scripts/measure-slow-link.sh [RUNS]      (default 5 runs per client)
# Environment: BUILD_DIR, FILES (default 100000), RTT_MS (default 10), V4=0.
# Exits 1 when a target is missed, 2 when a client fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${1:-5}
files=${FILES:-100000}
rtt=${RTT_MS:-10}
proxy_addr=127.0.0.20

if [ "${SLOW_LINK_INSIDE:-}" = "" ]; then
  for tool in tools/nasbrowse tools/nfs_list tools/nfs_serve; do
    [ -x "$build/$tool" ] || { echo "missing $build/$tool" >&2; exit 2; }
  done
  command -v nfs-ls >/dev/null || { echo "nfs-ls missing (libnfs-utils)" >&2; exit 2; }
  status=0
  echo "== slow link: RTT $rtt ms (delay proxy), $files entries, $runs runs"
  SLOW_LINK_INSIDE=v3 "$root/scripts/netns-run.sh" "$build/tools/nfs_serve" --files "$files" \
    "$0" "$runs" || status=$?
  if [ "${V4:-1}" != 0 ] && [ "$status" -le 1 ]; then
    s4=0
    SLOW_LINK_INSIDE=v4 "$root/scripts/netns-run.sh" "$build/tools/nfs_serve" --files "$files" \
      --v4-only "$0" "$runs" || s4=$?
    [ "$s4" -gt "$status" ] && status=$s4
  fi
  exit "$status"
fi

# ---- inside the namespace, with the server running -------------------------
protocol=$SLOW_LINK_INSIDE
work=$(mktemp -d)
proxy_pid=
cleanup() {
  if [ -n "$proxy_pid" ]; then
    kill "$proxy_pid" 2>/dev/null || true
    wait "$proxy_pid" 2>/dev/null || true  # its SIGTERM status is not this script's
  fi
  rm -rf "$work"
}
trap cleanup EXIT

small=$NFS_TEST_ROOT/exports/2
[ -e "$small/one" ] || { echo "the /small export is not at $small" >&2; exit 2; }
mkdir -p "$small/sub"
: > "$small/sub/a"
: > "$small/sub/b"

python3 "$root/testing/delay_proxy/delay_proxy.py" serve --listen "$proxy_addr" --target "$NFS_TEST_ADDRESS" \
  --delay-ms "$(awk -v r="$rtt" 'BEGIN { print r / 2 }')" --control "$work/proxy.sock" > "$work/proxy.out" 2>&1 &
proxy_pid=$!
for _ in $(seq 200); do grep -q '^ready' "$work/proxy.out" 2>/dev/null && break; sleep 0.02; done
grep -q '^ready' "$work/proxy.out" || { echo "delay proxy did not start:" >&2; cat "$work/proxy.out" >&2; exit 2; }

report() { python3 "$root/testing/delay_proxy/delay_proxy.py" report --control "$work/proxy.sock" --reset; }
reset() { python3 "$root/testing/delay_proxy/delay_proxy.py" reset --control "$work/proxy.sock" >/dev/null; }

nfsls_url() {  # PATH
  if [ "$protocol" = v4 ]; then echo "nfs://$proxy_addr$1?version=4"; else echo "nfs://$proxy_addr$1"; fi
}

# run NAME EXPECTED COMMAND...: one timed run through the proxy; appends
# "wall rounds rounds_to_first_readdir connects round_trips" to $work/NAME and keeps the
# last run's calls in $work/NAME.calls.
run() {
  local name=$1 expected=$2
  shift 2
  reset
  local start=$EPOCHREALTIME
  if ! "$@" > "$work/out" 2> "$work/err"; then
    echo "$name failed: $*" >&2
    cat "$work/err" >&2
    exit 2
  fi
  local end=$EPOCHREALTIME
  sleep 0.05  # late replies (a client that stops listening) still count for this run
  report > "$work/report.json"
  local got
  got=$(count_entries "$name")
  if [ "$got" -lt "$expected" ]; then
    echo "$name: $got entries, expected $expected" >&2
    exit 2
  fi
  python3 - "$start" "$end" "$work/report.json" >> "$work/$name" <<'EOF'
import json, sys
r = json.load(open(sys.argv[3]))
first = r["rounds_to_first_readdir"]
print("%.4f %d %s %d %d" % (float(sys.argv[2]) - float(sys.argv[1]), r["rounds"], "-" if first is None else first,
                            r["connects"], r["round_trips"]))
EOF
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); print(" ".join("%s=%d" % kv for kv in r["calls"].items()))' \
    "$work/report.json" > "$work/$name.calls"
}

count_entries() {
  case $1 in
    nfsls-*) wc -l < "$work/out" ;;  # "." and ".." too
    lib-*) awk '/entries$/ { print $1 }' "$work/out" ;;
    nasbrowse-*) python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["items"]))' "$work/out" ;;
    exports-*) python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(len(next(v for v in d.values() if isinstance(v, list))))' "$work/out" ;;
    showmount-*) tail -n +2 "$work/out" | wc -l ;;  # a header line first
  esac
}

list=$build/tools/nfs_list
nasbrowse=$build/tools/nasbrowse
for _ in $(seq "$runs"); do
  run nfsls-small 2 nfs-ls "$(nfsls_url /small/sub)"
  run lib-small 2 "$list" -t 30000 "$proxy_addr" /small/sub
  run nasbrowse-small 2 "$nasbrowse" browse "$proxy_addr" /small/sub --via gui --format json --timeout 30
  if [ "$protocol" = v3 ]; then
    run nfsls-big "$files" nfs-ls "$(nfsls_url /big)"
    # Loopback, and the export list on both: fresh processes side by side.
    run nfsls-small-lo 2 nfs-ls "nfs://$NFS_TEST_ADDRESS/small/sub"
    run nasbrowse-small-lo 2 "$nasbrowse" browse "$NFS_TEST_ADDRESS" /small/sub --via gui --format json
    run showmount-lo 2 showmount -e "$NFS_TEST_ADDRESS"
    run exports-lo 2 "$nasbrowse" exports "$NFS_TEST_ADDRESS" --format json
    run showmount-slow 2 showmount -e "$proxy_addr"
    run exports-slow 2 "$nasbrowse" exports "$proxy_addr" --format json --timeout 30
  fi
  run lib-big "$files" "$list" -t 30000 "$proxy_addr" /big
  run nasbrowse-big "$files" "$nasbrowse" browse "$proxy_addr" /big --via gui --format json --timeout 30
done

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column_of() { [ -s "$work/$1" ] && cut -d' ' -f"$2" "$work/$1" | median || echo "-"; }

label=NFSv3
[ "$protocol" = v4 ] && label="NFSv4 (v4-only server)"
echo
echo "-- $label, RTT $rtt ms, median of $runs runs"
printf "%-30s %-16s %9s %7s %12s %9s %12s\n" client folder "wall (s)" rounds "to 1st page" connects "round trips"
if [ "$protocol" = v3 ]; then
  for name in nfsls-small-lo nasbrowse-small-lo showmount-lo exports-lo showmount-slow exports-slow; do
    case $name in
      nfsls-*) t=nfs-ls ;; nasbrowse-*) t="nasbrowse browse --via gui" ;;
      showmount-*) t="showmount -e" ;; *) t="nasbrowse exports" ;;
    esac
    case $name in *-lo) f="loopback" ;; *) f="RTT $rtt ms" ;; esac
    case $name in *small*) f="$f /small/sub (2)" ;; *) f="$f exports" ;; esac
    printf "%-30s %-16s %9.3f %7s %12s %9s %12s\n" "$t" "$f" "$(column_of "$name" 1)" "$(column_of "$name" 2)" \
      "$(column_of "$name" 3)" "$(column_of "$name" 4)" "$(column_of "$name" 5)"
  done
fi
for folder in small big; do
  for tool in nfsls lib nasbrowse; do
    name=$tool-$folder
    case $tool in nfsls) t=nfs-ls ;; lib) t="nfs_list (library)" ;; *) t="nasbrowse browse --via gui" ;; esac
    case $folder in small) f="/small/sub (2)" ;; *) f="/big ($files)" ;; esac
    if [ ! -s "$work/$name" ]; then
      printf "%-30s %-16s %9s %7s %12s %9s %12s\n" "$t" "$f" - - - - -
      continue
    fi
    printf "%-30s %-16s %9.3f %7s %12s %9s %12s\n" "$t" "$f" "$(column_of "$name" 1)" "$(column_of "$name" 2)" \
      "$(column_of "$name" 3)" "$(column_of "$name" 4)" "$(column_of "$name" 5)"
  done
done
echo
echo "calls of one run:"
for name in nfsls-small lib-small nasbrowse-small nfsls-big lib-big nasbrowse-big; do
  [ -s "$work/$name.calls" ] && printf "  %-16s %s\n" "$name" "$(cat "$work/$name.calls")"
done

missed=0
check() {  # WHAT VALUE LIMIT
  if [ "$2" = - ] || [ "$3" = - ]; then return; fi
  if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then verdict=met; else verdict=MISSED; missed=1; fi
  printf "%-62s %8s  (target <= %s)  %s\n" "$1" "$2" "$3" "$verdict"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == "-" || a == "-" || b == 0) print "-"; else printf "%.2f", a / b }'; }
# The median of the ratios of runs made side by side (line i of each).
paired() {  # NAME BASELINE
  if [ ! -s "$work/$1" ] || [ ! -s "$work/$2" ]; then echo -; return; fi
  paste -d' ' <(cut -d' ' -f1 "$work/$1") <(cut -d' ' -f1 "$work/$2") |
    awk '$2 > 0 { printf "%.4f\n", $1 / $2 }' | median | awk '{ printf "%.2f", $1 }'
}
echo
first=$(column_of nasbrowse-small 2)
if [ "$protocol" = v3 ]; then
  check "rounds before the first entry, browse at depth 1 (NFSv3)" "$first" 8
  check "2 entries: nasbrowse / nfs-ls wall (paired)" "$(paired nasbrowse-small nfsls-small)" 0.6
  check "$files entries: nasbrowse / nfs-ls wall" \
    "$(ratio "$(column_of nasbrowse-big 1)" "$(column_of nfsls-big 1)")" 0.2
  check "$files entries: nasbrowse wall (s)" "$(column_of nasbrowse-big 1)" 0.6
  check "exports: nasbrowse / showmount -e wall (paired)" "$(paired exports-slow showmount-slow)" 1.0
  check "loopback, 2 entries: nasbrowse / nfs-ls wall (paired)" \
    "$(paired nasbrowse-small-lo nfsls-small-lo)" 1.0
  check "loopback, exports: nasbrowse / showmount -e wall (paired)" \
    "$(paired exports-lo showmount-lo)" 1.0
else
  check "rounds before the first entry, browse at depth 1 (NFSv4)" "$first" 5
  check "2 entries: nasbrowse / nfs-ls wall" "$(ratio "$(column_of nasbrowse-small 1)" "$(column_of nfsls-small 1)")" 1.0
fi
exit "$missed"
