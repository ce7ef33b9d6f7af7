#!/usr/bin/env bash
# Runs a command inside a private network and mount namespace, as the private
# NFS test servers need: only loopback (up), a fresh tmpfs on /run (rpcbind's
# sockets and state, the servers' trees) and on /var/lib/nfs, so that nothing
# on the host (a system rpcbind or ganesha, their files) is seen or touched.
# Needs root. Usage: scripts/netns-run.sh COMMAND [ARGS...]
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

if [ "${NSB_NETNS_INNER:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "$0: needs root (network and mount namespaces)" >&2
    exit 1
  fi
  exec unshare -n -m --propagation private env NSB_NETNS_INNER=1 "$0" "$@"
fi
unset NSB_NETNS_INNER

mount -t tmpfs -o mode=0755 nsb-run /run
mkdir -p /run/rpcbind /run/lock /run/ganesha
if [ -d /var/lib/nfs ]; then
  mount -t tmpfs -o mode=0755 nsb-varlibnfs /var/lib/nfs
  mkdir -p /var/lib/nfs/ganesha
fi
# Name lookups that miss the hosts file go to a resolver on loopback (where
# none listens), never to the machine's configured nameserver.
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' > /run/nsb-resolv.conf
mount --bind /run/nsb-resolv.conf /etc/resolv.conf
ip link set lo up
exec "$@"
