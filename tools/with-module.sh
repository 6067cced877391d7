#!/usr/bin/env bash
# Runs Python with the first interpreter the build made a module for, that module on the
# path, after a line naming both. Usage: tools/with-module.sh BUILD_DIR ARGS...
set -eu
build=${1:?usage: tools/with-module.sh BUILD_DIR ARGS...}
shift
cache="$build/CMakeCache.txt"
dirs=$(sed -n 's/^VEL_MODULE_DIRS:INTERNAL=//p' "$cache")
pythons=$(sed -n 's/^VEL_MODULE_PYTHONS:INTERNAL=//p' "$cache")
dir=${dirs%%;*}
py=${pythons%%;*}
if [ -z "$dir" ] || [ -z "$py" ]; then
  echo "$(basename "$0"): no module built under $build (run make build first)" >&2
  exit 1
fi

echo "== _velorn from $dir ($("$py" -c 'import sys; print(sys.version.split()[0])'))"
PYTHONPATH="$dir" PYTHONDONTWRITEBYTECODE=1 exec "$py" "$@"
