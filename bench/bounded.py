"""Time and peak memory of the shapes of input whose work may grow faster than what they read
and write, each at four sizes, as the growth exponent against input plus output; and names
made to collide in a fixed-seed hash, timed against random names of the same length.

Each call runs in a fresh interpreter (memory that an earlier call freed would hide the
growth of a later one), with the peak resident size reset before it as bench/memory.py does.
A call that stops (a bound) is shown with its message; one that runs past the time limit is
ended and shown as such. The exponent of a shape is the slope of log(time), and of
log(peak growth), over log(input + output) from its smallest size to its largest. Run with
_velorn on the path (a shape's or a road's name as an argument runs those alone):
    tools/with-module.sh build bench/bounded.py
"""

import atexit
import json
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import _velorn

TARGET_EXPONENT = 1.2
TARGET_CRAFTED_RATIO = 1.5
LIMIT_SECONDS = 120
T = "f32[4]"


# --- flattening ---

def flattening(source, keys=()):
    return "flatten_json", (_velorn.parse_to_json(source), "main", list(keys))


def wide_loop(count, params=2_000, name_length=10_000):
    """A loop whose body has many parameters, bound to one argument with a long name."""
    x = "w" * name_length
    header = ", ".join(f"p{i}: {T}" for i in range(params))
    return flattening(
        f"blk(h: {T}, {header}) -> (h: {T}) {{\n  h: {T} = map[add](h, p0)\n}}\n"
        f"main(h: {T}, {x}: *) -> (h: {T}) {{\n  h: {T} = loop[blk, {count}](h, {x})\n}}\n")


def wide_call(params, name_length=40):
    """One call of a body that reads many parameters, bound to one argument."""
    x = "w" * name_length
    header = ", ".join(f"p{i}: {T}" for i in range(params))
    uses = "\n".join(f"  q{i}: {T} = map[neg](p{i})" for i in range(params))
    return flattening(
        f"blk(h: {T}, {header}) -> (y: {T}) {{\n{uses}\n  y: {T} = map[neg](h)\n}}\n"
        f"main(h: {T}, {x}: *) -> (y: {T}) {{\n  y: {T} = call[blk](h, {x})\n}}\n")


def call_chain(depth, name_length=8_000):
    """A chain of calls, the entry passing one long configuration name down."""
    big = "param." + "k" * name_length
    fns = [f"f{i}(x: {T}, c: {T}) -> (y: {T}) {{\n  t: {T} = map[add](x, c)\n"
           f"  y: {T} = call[f{i + 1}](t, c)\n}}\n" for i in range(depth)]
    fns.append(f"f{depth}(x: {T}, c: {T}) -> (y: {T}) {{\n  y: {T} = map[neg](x)\n}}\n")
    return flattening("".join(fns) + (f"main(x: {T}) -> (y: {T}) {{\n"
                                      f"  y: {T} = call[f0](x, {big})\n}}\n"))


