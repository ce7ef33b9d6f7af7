#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# demo need. Idempotent; needs root (or sudo).
#
# It never stops, disables or reconfigures a service of this machine. Packages
# such as rpcbind and nfs-ganesha start their service when installed; while
# this script installs, a temporary policy-rc.d answers 101 ("action not
# allowed") so that nothing is started, and it is removed afterwards (an
# existing policy-rc.d is put back as it was). The tests and the demo run
# private servers inside namespaces of their own and need no system service.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-14 libclang-rt-14-dev clang-format-14
  libboost-dev libspdlog-dev libfmt-dev libpugixml-dev libcli11-dev nlohmann-json3-dev
  libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev libseccomp-dev
  libnfs-dev libnfs-utils
  nfs-ganesha nfs-ganesha-vfs rpcbind
  krb5-kdc krb5-admin-server krb5-user libkrb5-dev libssl-dev faketime
  libxml2-utils iproute2 util-linux procps time valgrind python3
  chromium nodejs curl
)
# Debian's nodejs comes without npm; a nodejs from elsewhere may bring its own.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# The browser test's driver, puppeteer-core, pinned by tests/browser's
# package-lock.json (no browser download: it drives Debian's chromium).
browser_deps() {
  local dir
  dir="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
  if [ -d "$dir/node_modules/puppeteer-core" ] &&
     cmp -s "$dir/package-lock.json" "$dir/node_modules/.package-lock.json.installed"; then
    return
  fi
  echo "install-deps: npm ci in tests/browser"
  (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --ignore-scripts >/dev/null)
  cp "$dir/package-lock.json" "$dir/node_modules/.package-lock.json.installed"
}
trap browser_deps EXIT

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

policy=/usr/sbin/policy-rc.d
saved=""
restore_policy() {
  if [ -n "$saved" ]; then
    $SUDO mv -f "$saved" "$policy"
  else
    $SUDO rm -f "$policy"
  fi
}
if [ -e "$policy" ]; then
  saved=$($SUDO mktemp /usr/sbin/.policy-rc.d.saved.XXXXXX)
  $SUDO cp -p "$policy" "$saved"
fi
trap 'restore_policy; browser_deps' EXIT
printf '#!/bin/sh\n# install-deps.sh: no service starts while it installs\nexit 101\n' |
  $SUDO tee "$policy" >/dev/null
$SUDO chmod 755 "$policy"

$SUDO apt-get update -qq
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
