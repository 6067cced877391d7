"""Peak memory of `fmt_source` and `parse_to_json`, as a multiple of the call's input plus output,
and of `flatten_json` of a large model, as a multiple of its output.

Each call runs in a fresh interpreter, since memory that an earlier call freed stays with the
process and would hide the growth of a later one. There the peak resident size (VmHWM) is
reset to the present one through /proc/self/clear_refs, the call runs, and the growth of the
peak is divided by the bytes of the source plus those of the returned text. Run with _velorn
on the path:
    PYTHONPATH=build/cp312 python3.12 bench/memory.py
"""

import json
import random
import subprocess
import sys

import _velorn

TARGET_RATIO = 4.0
CALLS = ["fmt_source", "parse_to_json"]
DTYPES = ["f32", "bf16", "i32"]
DIMS = ["n", "d", "param.hidden", "4", "64", "1024"]


def a_type(rng):
    dims = ", ".join(rng.choice(DIMS) for _ in range(rng.randrange(4)))
    return f"{rng.choice(DTYPES)}[{dims}]"


def an_op(rng, i):
    prev = f"h{i - 1}" if i else "x"
    rhs = rng.choice([
        f'contract["n d, d e -> n e"]({prev}, w.layer{rng.randrange(12)}.proj)',
        f"map[add]({prev}, x)",
        f'fold["n d -> n", sum]({prev})',
        f'view["n (h d) -> n h d", h=8]({prev})',
        f"literal([{rng.randrange(100)}, {rng.random():.3f}])",
        f"call[helper]({prev}, 2, 0.5)",
    ])
    comment = f"  // step {i}\n" if rng.random() < 0.1 else ""
    return f"{comment}  h{i}: {a_type(rng)} = {rhs}\n"


def a_function(rng, name, ops):
    body = "".join(an_op(rng, i) for i in range(ops))
    return f"{name}(x: {a_type(rng)}, w: *) -> (y: {a_type(rng)}) {{\n{body}}}\n\n"


def long_functions():
    rng = random.Random(1)
    return "".join(a_function(rng, f"block{i}", 50_000) for i in range(4))


def small_functions():
    rng = random.Random(2)
    return "".join(a_function(rng, f"f{i}", 1) for i in range(150_000))


def typed_small_functions():
    """Small functions whose headers and lines are mostly declared types."""
    return "".join(f"f{i}(x: f32[n, d], w: *, b: f32[d]) -> (y: f32[n, d]) {{\n"
                   f"  y: f32[n, d] = map[add](x, b)\n}}\n" for i in range(150_000))


MODULES = {
    "a few long functions": long_functions,
    "150,000 small functions": small_functions,
    "150,000 small typed functions": typed_small_functions,
}

FLAT_TARGET_RATIO = 3.0
LAYER_TYPE = "f32[param.n, param.d]"
KINDS = ['map[add]', 'contract["n d, d e -> n e"]', 'view["n (h d) -> n h d", h=4]',
         'fold["n d -> n", sum]', 'map[mul]']


def chain_ops(count, first, last):
    """`count` operations threading t0, t1, ... through a rotation of kinds, each reading a
    weight of the dict parameter w; the first reads `first`, the last writes `last`."""
    lines, previous = [], first
    for k in range(count):
        name = last if k + 1 == count else f"t{k}"
        lines.append(f"  {name}: {LAYER_TYPE} = {KINDS[k % 5]}({previous}, w.p{k})\n")
        previous = name
    return "".join(lines)


def layered_model(layers):
    """A loop of `layers` layers, each a body of 100 flat operations reached through calls
    two deep and a cache slot whose init is inlined per layer: bench/bench_flatten's model."""
    t = LAYER_TYPE
    return (f"main(x: {t}, weights: *) -> (y: {t}) {{\n"
            f"  x: {t} = loop[layer, {layers}](x, weights.layers.*)\n  y: {t} = map[copy](x)\n}}\n"
            f"layer(h: {t}, w: *) -> (out: {t}) {{\n  a: {t} = call[attn](h, w.attn)\n"
            f"  c: {t} = cache[kv.*, init_kv](a, w.kv)\n" + chain_ops(30, "a", "out") + "}\n"
            f"attn(x: {t}, w: *) -> (o: {t}) {{\n  m: {t} = call[mlp](x, w.mlp)\n"
            + chain_ops(30, "m", "o") + "}\n"
            f"mlp(x: {t}, w: *) -> (o: {t}) {{\n" + chain_ops(30, "x", "o") + "}\n"
            f"init_kv(x: {t}, w: *) -> (c: {t}) {{\n" + chain_ops(10, "x", "c") + "}\n")


FLAT_MODULES = {"the 10,000-layer model": lambda: layered_model(10_000)}


def status_kib(field):
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure(module, call):
    """Runs one call on one module here; the sizes and the growth of the peak, in bytes."""
    if call == "flatten_json":
        source = _velorn.parse_to_json(FLAT_MODULES[module]())
        run = lambda: _velorn.flatten_json(source, "main")
    else:
        source = MODULES[module]()
        run = lambda: getattr(_velorn, call)(source)
    with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
        clear.write("5")
    before = status_kib("VmRSS")
    result = run()
    growth = (status_kib("VmHWM") - before) * 1024
    return {"source": len(source), "output": len(result), "growth": growth}


def run_one(module, call):
    run = subprocess.run([sys.executable, __file__, "--one", module, call],
                         capture_output=True, text=True, check=True)
    return json.loads(run.stdout)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--one":
        print(json.dumps(measure(sys.argv[2], sys.argv[3])))
        return 0
    worst = 0.0
    for module in MODULES:
        print(module)
        for call in CALLS:
            m = run_one(module, call)
            ratio = m["growth"] / (m["source"] + m["output"])
            worst = max(worst, ratio)
            print(f"  {call:14} source {m['source'] / 1e6:5.1f} MB  output "
                  f"{m['output'] / 1e6:5.1f} MB  peak growth {m['growth'] / 1e6:6.1f} MB  "
                  f"ratio {ratio:4.1f}x")
    print(f"worst ratio {worst:.1f}x (target at most {TARGET_RATIO:.0f}x)")
    # Flattening makes far more than it reads: its peak is held to its output alone, the
    # text returned and the str made of it included.
    for module in FLAT_MODULES:
        m = run_one(module, "flatten_json")
        ratio = m["growth"] / m["output"]
        print(f"flatten_json of {module}: output {m['output'] / 1e6:5.1f} MB  peak growth "
              f"{m['growth'] / 1e6:6.1f} MB  ratio {ratio:4.1f}x of the output "
              f"(target at most {FLAT_TARGET_RATIO:.0f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
