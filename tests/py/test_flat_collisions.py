"""Flat forms keep their meaning whatever the names: modules whose values are named like the
names that flattening keeps as text (symbolic dimensions passed as arguments, "param."
names, weight references) or makes up itself (x_1, blk.t, loop0.t, cache slots), read by
vel_reading, give the same terms as their flat forms.

Eight families of collisions, each as small fixtures and as a group of random modules that
reach it, besides random modules without collisions and random modules that mix the first
seven with names drawn from all the pools:
1. a value named like a name kept as text (a dimension passed as an argument, "param.");
2. a value named like a name flattening makes (h_1, blk.t, loop0.t);
3. a cache slot named like a caller's value;
4. one slot written by two cache operations;
5. a return that its body never writes and that is no plain parameter (a dict field, a
   dimension, a "param." name);
6. a number passed as an argument;
7. a parameter named like a name kept as text;
8. a slot named like a weight reference, through load_flat_json's weight renaming.
Run as a script, it prints how many random modules of each group differ.
"""

import json
import pathlib
import random
import tempfile
import unittest

import _velorn as M

from velorn_support import quiet_fd2
from vel_reading import Reading, Terms, Undefined, meanings

SEED = 20270127
MODULES_PER_GROUP = 300
SHOWN = 3  # differing modules shown per group

F4 = {"dtype": "f32", "shape": [4]}
DICT = {"dtype": "*", "shape": []}
SCALAR = {"dtype": "i32", "shape": []}

PLAIN = ["x", "a", "y", "z", "u", "v"]
DIMS = ["b", "h", "n", "k", "c"]
CONFIG = ["param.s", "param.eps"]
GENERATED = ["h_1", "x_2", "blk.t", "loop0.t", "loop1.u", "kc", "kc_new", "kv.0"]
NUMBERS = [2, 3, -1, 0, 1.5, 2.0]
MAPS = ["add", "sub", "mul", "mix", "copy"]
FIELDS = ["q", "k"]
SLOT_KEYS = ["kc", "st", "kc_new", "kv.0", "kv.1", "kv.2", "kv.*"]

# The configuration of family 8: its weight mapping renames weights.kc, weights.kv.N,
# weights.wq and weights.layers.N.q.
WEIGHT_CONFIG = '[weights]\nkc = "KC"\nkv = "KV.{}"\nwq = "WQ"\n[weights.layers]\nq = "L{}.q"\n'
WEIGHT_MAPPING = {"weights.kc": "KC", "weights.kv": "KV.{}", "weights.wq": "WQ",
                  "weights.layers.q": "L{}.q"}


def ty(*shape):
    return {"dtype": "f32", "shape": list(shape)}


def op(kind, outputs, args, types=None, **payload):
    return {"kind": kind, **payload, "outputs": list(outputs),
            "output_types": types or [F4] * len(outputs), "args": list(args)}


def mapop(output, args, function="mix", type_=F4):
    return op("map", [output], args, [type_], function=function)


def callop(target, outputs, args):
    return op("call", outputs, args, target=target)


def loopop(target, count, output, args):
    return op("loop", [output], args, target=target, count=count)


def cacheop(var, init, output, args, extend=None):
    payload = {"var": var, "init": init} | ({"extend": extend} if extend else {})
    return op("cache", [output], args, **payload)


def weight_name(name):
    """What the weight renaming of WEIGHT_MAPPING makes of a weight reference."""
    if len(name) < 8 or not name.startswith("weights."):
        return name
    if name in WEIGHT_MAPPING:
        return WEIGHT_MAPPING[name]
    parts = name.split(".")
    index = [p for p in parts if p.isascii() and (p.isdigit() or p == "")]
    template = WEIGHT_MAPPING.get(".".join(p for p in parts if p not in index))
    if template is None:
        return name
    for part in index:
        template = template.replace("{}", part, 1)
    return template


