#!/usr/bin/env bash
# Fails, naming each file, when a tracked C++ source is off the style of .clang-format.
# The generated Unicode tables are left as their generator writes them.
set -eu
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format not found (make deps)" >&2; exit 1; }
off=""
for file in $(git ls-files '*.cpp' '*.hpp' | grep -v '^vel/src/unicode_tables.cpp$'); do
  clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || off="$off $file"
done
if [ -n "$off" ]; then
  echo "off the style of .clang-format (clang-format -i FILE):" >&2
  for file in $off; do echo "  $file" >&2; done
  exit 1
fi
echo "format check: every C++ source keeps the style of .clang-format"
