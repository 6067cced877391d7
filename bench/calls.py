"""The ten functions timed from Python, per call: on the bundled example, on a generated
model of 1,000 layers and on the empty input; `fmt_source("")` beside a no-op function of
the same calling convention; and `load_flat_json` on generated models from their files, from
10 to 10,000 layers, per flat operation. Run with _velorn on the path and the bench build
directory, which holds the no-op module, as the argument (make bench does):
    tools/with-module.sh build bench/calls.py build/bench
"""

import contextlib
import json
import os
import pathlib
import resource
import statistics
import sys
import tempfile
import timeit

EMPTY_RATIO_TARGET = 2.5  # fmt_source("") against the no-op call
LINEAR_TOLERANCE = 0.30  # time per flat operation against the median of the sizes
LARGEST_SECONDS = 5.0  # load_flat_json of the 10,000-layer model
LAYERS = [10, 100, 1_000, 10_000]
ROUND_SECONDS = 0.2  # each timing round runs at least this long
ROUNDS = 5

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(ROOT / "tests" / "py"))
from velorn_support import quiet_fd2  # noqa: E402  (failure reports go nowhere)

BLOCKS = """\
// A generated stack of residual feed-forward blocks, each with its own weights.

dense(x: f32[n, i], w: *) -> (y: f32[n, o]) {
  xw: f32[n, o] = contract["n i, i o -> n o"](x, w.weight)
  b : f32[n, o] = tile["o -> n o"](w.bias)
  y : f32[n, o] = map[add](xw, b)
}

block(x: f32[n, param.d_model], w: *) -> (y: f32[n, param.d_model]) {
  g   : f32[n, param.n_groups, param.d_group] = view["n (g e) -> n g e"](x)
  sq  : f32[n, param.n_groups, param.d_group] = map[mul](g, g)
  ms  : f32[n, param.n_groups]                = fold["n g e -> n g", mean](sq)
  inv : f32[n, param.n_groups]                = map[rsqrt](ms)
  invb: f32[n, param.n_groups, param.d_group] = tile["n g -> n g e"](inv)
  gn  : f32[n, param.n_groups, param.d_group] = map[mul](g, invb)
  xn  : f32[n, param.d_model]                 = view["n g e -> n (g e)"](gn)
  up  : f32[n, param.d_hidden]                = call[dense](xn, w.up)
  act : f32[n, param.d_hidden]                = map[gelu](up)
  down: f32[n, param.d_model]                 = call[dense](act, w.down)
  y   : f32[n, param.d_model]                 = map[add](x, down)
}

embed(
  table: f32[param.vocab, param.d_model],
  ids  : i32[param.batch]
) -> (h: f32[param.batch, param.d_model]) {
  h: f32[param.batch, param.d_model] = read["v d, b -> b d"](table, ids)
}

seen_init(h: f32[b, d]) -> (s: f32[b, d]) {
  s: f32[b, d] = map[copy](h)
}

seen_extend(s: f32[b, d], h: f32[b, d]) -> (next: f32[b, d]) {
  next: f32[b, d] = map[add](s, h)
}
"""

MODEL_CONFIG = """\
[shape]
batch = 2
vocab = 16
d_model = 8
d_hidden = 32
n_groups = 2
d_group = 4

[weights]
embed = "model.embed_tokens.weight"

[weights.blocks.up]
weight = "model.layers.{}.mlp.up_proj.weight"
bias = "model.layers.{}.mlp.up_proj.bias"

[weights.blocks.down]
weight = "model.layers.{}.mlp.down_proj.weight"
bias = "model.layers.{}.mlp.down_proj.bias"
"""


def model_source(layers):
    """A model whose entry calls one block per layer, each on its own weights."""
    state = "f32[param.batch, param.d_model]"
    lines = [f"  h0: {state} = call[embed](weights.embed, tokens)"]
    lines += [f"  h{i + 1}: {state} = call[block](h{i}, weights.blocks.{i})"
              for i in range(layers)]
    lines += [f"  seen: {state} = cache[seen, seen_init, seen_extend](h{layers})",
              f'  logits: f32[param.batch, param.vocab] = contract["b d, v d -> b v"]'
              f"(h{layers}, weights.embed)"]
    body = "\n".join(lines)
    return (f"{BLOCKS}\nmain(tokens: i32[param.batch], weights: *) -> "
            f"(logits: f32[param.batch, param.vocab]) {{\n{body}\n}}\n")


def config_json(toml_text):
    """The values of the tables that load_config reads, as resolve_json takes them."""
    import tomllib
    tables = tomllib.loads(toml_text)
    values = {}
    for name in ("shape", "scalar", "vector"):
        values.update(tables.get(name, {}))
    return json.dumps(values)


def per_call(function, *args, raises=False):
    """The least time of one call over the rounds, in seconds."""
    names = [f"a{i}" for i in range(len(args))]
    call = f"f({', '.join(names)})"
    stmt = f"try:\n    {call}\nexcept BaseException:\n    pass" if raises else call
    timer = timeit.Timer(stmt, globals={"f": function, **dict(zip(names, args))})
    with quiet_fd2() if raises else contextlib.nullcontext():
        number, _ = timer.autorange()
        number = max(1, int(number * ROUND_SECONDS / 0.2))
        return min(timer.repeat(ROUNDS, number)) / number


class Inputs:
    """What the ten functions take for one model: its files, texts and JSON forms."""

    def __init__(self, M, name, stem, source, toml_text, directory, keys=()):
        self.name = name
        self.vel = str(directory / f"{stem}.vel")
        self.toml = str(directory / f"{stem}.toml")
        pathlib.Path(self.vel).write_text(source, "utf-8")
        pathlib.Path(self.toml).write_text(toml_text, "utf-8")
        self.source = source
        self.config_json = config_json(toml_text)
        self.module_json = M.parse_to_json(source)
        self.resolved_json = M.resolve_json(self.module_json, self.config_json)
        self.keys = list(keys)