def dict_params(count):
    """A call that binds many dict parameters."""
    header = ", ".join(f"w{i}: *" for i in range(count))
    args = ", ".join(f"weights.l{i}" for i in range(count))
    return flattening(
        f"g(x: {T}, {header}) -> (y: {T}) {{\n  y: {T} = map[add](x, w0.q)\n}}\n"
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
    return flattening(source, keys)


def local_chain(depth):
    """A chain of calls whose every level writes a local name: each name grows by a prefix a
    level, so the text grows as depth squared, and so may the time, not faster."""
    fns = [f"c{i}(x: {T}) -> (y: {T}) {{\n  t: {T} = call[c{i + 1}](x)\n"
           f"  y: {T} = map[neg](t)\n}}\n" for i in range(depth)]
    fns.append(f"c{depth}(x: {T}) -> (y: {T}) {{\n  y: {T} = map[neg](x)\n}}\n")
    return flattening("".join(fns) + f"main(x: {T}) -> (y: {T}) {{\n  y: {T} = call[c0](x)\n}}\n")


def wide_init(params):
    """A loop of 100 iterations per parameter over a body whose cache operation passes an
    argument for each parameter of an init that reads none: a little text in, less out."""
    header = ", ".join(f"p{i}: {T}" for i in range(params))
    args = ", ".join(["h"] * params)
    return flattening(
        f"e({header}) -> (h: {T}) {{\n}}\n"
        f"blk(h: {T}) -> (h: {T}) {{\n  c: {T} = cache[kv, e]({args})\n}}\n"
        f"main(h: {T}) -> (h: {T}) {{\n  h: {T} = loop[blk, {100 * params}](h)\n}}\n")


def escaped_names(count, length=1_000):
    """A loop whose body's name is control characters, each six bytes as JSON writes it (the
    bound counts them as written), given as the JSON form, which takes any name."""
    source = (f"blk(h: {T}) -> (h: {T}) {{\n  NAME: {T} = map[neg](h)\n"
              f"  h: {T} = map[neg](NAME)\n}}\n"
              f"main(h: {T}) -> (h: {T}) {{\n  h: {T} = loop[blk, {count}](h)\n}}\n")
    module = _velorn.parse_to_json(source).replace("NAME", "\\u0001" * length)
    return "flatten_json", (module, "main", [])


def many_returns(count):
    """A call of a body with many returns, each written once."""
    returns = ", ".join(f"r{i}: {T}" for i in range(count))
    ops = "".join(f"  r{i}: {T} = map[neg](x)\n" for i in range(count))
    outputs = ", ".join(f"o{i}" for i in range(count))
    return flattening(f"g(x: {T}) -> ({returns}) {{\n{ops}}}\n"
                      f"main(x: {T}) -> (o0: {T}) {{\n  {outputs} = call[g](x)\n}}\n")


def many_ops(count):
    """A loop of one small operation, toward the bound on operations."""
    return flattening(f"blk(h: {T}) -> (h: {T}) {{\n  h: {T} = map[neg](h)\n}}\n"
                      f"main(h: {T}) -> (h: {T}) {{\n  h: {T} = loop[blk, {count}](h)\n}}\n")


# --- checking: many inputs, views or calls of one wide type ---

def ones(n):
    return "f32[" + ", ".join(["1"] * n) + "]"


def checking(source):
    return "check_json", (_velorn.parse_to_json(source),)


def map_findings(n):
    """n inputs of an n-dimension type after one of another shape: a finding per input."""
    return checking(f"f(x: {ones(n)}, z: f32[2]) -> (y: f32[2]) {{\n"
                    f"  y: f32[2] = map[add](z{', x' * n})\n}}\n")


def map_agreeing(n):
    """n equal inputs of an n-dimension type: no finding at all."""
    return checking(f"f(x: {ones(n)}) -> (y: {ones(n)}) {{\n"
                    f"  y: {ones(n)} = map[add](x{', x' * (n - 1)})\n}}\n")


def views_of_one(n):
    """n views of one input of an n-dimension type."""
    views = "".join(f'  v{i}: f32[1] = view["a -> a"](x)\n' for i in range(n))
    return checking(f"f(x: {ones(n)}) -> (y: f32[1]) {{\n{views}  y: f32[1] = map[neg](v0)\n}}\n")


def calls_passing_one_weight(n):
    """n calls passing one weight to a parameter of an n-dimension type."""
    calls = "".join(f"  y{i}: f32[1] = call[g](weights.w)\n" for i in range(n))
    return checking(f"g(w: {ones(n)}) -> (y: f32[1]) {{\n  y: f32[1] = fold[\"... -> a\", sum](w)\n}}\n"
                    f"main(weights: *) -> (y0: f32[1]) {{\n{calls}}}\n")


# --- formatting: text aligned to one wide line ---

def aligned_to_a_long_name(n):
    """One output name of n characters, then n short lines aligned to it."""
    lines = "".join(f"  y: f32[4] = map[neg](x)\n" for _ in range(n))
    return "fmt_source", (f"f(x: f32[4]) -> (y: f32[4]) {{\n  {'y' * n}: f32[4] = map[neg](x)\n"
                          f"{lines}}}\n",)


def aligned_to_a_wide_type(n):
    """One output of an n-dimension type, then n short lines aligned to it."""
    lines = "".join(f"  y = map[neg](x)\n" for _ in range(n))
    return "fmt_source", (f"f(x: f32[4]) -> (y: f32[4]) {{\n  w: {ones(n)} = map[neg](x)\n"
                          f"{lines}}}\n",)


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
    "call of a body with many returns (returns)":
        (many_returns, [5_000, 10_000, 20_000, 40_000]),
    "operations of a loop (count)":
        (many_ops, [1_250_000, 2_500_000, 5_000_000, 10_000_000]),
    "call chain whose every level writes a local name (depth)":
        (local_chain, [2_500, 5_000, 10_000, 20_000]),
    "loop over a cache slot whose init has many parameters it never reads (parameters)":
        (wide_init, [1_000, 2_000, 4_000, 8_000]),
    "loop over names of 1,000 control characters (count; 1,773,314 stops)":
        (escaped_names, [4_000, 16_000, 64_000, 1_773_314]),
    "check: map of n inputs of an n-dimension type after another shape (n)":
        (map_findings, [1_000, 2_000, 4_000, 8_000]),
    "check: map of n equal inputs of an n-dimension type (n)":
        (map_agreeing, [12_500, 25_000, 50_000, 100_000]),
    "check: n views of one n-dimension input (n)":
        (views_of_one, [12_500, 25_000, 50_000, 100_000]),
    "check: n calls passing one weight to an n-dimension parameter (n)":
        (calls_passing_one_weight, [12_500, 25_000, 50_000, 100_000]),
    "fmt: n lines aligned to an n-character name (n)":
        (aligned_to_a_long_name, [2_000, 4_000, 8_000, 16_000]),
    "fmt: n lines aligned to an n-dimension type (n)":
        (aligned_to_a_wide_type, [2_000, 4_000, 8_000, 16_000]),
}


