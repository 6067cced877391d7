#!/usr/bin/env bash
# Runs the freshly built module on the bundled examples: formats each one, checks it, and
# flattens each with the bundled configuration. Usage: tools/demo.sh BUILD_DIR
set -eu
build=${1:?usage: tools/demo.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/tools/with-module.sh" "$build" - "$root/examples" <<'PY'
import json
import pathlib
import sys

import _velorn

examples = pathlib.Path(sys.argv[1])
# The module reports a stop on stderr; keep each report next to its heading.
sys.stdout.reconfigure(line_buffering=True)


def show(title, call):
    print(f"-- {title}")
    try:
        print(call(), end="\n\n")
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        print(f"(stopped: {error.args[0]})\n")


def pretty(text):
    return json.dumps(json.loads(text), indent=2)


for path in sorted(examples.glob("*.vel")):
    show(f"fmt_source {path.name}", lambda: _velorn.fmt_source(path.read_text(encoding="utf-8")))
    show(f"check_file {path.name}", lambda: pretty(_velorn.check_file(str(path))))

config = str(examples / "config.toml")


# The whole road: parsed, specialised by the configuration, axes resolved, flattened, and
# the weight references renamed; shown as canonical text, then as the JSON returned.
def flat(source, keys):
    text = _velorn.load_flat_json(str(examples / source), config, cache_keys=keys)
    return _velorn.fmt_json(text) + "\n" + text


for source, keys in [("mlp.vel", []), ("mlp.vel", ["seen"]), ("decode.vel", ["kc"])]:
    show(f"load_flat_json {source}, cache_keys={keys}", lambda: flat(source, keys))
PY