def roads(M, inputs):
    """Each function with its arguments for one set of inputs."""
    i = inputs
    return [
        ("load_flat_json", M.load_flat_json, (i.vel, i.toml, "main", i.keys)),
        ("parse_to_json", M.parse_to_json, (i.source,)),
        ("resolve_json", M.resolve_json, (i.module_json, i.config_json)),
        ("flatten_json", M.flatten_json, (i.resolved_json, "main", i.keys)),
        ("infer_axes_json", M.infer_axes_json, (i.module_json,)),
        ("check_json", M.check_json, (i.module_json,)),
        ("fmt_source", M.fmt_source, (i.source,)),
        ("fmt_json", M.fmt_json, (i.module_json,)),
        ("check_file", M.check_file, (i.vel,)),
        ("fmt_file", M.fmt_file, (i.vel,)),
    ]


def raises(function, args):
    with quiet_fd2():
        try:
            function(*args)
        except BaseException:  # PanicException derives from BaseException only
            return True
    return False


def shown(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:10.3f} us"
    return f"{seconds * 1e3:10.3f} ms"


def ten_functions(M, sets):
    print("The ten functions, per call (least of "
          f"{ROUNDS} rounds; a function that raises on the input is timed raising):")
    header = f"  {'function':16}" + "".join(f"{s.name:>24}" for s in sets)
    print(header)
    table = [roads(M, s) for s in sets]
    for row in zip(*table):
        cells = []
        for name, function, args in row:
            failing = raises(function, args)
            cell = shown(per_call(function, *args, raises=failing))
            cells.append(f"{cell}{' (raises)' if failing else '':9}")
        print(f"  {row[0][0]:16}" + "".join(f"{c:>24}" for c in cells))
    print()


def empty_call(M, noop):
    # Rounds of the three taken in turn, so that a change of the machine's pace between
    # them does not tilt the ratio; the least of each.
    timers = [timeit.Timer("f(s)", globals={"f": f, "s": ""})
              for f in (M.fmt_source, noop.noop, len)]
    number = max(t.autorange()[0] for t in timers)
    best = [float("inf")] * len(timers)
    for _ in range(ROUNDS * 2):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number)
    fmt, floor, length = best
    ratio = fmt / floor
    print('fmt_source("") beside calls that do nothing:')
    print(f"  fmt_source(\"\")     {fmt * 1e6:8.4f} us")
    print(f"  noop(\"\")           {floor * 1e6:8.4f} us   (METH_FASTCALL | METH_KEYWORDS)")
    print(f"  len(\"\")            {length * 1e6:8.4f} us")
    verdict = "met" if ratio <= EMPTY_RATIO_TARGET else "NOT met"
    print(f"  ratio {ratio:.2f}x the no-op (target at most {EMPTY_RATIO_TARGET}x): {verdict}")
    print()


def flat_ops(result):
    return sum(len(fn["ops"]) for fn in json.loads(result)["functions"].values())


def linear_road(M, directory):
    print("load_flat_json on generated models from their files:")
    rows = []
    for layers in LAYERS:
        inputs = Inputs(M, f"{layers} layers", f"layers{layers}", model_source(layers),
                        MODEL_CONFIG, directory)
        args = (inputs.vel, inputs.toml, "main", [])
        ops = flat_ops(M.load_flat_json(*args))
        timer = timeit.Timer(lambda: M.load_flat_json(*args))
        number, _ = timer.autorange()
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        seconds = min(timer.repeat(ROUNDS, number)) / number
        faults = (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults) / (ROUNDS * number)
        rows.append((layers, ops, seconds, faults))
    median = statistics.median(seconds / ops for _, ops, seconds, _ in rows)
    linear = True
    for layers, ops, seconds, faults in rows:
        deviation = seconds / ops / median - 1
        linear = linear and abs(deviation) <= LINEAR_TOLERANCE
        print(f"  {layers:6} layers {ops:8} flat ops {shown(seconds)}  "
              f"{seconds / ops * 1e6:7.3f} us per op ({deviation:+6.1%} from the median)  "
              f"{faults:8.0f} page faults per call")
    largest = rows[-1][2]
    fast = largest < LARGEST_SECONDS
    print(f"  per op within +-{LINEAR_TOLERANCE:.0%} of the median: "
          f"{'met' if linear else 'NOT met'}")
    print(f"  {LAYERS[-1]:,} layers under {LARGEST_SECONDS:.0f} s: "
          f"{'met' if fast else 'NOT met'} ({largest:.3f} s)")
    print()


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    import _velorn as M
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    sys.path.insert(0, str(pathlib.Path(sys.argv[1]) / tag))
    import velorn_bench_noop as noop

    with tempfile.TemporaryDirectory() as scratch:
        directory = pathlib.Path(scratch)
        example_toml = (EXAMPLES / "config.toml").read_text("utf-8")
        sets = [
            Inputs(M, "example mlp.vel", "mlp", (EXAMPLES / "mlp.vel").read_text("utf-8"),
                   example_toml, directory),
            Inputs(M, "1,000 layers", "layers", model_source(1_000), MODEL_CONFIG, directory),
            Inputs(M, "empty input", "empty", "", "", directory),
        ]
        ten_functions(M, sets)
        empty_call(M, noop)
        linear_road(M, directory)
    return 0


if __name__ == "__main__":
    sys.exit(main())
