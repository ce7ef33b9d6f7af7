#!/usr/bin/env bash
# The layout of the C and C++ sources (.clang-format): lists every tracked
# file that clang-format 14 would change and exits 1 when there is one.
# `scripts/check-format.sh --fix` formats them in place instead.
#
# Usage: scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
format=${CLANG_FORMAT:-clang-format-14}
command -v "$format" >/dev/null || { echo "check-format: $format is not installed (apt-get install clang-format-14)" >&2; exit 2; }

mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.cc' '*.c' '*.h' '*.hpp')
if [ "${1:-}" = --fix ]; then
  "$format" -i -- "${files[@]}"
  exit 0
fi
bad=0
for file in "${files[@]}"; do
  if ! "$format" --dry-run --Werror -- "$file" >/dev/null 2>&1; then
    echo "check-format: $file is not formatted (scripts/check-format.sh --fix)"
    bad=$((bad + 1))
  fi
done
echo "check-format: ${#files[@]} files, $bad not formatted"
[ "$bad" -eq 0 ]