class Maker:
    """One random module: `main`, a few functions it calls and loops over, and the
    collisions of one family (or of several, when `colliding`), drawn from small pools."""

    def __init__(self, rng, colliding=False):
        self.rng = rng
        self.colliding = colliding
        self.values = PLAIN + (DIMS + GENERATED + CONFIG if colliding else [])
        self.functions = {}
        self.slots = []  # the slot names that cache keys may pick
        self.cache_fns = None

    # Pieces

    def define(self, params, returns, ops, stem="f"):
        """A new function of its own name; `returns` are names or (name, type) pairs."""
        name = f"{stem}{len(self.functions) + 1}"
        returns = [r if isinstance(r, tuple) else (r, F4) for r in returns]
        self.functions[name] = {
            "name": name, "params": [{"name": n, "ty": t} for n, t in params],
            "returns": [{"name": n, "ty": t} for n, t in returns], "ops": ops}
        return name

    def type_(self):
        if not self.colliding:
            return F4
        return self.rng.choice([F4, ty("b", "h"), ty("n"), ty("k", 4), ty("param.d")])

    def map_(self, output, scope, count=None):
        rng = self.rng
        args = [rng.choice(scope) for _ in range(count or rng.randint(1, 3))]
        if self.colliding and rng.random() < 0.15:
            args.append(rng.choice(NUMBERS + CONFIG))
        return mapop(output, args, rng.choice(MAPS), self.type_())

    def dict_arg(self, in_entry, dicts, starred=False):
        """A name a dict parameter may be bound to: a weight reference in main, the
        caller's own dict parameter or one of its fields elsewhere."""
        rng = self.rng
        if in_entry:
            return "weights.layers.*" if starred else rng.choice(["weights.l0", "weights"])
        w = rng.choice(dicts)
        return f"{w}.*" if starred else rng.choice([w, f"{w}.{rng.choice(FIELDS)}"])

    def cache_functions(self, arity):
        """The init and extend functions of the module's cache operations."""
        if self.cache_fns is None:
            rng = self.rng
            params = rng.sample(self.values, arity)
            t = rng.choice(["t", "s"] + (["kc"] if self.colliding else []))
            init = self.define([(p, F4) for p in params], [t], [
                mapop(t, [rng.choice(params)], "neg"), mapop(t, [t] + params, "mix")], "init")
            extend = self.define([("old", F4)] + [(p, F4) for p in params], ["new"],
                                 [mapop("new", ["old"] + params, "sub")], "extend")
            self.cache_fns = init, extend, arity
        return self.cache_fns

    def cache(self, var, output, scope):
        init, extend, arity = self.cache_functions(self.rng.randint(1, 2))
        args = [self.rng.choice(scope) for _ in range(arity)]
        self.slots.append(var)
        return cacheop(var, init, output, args, extend if self.rng.random() < 0.5 else None)

    # Random bodies

    def helpers(self):
        """A few functions over the pool's names, each calling those made before it."""
        made = []
        for _ in range(self.rng.randint(1, 3)):
            made.append(self.helper(made))
        return made

    def helper(self, callees):
        rng = self.rng
        params = [(p, self.type_()) for p in rng.sample(self.values, rng.randint(1, 3))]
        dicts = ["w"] if rng.random() < 0.4 else []
        params += [(w, DICT) for w in dicts]
        rng.shuffle(params)
        scope = [n for n, t in params if t["dtype"] != "*"]
        scope += [f"{w}.{f}" for w in dicts for f in FIELDS]
        scope += self.readable_dims(params)
        ops = []
        for _ in range(rng.randint(1, 4)):
            ops.append(self.random_op(scope, callees, dicts, in_entry=False))
            scope += [o for o in ops[-1]["outputs"][:1] if o not in scope]
        return self.define(params, self.returns(scope, dicts), ops)

    def readable_dims(self, params):
        return sorted({d for _, t in params for d in t["shape"] if isinstance(d, str)})

    def returns(self, scope, dicts):
        """Written names and parameters; when colliding also dict fields, dimensions and
        "param." names."""
        pool = scope + CONFIG if self.colliding else [n for n in scope if "." not in n]
        return self.rng.sample(pool, min(len(pool), self.rng.choice([1, 1, 2])))

    def random_op(self, scope, callees, dicts, in_entry):
        rng = self.rng
        written = [n for n in scope if n in self.values and "." not in n] or scope
        if not (in_entry or dicts):  # only main and dict parameters can fill dict parameters
            callees = [f for f in callees
                       if all(p["ty"]["dtype"] != "*" for p in self.functions[f]["params"])]
        roll = rng.random()
        if callees and roll < 0.4:
            target = rng.choice(callees)
            params = self.functions[target]["params"]
            args = [self.dict_arg(in_entry, dicts) if p["ty"]["dtype"] == "*"
                    else self.value_arg(scope) for p in params]
            if roll < 0.25:
                returns = self.functions[target]["returns"]
                outputs = rng.sample(self.values, rng.randint(1, len(returns)))
                return callop(target, outputs, self.maybe_short(args, params, in_entry))
            plain = [j for j, p in enumerate(params) if p["ty"]["dtype"] != "*"]
            if plain:
                x = rng.choice(written)
                args[rng.choice(plain)] = x
                for j, p in enumerate(params):
                    if p["ty"]["dtype"] == "*" and rng.random() < 0.5:
                        args[j] = self.dict_arg(in_entry, dicts, starred=True)
                return loopop(target, rng.randint(0, 3), x, args)
        return self.map_(rng.choice(self.values), scope)

    def value_arg(self, scope):
        if self.colliding and self.rng.random() < 0.15:
            return self.rng.choice(NUMBERS)
        return self.rng.choice(scope)

    def maybe_short(self, args, params, in_entry):
        """Now and then, in main, fewer arguments than parameters: the last one, a weight
        reference, stands for the rest."""
        short = len(args) - 1
        if in_entry and short >= 1 and self.rng.random() < 0.2 and \
                all(p["ty"]["dtype"] != "*" for p in params[short - 1:]):
            return args[:short - 1] + ["weights.l0"]
        return args

    def plain_caches(self, scope):
        """Now and then a cache slot of main's own and a loop over a body with a slot per
        iteration, each slot written once."""
        rng, ops = self.rng, []
        if rng.random() < 0.3 and "st" not in self.slots:
            ops.append(self.cache("st", rng.choice(self.values), scope))
        if rng.random() < 0.3 and "kv.*" not in self.slots:
            h = rng.choice(scope)
            body = [self.cache("kv.*", "c", ["v"]), mapop("v", ["c", "v"], "mul")]
            layer = self.define([("v", F4)], ["v"], body, "layer")
            ops.append(loopop(layer, rng.randint(1, 3), h, [h]))
        return ops

    # The module

    def module(self, snippets):
        """main: random operations around the snippets' operations; its returns are the
        snippets' observed names and a few more."""
        rng = self.rng
        callees = self.helpers()
        scope = ["x"]
        ops, observed = [], []
        pieces = [lambda mk, scope: mk.main_ops(scope, callees)] * rng.randint(1, 2)
        pieces += snippets
        rng.shuffle(pieces)
        for piece in pieces + [lambda mk, scope: (mk.plain_caches(scope), [])]:
            new, seen = piece(self, scope)
            ops += new
            observed += [o for o in seen if o not in observed]
            scope += [o for o in written(new) if o not in scope]
        extra = [n for n in scope if n not in observed]
        returns = observed + rng.sample(extra, min(len(extra), rng.randint(0, 2)))
        main = self.define([("x", self.type_()), ("weights", DICT)], returns or ["x"], ops)
        self.functions["main"] = self.functions.pop(main) | {"name": "main"}
        return {"functions": self.functions}

    def main_ops(self, scope, callees):
        ops = []
        for _ in range(self.rng.randint(1, 3)):
            ops.append(self.random_op(scope + written(ops), callees, [], in_entry=True))
        return ops, []

    def keys(self):
        """A random subset of the slots, as the flat module names them, and of others."""
        pool = sorted(set(SLOT_KEYS) | {s for s in self.slots if not s.endswith(".*")} |
                      {f"{s[:-2]}.{i}" for s in self.slots if s.endswith(".*") for i in range(3)})
        return self.rng.sample(pool, self.rng.randint(0, min(3, len(pool))))


