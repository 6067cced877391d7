"""Time and peak memory of the shapes of module whose work may grow faster than their text,
each at four sizes, as the growth exponent against input plus output.

Each call runs in a fresh interpreter (memory that an earlier call freed would hide the
growth of a later one), with the peak resident size reset before it as bench/memory.py does.
A call that stops (a bound) is shown with its message; one that runs past the time limit is
ended and shown as such. The exponent of a shape is the slope of log(time), and of
log(peak growth), over log(input + output) from its smallest size to its largest. Run with
_velorn on the path:
    tools/with-module.sh build bench/bounded.py
"""

import json
import math
import subprocess
import sys
import time

TARGET_EXPONENT = 1.2
LIMIT_SECONDS = 120
T = "f32[4]"


def wide_loop(count, params=2_000, name_length=10_000):
    """A loop whose body has many parameters, bound to one argument with a long name."""
    x = "w" * name_length
    header = ", ".join(f"p{i}: {T}" for i in range(params))
    return (f"blk(h: {T}, {header}) -> (h: {T}) {{\n  h: {T} = map[add](h, p0)\n}}\n"
            f"main(h: {T}, {x}: *) -> (h: {T}) {{\n  h: {T} = loop[blk, {count}](h, {x})\n}}\n")


def wide_call(params, name_length=40):
    """One call of a body that reads many parameters, bound to one argument."""
    x = "w" * name_length
    header = ", ".join(f"p{i}: {T}" for i in range(params))
    uses = "\n".join(f"  q{i}: {T} = map[neg](p{i})" for i in range(params))
    return (f"blk(h: {T}, {header}) -> (y: {T}) {{\n{uses}\n  y: {T} = map[neg](h)\n}}\n"
            f"main(h: {T}, {x}: *) -> (y: {T}) {{\n  y: {T} = call[blk](h, {x})\n}}\n")


def call_chain(depth, name_length=8_000):
    """A chain of calls, the entry passing one long configuration name down."""
    big = "param." + "k" * name_length
    fns = [f"f{i}(x: {T}, c: {T}) -> (y: {T}) {{\n  t: {T} = map[add](x, c)\n"
           f"  y: {T} = call[f{i + 1}](t, c)\n}}\n" for i in range(depth)]
    fns.append(f"f{depth}(x: {T}, c: {T}) -> (y: {T}) {{\n  y: {T} = map[neg](x)\n}}\n")
    return "".join(fns) + (f"main(x: {T}) -> (y: {T}) {{\n"
                           f"  y: {T} = call[f0](x, {big})\n}}\n")


def dict_params(count):
    """A call that binds many dict parameters."""
    header = ", ".join(f"w{i}: *" for i in range(count))
    args = ", ".join(f"weights.l{i}" for i in range(count))
    return (f"g(x: {T}, {header}) -> (y: {T}) {{\n  y: {T} = map[add](x, w0.q)\n}}\n"
            f"main(x: {T}, weights: *) -> (y: {T}) {{\n  y: {T} = call[g](x, {args})\n}}\n")


def cache_slots(count, dims=1_000):
    """A loop that gives every iteration a listed cache slot of a wide type."""
    wide = "f32[" + ", ".join(f"d{i % 10}" for i in range(dims)) + "]"
    keys = [f"kv.{i}" for i in range(count)]
    source = (f"i(k: {wide}) -> (s: {wide}) {{\n  s: {wide} = map[neg](k)\n}}\n"
              f"e(s: {wide}, k: {wide}) -> (n: {wide}) {{\n  n: {wide} = map[add](s, k)\n}}\n"
              f"blk(h: {wide}) -> (h: {wide}) {{\n"
              f"  c: {wide} = cache[kv.*, i, e](h)\n  h: {wide} = map[neg](h)\n}}\n"
              f"main(h: {wide}) -> (h: {wide}) {{\n  h: {wide} = loop[blk, {count}](h)\n}}\n")
    return source, keys


def local_chain(depth):
    """A chain of calls whose every level writes a local name: each name grows by a prefix a
    level, so the text grows as depth squared, and so may the time, not faster."""
    fns = [f"c{i}(x: {T}) -> (y: {T}) {{\n  t: {T} = call[c{i + 1}](x)\n"
           f"  y: {T} = map[neg](t)\n}}\n" for i in range(depth)]
    fns.append(f"c{depth}(x: {T}) -> (y: {T}) {{\n  y: {T} = map[neg](x)\n}}\n")
    return "".join(fns) + f"main(x: {T}) -> (y: {T}) {{\n  y: {T} = call[c0](x)\n}}\n"


def wide_init(params):
    """A loop of 100 iterations per parameter over a body whose cache operation passes an
    argument for each parameter of an init that reads none: a little text in, less out."""
    header = ", ".join(f"p{i}: {T}" for i in range(params))
    args = ", ".join(["h"] * params)
    return (f"e({header}) -> (h: {T}) {{\n}}\n"
            f"blk(h: {T}) -> (h: {T}) {{\n  c: {T} = cache[kv, e]({args})\n}}\n"
            f"main(h: {T}) -> (h: {T}) {{\n  h: {T} = loop[blk, {100 * params}](h)\n}}\n")


