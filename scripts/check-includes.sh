#!/usr/bin/env bash
# The include boundary of the plug-in: its objects (share_discovery/,
# live_browse/, browse_requests/, plumbing/) include only host/ (the
# declarations of the host services and of the NFS client library) and
# their own four folders. Nothing of our stand-ins for the host
# (host_framework/, nfs_client/), of the tools, the tests or the libraries
# those hide (libnfs, spdlog, pugixml, ...). docs/ARCHITECTURE.md says why.
# Also the boundary between the NFS client library's two sides (below).
#
# Usage: scripts/check-includes.sh [ROOT]    (default: this source tree)
# Prints each include that crosses the boundary; exits 1 when there is one.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

rooms="share_discovery live_browse browse_requests plumbing"
allowed='^(host|share_discovery|live_browse|browse_requests|plumbing)/'
# Angle includes of our own folders or of the libraries behind the host layer.
directive='^[[:space:]]*#[[:space:]]*include[[:space:]]*(["<])([^">]+)[">]'
refused='^(host_framework|nfs_client|tools|nasbrowse|tests|testing|bench|nfsc|spdlog|fmt|pugixml|nlohmann|CLI|gtest|gmock|benchmark|seccomp)([/.]|$)'

status=0
files=0
for room in $rooms; do
  [ -d "$room" ] || continue
  while IFS= read -r -d '' file; do
    files=$((files + 1))
    lineno=0
    while IFS= read -r line || [ -n "$line" ]; do
      lineno=$((lineno + 1))
      [[ $line =~ $directive ]] || continue
      kind=${BASH_REMATCH[1]}
      target=${BASH_REMATCH[2]}
      if [ "$kind" = '"' ]; then
        [[ $target =~ $allowed ]] && continue
        echo "$file:$lineno: includes \"$target\": the plug-in includes only host/ and its own folders ($rooms)"
        status=1
      elif [[ $target =~ $refused ]]; then
        echo "$file:$lineno: includes <$target>: not for the plug-in (only the C and C++ libraries, the system and boost)"
        status=1
      fi
    done < "$file"
  done < <(find "$room" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.cc' \) -print0 | sort -z)
done

# The two sides of the NFS client library: what the host process links
# (nfs_client/library/) includes nothing of the worker's side
# (nfs_client/worker/) nor libnfs; what both sides share (the files directly
# in nfs_client/: paths, entry names, the frames and types that cross the
# pipe) includes neither side.
nfs_side_rule() {  # FILE -> the pattern of what FILE may not include, and why
  case $1 in
    nfs_client/library/*) echo '^(nfs_client/worker/|nfsc/)~the library side (nfs_client/library/) includes nothing of the worker side nor libnfs' ;;
    nfs_client/worker/*) echo '^nfs_client/library/~the worker side (nfs_client/worker/) includes nothing of the library side' ;;
    nfs_client/*) echo '^(nfs_client/(library|worker)/|nfsc/)~what both sides share (nfs_client/*) includes neither side nor libnfs' ;;
  esac
}
nfs_files=0
if [ -d nfs_client ]; then
  while IFS= read -r -d '' file; do
    nfs_files=$((nfs_files + 1))
    rule=$(nfs_side_rule "$file")
    pattern=${rule%%~*}
    why=${rule#*~}
    lineno=0
    while IFS= read -r line || [ -n "$line" ]; do
      lineno=$((lineno + 1))
      [[ $line =~ $directive ]] || continue
      target=${BASH_REMATCH[2]}
      if [[ $target =~ $pattern ]]; then
        echo "$file:$lineno: includes \"$target\": $why"
        status=1
      fi
    done < "$file"
  done < <(find nfs_client -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
fi

if [ "$files" -eq 0 ]; then
  echo "check-includes: no files of the plug-in under $root" >&2
  exit 2
fi
if [ "$status" -eq 0 ]; then
  echo "check-includes: the plug-in's $files files include only host/ and their own folders"
  echo "check-includes: of nfs_client's $nfs_files files, the library side includes nothing of the worker side"
fi
exit "$status"