def written(ops):
    return [o for op in ops for o in op["outputs"][:1]]


# The families' random snippets: each takes the maker and main's scope and returns main's
# operations and the names it should return.

def value_as_kept_name(mk, scope):
    """1. main writes a value under a dimension that a function passes as an argument, or
    under a "param." name that a function reads."""
    rng, x = mk.rng, mk.rng.choice(scope)
    d = rng.choice(DIMS)
    variant = rng.randrange(3)
    if variant == 0:
        t = ty(rng.choice([e for e in DIMS if e != d]), d)
        scale = mk.define([("x", t), ("s", SCALAR)], [("y", t)],
                          [mapop("y", ["x", "s"], "mul", t)])
        params = [("x", t), ("w", DICT)]
        rng.shuffle(params)
        body = [op("contract", ["t"], ["x", "w.q"], [t], pattern="b d, d e -> b e"),
                callop(scale, ["y"], ["t", d])]
        block = mk.define(params, [("y", t)], body)
        args = [d if n == "x" else "weights.layers.*" for n, _ in params]
        if rng.random() < 0.3:
            args = [d if n == "x" else "weights.l0" for n, _ in params]
            run = callop(block, [d], args)
        else:
            run = loopop(block, rng.randint(1, 3), d, args)
        return [mapop(d, [x], "copy"), run, mapop("o", [d], "head")], ["o", d]
    if variant == 1:
        c = rng.choice(CONFIG)
        body = [mapop(c, ["v"], "neg")] if rng.random() < 0.5 else []
        body.append(mapop("y", ["v", c], "mul"))
        f = mk.define([("v", F4)], ["y"], body)
        ops = [mapop(c, [x], "copy")] if rng.random() < 0.6 else []
        ops += [callop(f, ["o"], [x])]
        if rng.random() < 0.5:
            ops.append(callop(f, ["p"], ["o"]))
        ops.append(mapop("r", ["o", c], "sub"))
        return ops, ["r", "o"] + (["p"] if "p" in written(ops) else [])
    # A function whose type has the dimension d writes a value d and loops over it.
    t = ty(d)
    step = mk.define([("v", t)], [("w", t)], [mapop("w", ["v", d], "mul", t)])
    body = [mapop(d, ["x"], "neg", t), loopop(step, rng.randint(1, 3), d, [d]),
            mapop("y", [d, "x"], "sub", t)]
    g = mk.define([("x", t)], [("y", t)], body)
    if rng.random() < 0.5:  # a function that main never reaches passes d too
        mk.define([("x", t)], [("y", t)], [mapop("y", ["x", d], "add", t)])
    return [callop(g, ["o"], [x])], ["o"]