# --- names that share one hash under the standard library's fixed-seed hash ---
#
# That hash adds each 8-byte word w of a text as h = (h ^ mix(w)) * M, and mix is invertible.
# Two words whose mixes differ only in the top bit leave states that differ only in the top
# bit, whatever came before (M is odd); the same pair of words again cancels it. So the
# units "aa" and "bb" are interchangeable, and 17 units give 2^17 texts of one hash, for
# every seed.

M64 = (1 << 64) - 1
MUL = 0xC6A4A7935BD1E995
MUL_INVERSE = pow(MUL, -1, 1 << 64)
TOP = 1 << 63
# Characters that every road takes as they are, in JSON, TOML and a quoted source pattern
# alike (with escapes where needed).
ALPHABET = bytes(c for c in range(1, 127) if chr(c) not in '"\\\n\r')
NAMES = 1 << 17
PREFIX = "crafted "  # one word; the space makes a source pattern of it
UNIT_BITS = 17


def mix(word):
    x = word * MUL & M64
    return (x ^ x >> 47) * MUL & M64


def unmix(value):
    x = value * MUL_INVERSE & M64
    return (x ^ x >> 47) * MUL_INVERSE & M64


def colliding_pair(rng):
    """Two 8-character words of ALPHABET whose mixes differ only in the top bit."""
    allowed = frozenset(ALPHABET)
    while True:
        a = bytes(rng.choices(ALPHABET, k=8))
        b = unmix(mix(int.from_bytes(a, "little")) ^ TOP).to_bytes(8, "little")
        if allowed.issuperset(b):
            return a.decode("ascii"), b.decode("ascii")


def crafted_names(count=NAMES, seed=1):
    a, b = colliding_pair(random.Random(seed))
    return [PREFIX + "".join(a + a if i >> bit & 1 else b + b for bit in range(UNIT_BITS))
            for i in range(count)]


def random_names(count=NAMES, seed=1):
    """Names of the same words in random pairs, and reversed: the same characters, as many
    escapes, and hashes as random as any."""
    a, b = colliding_pair(random.Random(seed))
    words = [a, b, a[::-1], b[::-1]]
    rng = random.Random(seed)
    return [PREFIX + "".join(rng.choices(words, k=2 * UNIT_BITS)) for _ in range(count)]


def toml_key(name):
    return '"' + "".join(c if 0x20 <= ord(c) < 0x7F else f"\\u{ord(c):04x}" for c in name) + '"'


def road_parse(names):
    ops = "".join(f'  y: {T} = view["{n}"](x)\n' for n in names)
    return "parse_to_json", (f"f(x: {T}) -> (y: {T}) {{\n{ops}}}\n",)


def road_check(names):
    ops = "".join(f"  o{i}: {T} = map[neg](x)\n" for i in range(len(names)))
    doc = json.loads(_velorn.parse_to_json(f"f(x: {T}) -> (y: {T}) {{\n{ops}  y: {T} = map[neg](x)\n}}\n"))
    for op, name in zip(doc["functions"]["f"]["ops"], names):
        op["outputs"] = [name]
    return "check_json", (json.dumps(doc, separators=(",", ":")),)


def road_resolve(names):
    module = _velorn.parse_to_json(f"f(x: f32[param.d]) -> (y: f32[param.d]) {{\n"
                                   f"  y: f32[param.d] = map[neg](x)\n}}\n")
    return "resolve_json", (module, json.dumps(dict.fromkeys(names, 4), separators=(",", ":")))


def road_flatten(names):
    """The cache key set that flatten_json builds before it flattens."""
    return flattening(f"main(x: {T}) -> (y: {T}) {{\n  y: {T} = map[neg](x)\n}}\n", names)


