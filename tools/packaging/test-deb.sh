#!/usr/bin/env bash
# Builds the Debian package of a configured and built folder, installs it
# with dpkg -i, and runs the installed nasbrowse. The installation goes into
# a throw-away copy of this machine's /usr, /etc and /var (overlays in a
# mount namespace of its own, with a network namespace of its own), so the
# machine's files and package database are never changed. Needs root.
#
#   tools/packaging/test-deb.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "$0: needs root (dpkg -i in a mount namespace); run: sudo $0 $1" >&2
  exit 1
fi
rm -f "$build"/nasbrowse_*.deb
if ! log=$(cd "$build" && cpack -G DEB 2>&1); then
  echo "$log" >&2
  exit 1
fi
deb=$(ls "$build"/nasbrowse_*.deb)
echo "package: $deb"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
for needed in libnfs13 libspdlog libpugixml1v5 libfmt9 libcpp-httplib0.11 libstdc++6; do
  case ", $depends" in
    *", $needed"*) ;;
    *) echo "$0: the package does not depend on $needed" >&2; exit 1 ;;
  esac
done

scratch=$(mktemp -d /tmp/nasbrowse-deb.XXXXXX)
trap 'rmdir "$scratch"' EXIT
unshare -m -n --propagation private bash -s "$deb" "$scratch" <<'INNER'
set -euo pipefail
deb=$1
scratch=$2
mount -t tmpfs nasbrowse-deb "$scratch"
for dir in usr etc var; do
  mkdir -p "$scratch/$dir.upper" "$scratch/$dir.work"
  mount -t overlay overlay \
    -o "lowerdir=/$dir,upperdir=$scratch/$dir.upper,workdir=$scratch/$dir.work" "/$dir"
done
ip link set lo up
dpkg -i "$deb" >/dev/null
version=$(nasbrowse --version)
echo "installed: $(command -v nasbrowse): $version"
[ "$version" = "nasbrowse $(dpkg-deb --field "$deb" Version)" ]
man -w nasbrowse >/dev/null
[ -f /usr/lib/systemd/system/nasbrowse.service ]
[ -f /usr/share/bash-completion/completions/nasbrowse ]
# The browse page of serve --http, and its module, which only that command
# loads: the program itself links no HTTP, TLS or compression library.
[ -f /usr/share/nasbrowse/web/index.html ] && [ -f /usr/share/nasbrowse/web/app.js ]
[ -f /usr/lib/nasbrowse/nasbrowse-http.so ]
if ldd /usr/bin/nasbrowse | grep -E 'httplib|libssl|libcrypto|libbrotli|libz\.'; then
  echo "nasbrowse links the HTTP side's libraries" >&2
  exit 1
fi
served=$(XDG_STATE_HOME=$scratch timeout -s TERM 2 nasbrowse serve --http 127.0.0.1:0 2>&1 || true)
echo "nasbrowse serve --http: $served"
case "$served" in
  *"listening on http://127.0.0.1:"*"nasbrowse: stopped"*) ;;
  *) echo "serve --http did not run from the package" >&2; exit 1 ;;
esac
# The installed plug-in loads: an export list of a loopback address where
# nothing listens fails at once with a sentence, not with a loader error.
set +e
out=$(XDG_STATE_HOME=$scratch nasbrowse exports 127.0.0.2 --timeout 2 2>&1)
status=$?
set -e
echo "nasbrowse exports 127.0.0.2: exit $status: $out"
[ "$status" -eq 1 ]
case "$out" in *"plug-in"*) echo "the installed plug-in did not load" >&2; exit 1 ;; esac
dpkg -r nasbrowse >/dev/null
[ ! -e /usr/bin/nasbrowse ]
echo "dpkg -i, nasbrowse --version, serve --http and dpkg -r: fine"
INNER