def value_as_made_name(mk, scope):
    """2. main writes a value under a name that a loop output, a call's local or a loop
    iteration's local takes in the flat form."""
    rng, x = mk.rng, mk.rng.choice(scope)
    count = rng.randint(1, 3)
    variant = rng.randrange(3)
    if variant == 0:
        made = f"{x}_{rng.randint(1, count)}"
        step = mk.define([("v", F4)], ["v"], [mapop("v", ["v"], "neg")])
        ops = [mapop(made, [x], "copy"), loopop(step, count, x, [x]),
               mapop("o", [x, made], "sub")]
        return ops, ["o", made]
    t = rng.choice(["t", "u"])
    if variant == 1:
        out = rng.choice(["blk", "o"])
        sub = mk.define([("v", F4)], ["y"], [mapop(t, ["v"], "neg"), mapop("y", [t, "v"], "mul")])
        local = f"{out}.{t}"
        ops = [mapop(local, [x], "copy"), callop(sub, [out], [x]),
               mapop("r", [out, local], "sub")]
        return ops, ["r", local]
    local = f"loop{rng.randrange(count)}.{t}"
    step = mk.define([("v", F4)], ["v"], [mapop(t, ["v"], "neg"), mapop("v", ["v", t], "add")])
    ops = [mapop(local, [x], "copy"), loopop(step, count, x, [x]),
           mapop("r", [x, local], "sub")]
    return ops, ["r", local]


def slot_as_value(mk, scope):
    """3. main writes a value under the name of a slot that a call's or a loop's body, or
    main itself, fills later; then reads the value."""
    rng, x = mk.rng, mk.rng.choice(scope)
    slot = rng.choice(["kc", "st", "kv.0", "kv.1"])
    output = rng.choice(["c", "v", slot])
    ops = [mapop(slot, [x], "neg")]
    if slot.startswith("kv."):
        body = [mk.cache("kv.*", output, ["v"]), mapop("v", [output, "v"], "mul")]
        ops.append(loopop(mk.define([("v", F4)], ["v"], body), rng.randint(1, 3), x, [x]))
        run = x
    elif rng.random() < 0.3:
        ops.append(mk.cache(slot, "o", [x]))
        run = "o"
    else:
        body = [mk.cache(slot, output, ["v"]), mapop("y", [output, "v"], "mul")]
        ops.append(callop(mk.define([("v", F4)], ["y"], body), ["o"], [x]))
        run = "o"
    ops.append(mapop("r", [slot, run], "sub"))
    return ops, ["r", run]


def one_slot_twice(mk, scope):
    """4. Two cache operations write one slot; both outputs are returned."""
    rng, x = mk.rng, mk.rng.choice(scope)
    slot = rng.choice(["kc", "st"])
    first = mk.cache(slot, "o", [x])
    variant = rng.randrange(3)
    if variant == 0:
        return [first, mk.cache(slot, "p", ["o"])], ["o", "p"]
    if variant == 1:
        body = [mk.cache(slot, "c", ["v"]), mapop("y", ["c", "v"], "mul")]
        return [first, callop(mk.define([("v", F4)], ["y"], body), ["p"], ["o"])], ["o", "p"]
    body = [mk.cache(slot, "c", ["v"]), mapop("v", ["c", "v"], "mul")]
    layer = mk.define([("v", F4)], ["v"], body, "layer")
    return [first, mapop("p", ["o"], "copy"), loopop(layer, rng.randint(2, 3), "p", ["p"])], \
        ["o", "p"]


