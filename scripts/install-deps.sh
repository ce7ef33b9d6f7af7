#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# demo need. Idempotent; needs root (or sudo).
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-14 libclang-rt-14-dev
  libboost-dev libspdlog-dev libfmt-dev libpugixml-dev libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libnfs-dev libnfs-utils
  nfs-ganesha nfs-ganesha-vfs rpcbind
  libxml2-utils iproute2 util-linux procps time valgrind
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: all packages present"
fi
# The distribution starts these services on install; the tests run their own
# private instances inside namespaces and need none on the host.
for svc in nfs-ganesha rpcbind rpcbind.socket; do
  $SUDO systemctl disable --now "$svc" >/dev/null 2>&1 || true
done
