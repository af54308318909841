#!/usr/bin/env bash
# Formats every C and C++ source of the project with clang-format and the
# house style in .clang-format.
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   change nothing; list the files that differ and fail if any do
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  differ=0
  for f in "${files[@]}"; do
    if ! clang-format --style=file "$f" | cmp -s - "$f"; then
      echo "format: $f differs from the house style (scripts/format.sh fixes it)"
      differ=1
    fi
  done
  [ "$differ" -eq 0 ] && echo "format: ${#files[@]} files in the house style"
  exit "$differ"
fi
clang-format --style=file -i "${files[@]}"