def unwritten_return(mk, scope):
    """5. A function returns a dict field, a dimension or a "param." name that its body
    never writes; a call's output or a loop's next iteration reads it."""
    rng, x = mk.rng, mk.rng.choice(scope)
    variant = rng.randrange(3)
    if variant == 0:
        field = f"w.{rng.choice(FIELDS)}"
        params = [("w", DICT), ("v", F4)]
        rng.shuffle(params)
        f = mk.define(params, [field, "y"] if rng.random() < 0.5 else [field],
                      [mapop("y", ["v", field], "mul")])
        if rng.random() < 0.5:
            args = [x if n == "v" else "weights.l0" for n, _ in params]
            return [callop(f, ["o"], args), mapop("r", ["o", x], "sub")], ["r", "o"]
        args = [x if n == "v" else "weights.layers.*" for n, _ in params]
        return [loopop(f, rng.randint(1, 3), x, args), mapop("r", [x], "neg")], ["r", x]
    kept = rng.choice(DIMS) if variant == 1 else rng.choice(CONFIG)
    t = ty(kept) if variant == 1 else F4
    f = mk.define([("v", t)], [(kept, t)], [mapop("y", ["v"], "neg", t)])
    if rng.random() < 0.5:
        return [callop(f, ["o"], [x]), mapop("r", ["o", x], "sub")], ["r", "o"]
    return [loopop(f, rng.randint(1, 3), x, [x]), mapop("r", [x], "neg")], ["r", x]


def number_argument(mk, scope):
    """6. A number passed as an argument: the parameter stands for it."""
    rng, x = mk.rng, mk.rng.choice(scope)
    number = rng.choice(NUMBERS)
    params = [("v", F4), ("s", rng.choice([SCALAR, DICT]))]
    rng.shuffle(params)
    variant = rng.randrange(3)
    if variant == 0:
        f = mk.define(params, ["y"], [mapop("y", ["v", "s"], "mul")])
    elif variant == 1:
        f = mk.define(params, ["s", "y"], [mapop("y", ["v"], "neg")])
    else:
        inner = mk.define([("a", F4), ("b", SCALAR)], ["y"], [mapop("y", ["a", "b"], "add")])
        f = mk.define(params, ["y"], [callop(inner, ["y"], ["v", "s"])])
    # A value that is the number itself is read by an operation, not returned: a flat
    # function returns names only.
    args = [x if n == "v" else number for n, _ in params]
    if rng.random() < 0.3:
        returned = ["r"] if variant == 1 else ["r", x]
        return [loopop(f, rng.randint(1, 3), x, args), mapop("r", [x], "neg")], returned
    outputs = ["o", "p"][:len(mk.functions[f]["returns"])]
    returned = ["r"] + (outputs[1:] if variant == 1 else outputs)
    return [callop(f, outputs, args), mapop("r", ["o", x], "sub")], returned


def parameter_as_kept_name(mk, scope):
    """7. A parameter named like a dimension that some function passes as an argument."""
    rng, x = mk.rng, mk.rng.choice(scope)
    d = rng.choice(DIMS)
    t = ty(d)
    passer = mk.define([("v", t)], [("y", t)], [mapop("y", ["v", d], "add", t)])
    params = [("v", F4), (d, F4)]
    rng.shuffle(params)
    f = mk.define(params, ["y"], [mapop("y", ["v", d], "mul")])
    ops = [mapop("a", [x], "neg")] if "a" not in scope else []
    args = [x if n == "v" else rng.choice(["a", x, 3]) for n, _ in params]
    ops.append(callop(f, ["o"], args))
    if rng.random() < 0.5:
        ops.append(callop(passer, ["p"], ["o"]))
        return ops, ["o", "p"]
    return ops, ["o"]


def weight_slot(mk, scope):
    """8. A slot named like a weight reference that the configuration renames."""
    rng, x = mk.rng, mk.rng.choice(scope)
    if rng.random() < 0.4:
        body = [mk.cache("weights.kv.*", "c", ["v"]), mapop("v", ["c", "v", "w.q"], "mul")]
        layer = mk.define([("v", F4), ("w", DICT)], ["v"], body, "layer")
        run = loopop(layer, rng.randint(1, 3), x, [x, "weights.layers.*"])
        return [run, mapop("r", [x], "neg")], ["r", x]
    ops = [mk.cache("weights.kc", "o", [x]), mapop("r", ["o", "weights.wq"], "mul")]
    if rng.random() < 0.3:
        ops.append(mapop("p", ["weights.kc", "r"], "sub"))
        return ops, ["r", "o", "p"]
    return ops, ["r", "o"]


