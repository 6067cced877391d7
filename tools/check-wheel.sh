#!/usr/bin/env bash
# What a user of the wheel gets: builds the wheel of the first interpreter that BUILD_DIR
# made a module for (reusing that build), installs it into a fresh virtual environment
# with no package index, and calls the module from outside the checkout.
# Usage: tools/check-wheel.sh BUILD_DIR
set -eu
build=$(realpath "${1:?usage: tools/check-wheel.sh BUILD_DIR}")
root=$(cd "$(dirname "$0")/.." && pwd)
pythons=$(sed -n 's/^VEL_MODULE_PYTHONS:INTERNAL=//p' "$build/CMakeCache.txt")
py=${pythons%%;*}
[ -n "$py" ] || { echo "$(basename "$0"): no module built under $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
"$py" -m pip wheel --quiet --no-deps --wheel-dir "$work/dist" \
  --config-settings build-dir="$build" "$root"
wheel=$(ls "$work"/dist/*.whl)
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet "$wheel"

cd "$work"
got=$("$work/venv/bin/python" -I - <<'EOF'
import pathlib, _velorn
beside = pathlib.Path(_velorn.__file__).with_name("_velorn.pyi")
assert beside.is_file(), f"no stubs beside {_velorn.__file__}"
print(_velorn.fmt_source("f(x: f32[n]) -> (y: f32[n]) { y = map[exp](x) }"), end="")
EOF
)
expected='f(x: f32[n]) -> (y: f32[n]) {
  y = map[exp](x)
}'
if [ "$got" != "$expected" ]; then
  printf 'wheel check: fmt_source from %s gave\n%s\n' "$(basename "$wheel")" "$got" >&2
  exit 1
fi
echo "wheel check: $(basename "$wheel") installs into a fresh environment and formats"
