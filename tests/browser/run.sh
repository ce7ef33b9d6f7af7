#!/usr/bin/env bash
# The browse page in a real headless browser. Run by ctest (browser_page):
#   scripts/netns-run.sh NFS_SERVE tests/browser/run.sh NASBROWSE OUT_DIR [--bench]
# inside the private NFS test server of nfs_serve (exports /big with 100,000
# files and /small with two). Starts `nasbrowse serve --http`, drives the
# page with puppeteer-core and Debian's chromium (page.test.mjs), saves the
# screenshots in OUT_DIR, then stops the daemon.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
nasbrowse=${1:?nasbrowse program}
out=${2:?output folder}
shift 2
server=${NFS_TEST_ADDRESS:?run inside nfs_serve}

if [ ! -d "$here/node_modules/puppeteer-core" ]; then
  echo "run.sh: puppeteer-core is missing; run scripts/install-deps.sh (npm ci in tests/browser)" >&2
  exit 1
fi
mkdir -p "$out"
export XDG_STATE_HOME="$out/state"
log="$out/daemon.log"
"$nasbrowse" serve --http 127.0.0.1:0 2>"$log" &
daemon=$!
stop() { kill -TERM "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; }
trap stop EXIT
url=""
for _ in $(seq 200); do
  url=$(sed -n 's/^listening on \(http:.*\)$/\1/p' "$log")
  [ -n "$url" ] && break
  kill -0 "$daemon" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$url" ]; then
  echo "run.sh: the daemon printed no address:" >&2
  cat "$log" >&2
  exit 1
fi
status=0
DAEMON_PID=$daemon NASBROWSE="$nasbrowse" timeout 300 node "$here/page.test.mjs" "$url" "$server" "$out" "$@" || status=$?
if [ "$status" -ne 0 ]; then
  echo "run.sh: the daemon's log:" >&2
  tail -n 40 "$log" >&2
fi
exit "$status"