FAMILIES = {1: value_as_kept_name, 2: value_as_made_name, 3: slot_as_value,
            4: one_slot_twice, 5: unwritten_return, 6: number_argument,
            7: parameter_as_kept_name, 8: weight_slot}


# Flattening and comparing

class Panic(Exception):
    """flatten_json or load_flat_json stopped."""


def call_quietly(function, *args):
    with quiet_fd2():
        try:
            return function(*args)
        except BaseException as exc:  # PanicException derives from BaseException only
            if type(exc).__name__ != "PanicException":
                raise
            raise Panic(exc.args[0]) from None


def compare(module, keys):
    """(terms, the module's values, the flat form's values) through flatten_json."""
    try:
        flat = json.loads(call_quietly(M.flatten_json, json.dumps(module), "main", list(keys)))
    except Panic as exc:
        return stopped(module, keys, exc)
    return meanings(module, flat, "main", keys)


def stopped(module, keys, exc):
    Reading(module, Terms(), keys).run("main")  # raises for a module outside the reading
    return None, ["a flat form"], [f"stopped: {exc}"]


def compare_from_files(module, keys):
    """The same through load_flat_json, with WEIGHT_CONFIG's weight renaming: the module's
    weight references read as the names they are renamed to."""
    source = M.fmt_json(json.dumps(module))
    with tempfile.TemporaryDirectory() as folder:
        vel, config = pathlib.Path(folder, "m.vel"), pathlib.Path(folder, "m.toml")
        vel.write_text(source, "utf-8")
        config.write_text(WEIGHT_CONFIG, "utf-8")
        try:
            flat = json.loads(call_quietly(M.load_flat_json, str(vel), str(config), "main",
                                           list(keys)))
        except Panic as exc:
            return stopped(module, keys, exc)
    resolved = json.loads(M.resolve_json(M.parse_to_json(source), "{}"))
    return meanings(resolved, flat, "main", keys, weight_name)


def report(module, keys, terms, expected, got):
    show = (lambda v: terms.show(v, depth=3)) if terms else str
    return (f"{M.fmt_json(json.dumps(module))}cache keys: {list(keys)}\n"
            f"module: {[show(v) for v in expected]}\n"
            f"flat:   {[show(v) for v in got]}\n")


def random_group(group, rng):
    """Counts (modules, undefined, differing) and the first differing modules' reports of
    one group: "plain" (no collisions), a family's number, or "mixed"."""
    undefined, differing, reports = 0, 0, []
    for _ in range(MODULES_PER_GROUP):
        maker = Maker(rng, colliding=group == "mixed")
        if group == "mixed":
            snippets = rng.sample([FAMILIES[f] for f in range(1, 8)], rng.randint(1, 3))
        else:
            snippets = [FAMILIES[group]] if group != "plain" else []
        module = maker.module(snippets)
        keys = maker.keys()
        try:
            terms, expected, got = (compare_from_files if group == 8 else compare)(module, keys)
        except Undefined:
            undefined += 1
            continue
        if expected != got:
            differing += 1
            if len(reports) < SHOWN:
                reports.append(report(module, keys, terms, expected, got))
    return MODULES_PER_GROUP, undefined, differing, reports


GROUPS = ["plain", *FAMILIES, "mixed"]


def all_groups():
    rng = random.Random(SEED)
    return {group: random_group(group, rng) for group in GROUPS}


# The families as fixtures

KEPT_DIMENSION = """
scale(x: f32[b, h], s: i32[]) -> (y: f32[b, h]) {
  y: f32[b, h] = map[mul](x, s)
}
block(x: f32[b, h], w: *) -> (y: f32[b, h]) {
  t: f32[b, h] = contract["b h, h e -> b e"](x, w.q)
  y: f32[b, h] = call[scale](t, h)
}
main(x: f32[b, h], weights: *) -> (out: f32[b, h]) {
  h  : f32[b, h] = map[copy](x)
  h  : f32[b, h] = loop[block, 2](h, weights.layers.*)
  out: f32[b, h] = map[head](h)
}
"""

KEPT_CONFIG = """
f(v: f32[4]) -> (y: f32[4]) {
  param.s: f32[4] = map[neg](v)
  y      : f32[4] = map[mul](v, param.s)
}
main(x: f32[4]) -> (o: f32[4], r: f32[4]) {
  o: f32[4] = call[f](x)
  r: f32[4] = map[sub](o, param.s)
}
"""

