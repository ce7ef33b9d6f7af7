#!/usr/bin/env bash
# Runs a GoogleTest executable as NSB_HOSTILE_SHARDS shards side by side
# (default 1), each in a private namespace of its own (scripts/netns-run.sh:
# every peer of the catalogue listens on the same address). Most of a
# catalogue case is waiting out a timeout, so the shards share the CPUs
# well (the NFSv3 road: 193 s as one shard, 98 s as four, 60 s of CPU
# either way); but a case's bound is its timeout + 2 s, and the cases whose
# peer sends one-byte fragments need a CPU for the peer within it: on a
# machine busy with other work, several shards at once have missed it. Each shard's output follows the one before, whole; the exit status is
# the first failing shard's.
#
#   run-shards.sh NETNS_RUN EXECUTABLE [ARGS...]
set -uo pipefail
netns_run=$1
shift
shards=${NSB_HOSTILE_SHARDS:-1}
logs=$(mktemp -d /tmp/nsb-shards.XXXXXX)
trap 'rm -rf "$logs"' EXIT
pids=()
for ((i = 0; i < shards; i++)); do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$netns_run" "$@" >"$logs/$i" 2>&1 &
  pids+=($!)
done
status=0
for ((i = 0; i < shards; i++)); do
  wait "${pids[$i]}"
  code=$?
  echo "=== shard $((i + 1)) of $shards: exit $code"
  cat "$logs/$i"
  [ "$status" -ne 0 ] || status=$code
done
exit "$status"