def road_load_flat(names):
    folder = tempfile.mkdtemp()
    atexit.register(shutil.rmtree, folder, True)
    vel_path, config_path = os.path.join(folder, "m.vel"), os.path.join(folder, "c.toml")
    with open(vel_path, "w", encoding="utf-8") as f:
        f.write(f"main(x: f32[param.d], weights: *) -> (y: f32[param.d]) {{\n"
                f"  y: f32[param.d] = map[add](x, weights.w)\n}}\n")
    with open(config_path, "w", encoding="utf-8") as f:
        f.write("[shape]\nd = 4\n" + "".join(f"{toml_key(n)} = 1\n" for n in names))
        f.write("[weights]\nw = \"w\"\n" + "".join(f'{toml_key(n)} = "t"\n' for n in names))
    return "load_flat_json", (vel_path, config_path)


ROADS = {
    "parse_to_json: source patterns": road_parse,
    "check_json: value names": road_check,
    "resolve_json: configuration names": road_resolve,
    "flatten_json: the cache key set": road_flatten,
    "load_flat_json: configuration and weight keys": road_load_flat,
}
KINDS = {"crafted": crafted_names, "random": random_names}


# --- measuring ---

def status_kib(field):
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def size_of(arg):
    if isinstance(arg, list):
        return sum(len(a) for a in arg)
    if isinstance(arg, str) and os.path.isfile(arg):
        return os.path.getsize(arg)
    return len(arg)


def timed(function, args):
    """Calls one function here: sizes, seconds and peak growth, or the stop."""
    with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
        clear.write("5")
    before = status_kib("VmRSS")
    start = time.perf_counter()
    try:
        result, stopped = getattr(_velorn, function)(*args), None
    except BaseException as exc:  # PanicException derives from BaseException only
        result, stopped = "", str(exc.args[0] if exc.args else exc)
    seconds = time.perf_counter() - start
    growth = (status_kib("VmHWM") - before) * 1024
    return {"input": sum(size_of(a) for a in args), "output": len(result), "seconds": seconds,
            "growth": growth, "stopped": stopped[:200] if stopped else None}


def measure_shape(shape, size):
    return timed(*SHAPES[shape][0](size))


def measure_road(road, kind):
    return timed(*ROADS[road](KINDS[kind]()))


def run_one(*what):
    try:
        run = subprocess.run([sys.executable, __file__, "--one", *what],
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


def shown(m):
    line = (f"input {m['input'] / 1e6:8.2f} MB  output {m['output'] / 1e6:8.2f} MB  "
            f"{m['seconds']:8.3f} s  peak growth {m['growth'] / 1e6:8.1f} MB")
    return line + (f"  stopped: {m['stopped']}" if m["stopped"] else "")


def run_shape(shape):
    """Prints the shape's sizes; gives its worst exponent, or 0."""
    print(shape)
    done = []
    for size in SHAPES[shape][1]:
        m = run_one("shape", shape, str(size))
        if m is None:
            print(f"  {size:>10,}  over {LIMIT_SECONDS} s: ended")
            break
        if "failed" in m:
            print(f"  {size:>10,}  failed: {m['failed']}")
            break
        print(f"  {size:>10,}  {shown(m)}")
        if not m["stopped"]:
            done.append(m)
    if len(done) < 2:
        return 0.0
    t, g = exponent(done[0], done[-1], "seconds"), exponent(done[0], done[-1], "growth")
    print(f"  exponent: time {t:.2f}, peak memory {g:.2f}")
    return max(t, g)


def run_road(road):
    """Prints crafted and random names through one road; gives the ratio of their times."""
    print(f"{road} ({NAMES:,} names of {len(PREFIX) + 16 * UNIT_BITS} bytes)")
    times = {}
    for kind in KINDS:
        m = run_one("road", road, kind)
        if m is None or "failed" in m:
            print(f"  {kind:>8}  {'over the limit' if m is None else m['failed']}")
            return float("inf")
        print(f"  {kind:>8}  {shown(m)}")
        times[kind] = m["seconds"]
    ratio = times["crafted"] / max(times["random"], 1e-9)
    print(f"  crafted / random: {ratio:.2f}")
    return ratio


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--one":
        what, name, arg = sys.argv[2:]
        print(json.dumps(measure_shape(name, int(arg)) if what == "shape"
                         else measure_road(name, arg)))
        return 0
    chosen = sys.argv[1:]
    worst = 0.0
    for shape in SHAPES:
        if not chosen or shape in chosen:
            worst = max(worst, run_shape(shape))
    worst_ratio = 0.0
    for road in ROADS:
        if not chosen or road in chosen:
            worst_ratio = max(worst_ratio, run_road(road))
    print(f"worst exponent {worst:.2f} (target at most {TARGET_EXPONENT}); worst crafted / random "
          f"{worst_ratio:.2f} (target at most {TARGET_CRAFTED_RATIO})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