KEPT_LOOPED = """
step(v: f32[n]) -> (w: f32[n]) {
  w: f32[n] = map[mul](v, n)
}
g(x: f32[n]) -> (y: f32[n]) {
  n: f32[n] = map[a](x)
  n: f32[n] = loop[step, 2](n)
  y: f32[n] = map[sub](n, x)
}
main(x: f32[n]) -> (o: f32[n]) {
  o: f32[n] = call[g](x)
}
"""

MADE_LOOP_OUTPUT = """
f(v: f32[4]) -> (v: f32[4]) {
  v: f32[4] = map[neg](v)
}
main(h: f32[4]) -> (o: f32[4]) {
  h_1: f32[4] = map[a](h)
  h  : f32[4] = loop[f, 1](h)
  o  : f32[4] = map[r](h, h_1)
}
"""

MADE_CALL_LOCAL = """
sub(v: f32[4]) -> (y: f32[4]) {
  t: f32[4] = map[neg](v)
  y: f32[4] = map[mul](t, v)
}
main(x: f32[4]) -> (o: f32[4]) {
  blk.t: f32[4] = map[a](x)
  blk  : f32[4] = call[sub](x)
  o    : f32[4] = map[r](blk, blk.t)
}
"""

MADE_ITERATION_LOCAL = """
step(v: f32[4]) -> (v: f32[4]) {
  t: f32[4] = map[neg](v)
  v: f32[4] = map[add](v, t)
}
main(x: f32[4]) -> (o: f32[4]) {
  loop0.t: f32[4] = map[a](x)
  x      : f32[4] = loop[step, 2](x)
  o      : f32[4] = map[r](x, loop0.t)
}
"""

CACHE_FUNCTIONS = """
i(k: f32[4]) -> (s: f32[4]) {
  s: f32[4] = map[neg](k)
}
e(old: f32[4], k: f32[4]) -> (n: f32[4]) {
  n: f32[4] = map[sub](old, k)
}
"""

SLOT_OF_CALLER_VALUE = CACHE_FUNCTIONS + """
holder(v: f32[4]) -> (y: f32[4]) {
  c: f32[4] = cache[kc, i](v)
  y: f32[4] = map[mul](c, v)
}
main(x: f32[4]) -> (o: f32[4], r: f32[4]) {
  kc: f32[4] = map[a](x)
  o : f32[4] = call[holder](x)
  r : f32[4] = map[sub](kc, o)
}
"""

SLOT_TWICE = CACHE_FUNCTIONS + """
main(h: f32[4]) -> (o: f32[4], p: f32[4]) {
  o: f32[4] = cache[kc, i](h)
  p: f32[4] = cache[kc, i](o)
}
"""

# The slot's last value has no operation of its own, and the declared return's own name is
# taken by a dimension read after it.
SLOT_TWICE_LAST_A_PARAMETER = CACHE_FUNCTIONS + """
same(w: f32[4]) -> (w: f32[4]) {
}
scale(v: f32[n]) -> (y: f32[n]) {
  y: f32[n] = map[mul](v, n)
}
main(x: f32[4]) -> (n: f32[4]) {
  n: f32[4] = cache[kc, i](x)
  m: f32[4] = cache[kc, same](x)
  z: f32[4] = call[scale](x)
}
"""

# Two outputs of one operation that a call names alike: the later one is what the name
# means after the call, and it is the operation's first.
ONE_OPERATION_TWO_OUTPUTS = """
f(a: f32[4]) -> (p: f32[4], q: f32[4]) {
  q: f32[4],
  p: f32[4] = map[split](a)
}
main(x: f32[4]) -> (r: f32[4]) {
  o: f32[4],
  o: f32[4] = call[f](x)
  r: f32[4] = map[neg](o)
}
"""

RETURNED_FIELD = """
f(w: *, x: f32[4]) -> (w.q: f32[4]) {
  y: f32[4] = map[mul](x, w.q)
}
main(x: f32[4], weights: *) -> (o: f32[4], r: f32[4]) {
  o: f32[4] = call[f](weights.l0, x)
  r: f32[4] = map[sub](o, x)
}
"""

RETURNED_DIMENSION = """
f(x: f32[n]) -> (n: f32[n]) {
  y: f32[n] = map[neg](x)
}
main(x: f32[4]) -> (x: f32[4]) {
  x: f32[4] = loop[f, 2](x)
}
"""

RETURNED_CONFIG = """
f(x: f32[4]) -> (param.s: f32[4]) {
  y: f32[4] = map[neg](x)
}
main(x: f32[4]) -> (o: f32[4], r: f32[4]) {
  o: f32[4] = call[f](x)
  r: f32[4] = map[sub](o, x)
}
"""