def escaped_names(count, length=1_000):
    """A loop whose body's name is control characters, each six bytes as JSON writes it (the
    bound counts them as written), given as the JSON form, which takes any name."""
    import _velorn
    source = (f"blk(h: {T}) -> (h: {T}) {{\n  NAME: {T} = map[neg](h)\n"
              f"  h: {T} = map[neg](NAME)\n}}\n"
              f"main(h: {T}) -> (h: {T}) {{\n  h: {T} = loop[blk, {count}](h)\n}}\n")
    return _velorn.parse_to_json(source).replace("NAME", "\\u0001" * length)


def many_ops(count):
    """A loop of one small operation, toward the bound on operations."""
    return (f"blk(h: {T}) -> (h: {T}) {{\n  h: {T} = map[neg](h)\n}}\n"
            f"main(h: {T}) -> (h: {T}) {{\n  h: {T} = loop[blk, {count}](h)\n}}\n")


SHAPES = {
    "loop binding 2,000 parameters to a 10,000-character argument (iterations)":
        (wide_loop, [500, 1_000, 2_000, 4_000]),
    "call binding many parameters to one argument (parameters)":
        (wide_call, [5_000, 10_000, 20_000, 40_000]),
    "call chain under an 8,000-character param. name (depth)":
        (call_chain, [250, 500, 1_000, 2_000]),
    "dict parameters of one call (parameters)":
        (dict_params, [5_000, 10_000, 20_000, 40_000]),
    "listed cache slots of a 1,000-dimension type (slots)":
        (cache_slots, [500, 1_000, 2_000, 4_000]),
    "operations of a loop (count)":
        (many_ops, [1_250_000, 2_500_000, 5_000_000, 10_000_000]),
    "call chain whose every level writes a local name (depth)":
        (local_chain, [2_500, 5_000, 10_000, 20_000]),
    "loop over a cache slot whose init has many parameters it never reads (parameters)":
        (wide_init, [1_000, 2_000, 4_000, 8_000]),
    "loop over names of 1,000 control characters (count; 1,773,314 stops)":
        (escaped_names, [4_000, 16_000, 64_000, 1_773_314]),
}


def status_kib(field):
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure(shape, size):
    """Flattens one module of one shape here: sizes, seconds and peak growth, or the stop."""
    import _velorn
    made = SHAPES[shape][0](size)
    source, keys = made if isinstance(made, tuple) else (made, [])
    module = source if source.startswith("{") else _velorn.parse_to_json(source)
    with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
        clear.write("5")
    before = status_kib("VmRSS")
    start = time.perf_counter()
    try:
        result, stopped = _velorn.flatten_json(module, "main", keys), None
    except BaseException as exc:  # PanicException derives from BaseException only
        result, stopped = "", str(exc.args[0] if exc.args else exc)
    seconds = time.perf_counter() - start
    growth = (status_kib("VmHWM") - before) * 1024
    return {"input": len(module), "output": len(result), "seconds": seconds,
            "growth": growth, "stopped": stopped}


def run_one(shape, size):
    try:
        run = subprocess.run([sys.executable, __file__, "--one", shape, str(size)],
                             capture_output=True, text=True, timeout=LIMIT_SECONDS)
    except subprocess.TimeoutExpired:
        return None
    if run.returncode != 0:
        return {"failed": run.stderr.strip().splitlines()[-1:]}
    return json.loads(run.stdout)


def exponent(first, last, key):
    x0, x1 = first["input"] + first["output"], last["input"] + last["output"]
    y0, y1 = max(first[key], 1e-9), max(last[key], 1e-9)
    return math.log(y1 / y0) / math.log(x1 / x0) if x1 != x0 else float("nan")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--one":
        print(json.dumps(measure(sys.argv[2], int(sys.argv[3]))))
        return 0
    worst = 0.0
    for shape, (_, sizes) in SHAPES.items():
        print(shape)
        done = []
        for size in sizes:
            m = run_one(shape, size)
            if m is None:
                print(f"  {size:>10,}  over {LIMIT_SECONDS} s: ended")
                break
            if "failed" in m:
                print(f"  {size:>10,}  failed: {m['failed']}")
                break
            line = (f"  {size:>10,}  input {m['input'] / 1e6:8.2f} MB  output "
                    f"{m['output'] / 1e6:8.2f} MB  {m['seconds']:8.3f} s  peak growth "
                    f"{m['growth'] / 1e6:8.1f} MB")
            if m["stopped"]:
                line += f"  stopped: {m['stopped']}"
            print(line)
            if not m["stopped"]:
                done.append(m)
        if len(done) >= 2:
            t, g = exponent(done[0], done[-1], "seconds"), exponent(done[0], done[-1], "growth")
            worst = max(worst, t, g)
            print(f"  exponent: time {t:.2f}, peak memory {g:.2f}")
    print(f"worst exponent {worst:.2f} (target at most {TARGET_EXPONENT})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