NUMBER_ARGUMENT = """
f(x: f32[4], s: i32[]) -> (y: f32[4]) {
  y: f32[4] = map[mul](x, s)
}
main(x: f32[4]) -> (o: f32[4]) {
  o: f32[4] = call[f](x, 2)
}
"""

PARAMETER_AS_KEPT_NAME = """
passer(x: f32[n]) -> (y: f32[n]) {
  y: f32[n] = map[add](x, n)
}
f(x: f32[4], n: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[mul](x, n)
}
main(x: f32[4]) -> (o: f32[4]) {
  a: f32[4] = map[neg](x)
  o: f32[4] = call[f](x, a)
}
"""

WEIGHT_SLOT = CACHE_FUNCTIONS + """
main(x: f32[4], weights: *) -> (o: f32[4], r: f32[4]) {
  o: f32[4] = cache[weights.kc, i, e](x)
  r: f32[4] = map[mul](o, weights.wq)
}
"""

WEIGHT_RETURNED = """
pick(x: f32[4], w: f32[4]) -> (w: f32[4]) {
  t: f32[4] = map[neg](x)
}
layer(h: f32[4], w: *) -> (h: f32[4]) {
  h: f32[4] = call[pick](h, w.q)
}
main(x: f32[4], weights: *) -> (y: f32[4], x: f32[4]) {
  y: f32[4] = call[pick](x, weights.wq)
  x: f32[4] = loop[layer, 2](x, weights.layers.*)
}
"""

# (family, what, source, cache keys)
FIXTURES = [
    (1, "a dimension passed as an argument, and main's value h", KEPT_DIMENSION, ()),
    (1, "a local value named param.s, and main's reading of param.s", KEPT_CONFIG, ()),
    (1, "a value n looped over where n is also a dimension passed", KEPT_LOOPED, ()),
    (2, "a value h_1 beside a loop over h", MADE_LOOP_OUTPUT, ()),
    (2, "a value blk.t beside a call blk with a local t", MADE_CALL_LOCAL, ()),
    (2, "a value loop0.t beside a loop with a local t", MADE_ITERATION_LOCAL, ()),
    (2, "two outputs of one operation that a call names alike", ONE_OPERATION_TWO_OUTPUTS, ()),
    (3, "a value kc beside a slot kc filled in a call", SLOT_OF_CALLER_VALUE, ()),
    (3, "a value kc beside a listed slot kc", SLOT_OF_CALLER_VALUE, ("kc",)),
    (4, "one slot, two cache operations", SLOT_TWICE, ()),
    (4, "one slot, the last of two values a parameter", SLOT_TWICE_LAST_A_PARAMETER, ()),
    (4, "one listed slot, two cache operations", SLOT_TWICE.replace("i](", "i, e]("), ("kc",)),
    (5, "a dict field returned", RETURNED_FIELD, ()),
    (5, "a dimension returned to a loop's next iteration", RETURNED_DIMENSION, ()),
    (5, "a param. name returned", RETURNED_CONFIG, ()),
    (6, "a number argument", NUMBER_ARGUMENT, ()),
    (7, "a parameter n where another function passes its dimension n",
     PARAMETER_AS_KEPT_NAME, ()),
    (8, "a slot weights.kc, unlisted", WEIGHT_SLOT, ()),
    (8, "a slot weights.kc, listed with an extend function", WEIGHT_SLOT, ("weights.kc",)),
    (8, "returns that stand for weights", WEIGHT_RETURNED, ()),
]


class Fixtures(unittest.TestCase):
    def test_each_family_keeps_its_meaning(self):
        for family, what, source, keys in FIXTURES:
            with self.subTest(family=family, what=what):
                module = json.loads(M.parse_to_json(source))
                terms, expected, got = (compare_from_files if family == 8 else compare)(
                    module, keys)
                if got != expected:
                    self.fail("\n" + report(module, keys, terms, expected, got))


class RandomModules(unittest.TestCase):
    def test_random_modules_keep_their_meaning(self):
        for group, (modules, undefined, differing, reports) in all_groups().items():
            with self.subTest(group=group):
                # A reading that few modules have says little: the generator keeps it rare.
                self.assertLess(undefined, modules // 4, f"{undefined} of {modules} undefined")
                if differing:
                    self.fail(f"{differing} of {modules - undefined} read modules differ "
                              f"({undefined} undefined); the first ones:\n\n" +
                              "\n".join(reports))


if __name__ == "__main__":
    print(f"{'group':>6} {'modules':>8} {'undefined':>10} {'differing':>10}")
    for name, (modules, undefined, differing, _) in all_groups().items():
        print(f"{name:>6} {modules:>8} {undefined:>10} {differing:>10}")
