"""Flat forms compute what their modules compute: the flat function's declared returns,
and its cache slots, evaluated by vel_evaluator, hold the values of the module's."""

import json
import random
import unittest

import _velorn as M

from vel_evaluator import PRIME, Evaluator

F4 = {"dtype": "f32", "shape": [4]}
SEED = 20261210
MODULES = 3000
NAMES = ["x", "h", "a", "b", "y", "t", "u"]
MAPS = ["add", "sub", "mul", "mix"]
CACHE_KEYS = ["kc", "st", "kv.0", "kv.1", "kv.2"]


def flat_module(module, entry="main", keys=()):
    text = json.dumps(module, separators=(",", ":"))
    return json.loads(M.flatten_json(text, entry, list(keys)))


def evaluate(module, entry, keys, rng):
    """(module's values, flat form's values) for inputs drawn from `rng`: the declared
    returns, then each cache slot that the flat function returns."""
    fn = module["functions"][entry]
    args = [rng.randrange(PRIME) for _ in fn["params"]]
    incoming = {key: rng.randrange(PRIME) for key in keys}  # the listed slots' values
    flat = flat_module(module, entry, keys)
    flat_fn = flat["functions"][entry]
    extras = flat_fn["params"][len(fn["params"]):]
    source = Evaluator(module, keys, incoming)
    expected = source.run(entry, args)
    got = Evaluator(flat).run(entry, args + [incoming[p["name"]] for p in extras])
    declared = len(fn["returns"])
    for r in flat_fn["returns"][declared:]:
        expected.append(source.slots.get(r["name"], "unwritten"))
    return expected, got


class Maker:
    """A random module of maps, calls and loops over f32[4] values, rebinding parameters,
    returns and loop-threaded names; with `caches`, also cache operations in the entry and
    in a loop body, whose slots each one cache operation writes, once or once per
    iteration."""

    def __init__(self, rng, caches=False):
        self.rng = rng
        self.names = ["main"] + [f"f{i}" for i in range(1, rng.randint(1, 5))]
        self.signatures = {name: self.signature() for name in self.names}
        self.caches = caches
        self.vars = ["kc", "st"]
        self.looped = self.layered = False
        if caches:
            params = rng.sample(NAMES, rng.randint(1, 2))
            slot = [rng.choice([n for n in NAMES if n not in params])]
            self.signatures["init"] = (params, slot)
            self.signatures["extend"] = (["old"] + params, slot)
            self.signatures["layer"] = (["h"], ["h"])

    def cache(self, scope, var):
        params, _ = self.signatures["init"]
        op = {"kind": "cache", "var": var, "init": "init", "outputs": [self.rng.choice(NAMES)],
              "output_types": [F4], "args": [self.rng.choice(scope) for _ in params]}
        if self.rng.random() < 0.5:
            op["extend"] = "extend"
        return op

    def entry_op(self, scope):
        """A cache operation, or the one loop over the body that holds one, in the entry."""
        if self.vars and (self.looped or self.rng.random() < 0.5):
            return self.cache(scope, self.vars.pop(self.rng.randrange(len(self.vars))))
        if self.looped:
            return self.op(0, scope)
        self.looped = True
        x = self.rng.choice(scope)
        return {"kind": "loop", "target": "layer", "count": self.rng.randint(1, 3),
                "outputs": [x], "output_types": [F4], "args": [x]}

    def layer_op(self, scope):
        if self.layered:
            return self.op(len(self.names) - 1, scope)
        self.layered = True
        return self.cache(scope, "kv.*")

    def signature(self):
        params = self.rng.sample(NAMES, self.rng.randint(1, 3))
        returns = []
        for _ in range(self.rng.choice([1, 1, 2])):
            pool = params if self.rng.random() < 0.5 else NAMES
            returns.append(self.rng.choice([n for n in pool if n not in returns] or
                                           [n for n in NAMES if n not in returns]))
        return params, returns

    def op(self, index, scope):
        rng, later = self.rng, self.names[index + 1:]
        roll = rng.random()
        if later and roll < 0.3:
            target = rng.choice(later)
            params, returns = self.signatures[target]
            outputs = rng.sample(NAMES, rng.randint(1, len(returns)))
            return {"kind": "call", "target": target, "outputs": outputs,
                    "output_types": [F4] * len(outputs),
                    "args": [rng.choice(scope) for _ in params]}
        if later and roll < 0.55:
            target = rng.choice(later)
            params, _ = self.signatures[target]
            x = rng.choice(scope)
            args = [rng.choice(scope) for _ in params]
            args[rng.randrange(len(args))] = x
            return {"kind": "loop", "target": target, "count": rng.randint(0, 3),
                    "outputs": [x], "output_types": [F4], "args": args}
        function = rng.choice(MAPS + ["neg"])
        count = 1 if function == "neg" else rng.randint(1, 3)
        return {"kind": "map", "function": function, "outputs": [rng.choice(NAMES)],
                "output_types": [F4], "args": [rng.choice(scope) for _ in range(count)]}

    def function(self, index, name=None, special=None):
        name = name or self.names[index]
        params, returns = self.signatures[name]
        scope, ops = list(params), []
        for _ in range(self.rng.randint(1, 5)):
            if special and self.rng.random() < 0.3:
                op = special(scope)
            else:
                op = self.op(index, scope)
            ops.append(op)
            scope += [n for n in op["outputs"] if n not in scope]
        for r in returns:  # every return holds a value
            if r not in scope:
                ops.append({"kind": "map", "function": "mix", "outputs": [r],
                            "output_types": [F4], "args": [self.rng.choice(scope)]})
                scope.append(r)
        return {"name": name, "params": [{"name": p, "ty": F4} for p in params],
                "returns": [{"name": r, "ty": F4} for r in returns], "ops": ops}

    def module(self):
        last = len(self.names) - 1
        functions = {}
        for i, name in enumerate(self.names):
            special = self.entry_op if self.caches and i == 0 else None
            functions[name] = self.function(i, name, special)
        if self.caches:
            functions["layer"] = self.function(last, "layer", self.layer_op)
            functions["init"] = self.function(last, "init")
            functions["extend"] = self.function(last, "extend")
        return {"functions": functions}


def source_module(source):
    return json.loads(M.parse_to_json(source))


def flat_text(source, keys=()):
    return M.fmt_json(M.flatten_json(M.parse_to_json(source), "main", list(keys)))


RESIDUAL = """
block(h: f32[4]) -> (h: f32[4]) {
  u: f32[4] = map[mul](h, h)
  h: f32[4] = map[add](h, u)
}
main(h: f32[4]) -> (h: f32[4]) {
  h: f32[4] = loop[block, 3](h)
}
"""

# (what, source, flat form)
FIXTURES = [
    ("a residual stack rebinding its parameter and threaded name", RESIDUAL, """
main(h: f32[4]) -> (h: f32[4]) {
  loop0.u: f32[4] = map[mul](h, h)
  h_1    : f32[4] = map[add](h, loop0.u)
  loop1.u: f32[4] = map[mul](h_1, h_1)
  h_2    : f32[4] = map[add](h_1, loop1.u)
  loop2.u: f32[4] = map[mul](h_2, h_2)
  h      : f32[4] = map[add](h_2, loop2.u)
}
"""),
    ("the last iteration writes the entry's return under its own name", """
blk(h: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[mul](h, h)
}
main(x: f32[4]) -> (x: f32[4]) {
  x: f32[4] = loop[blk, 3](x)
}
""", """
main(x: f32[4]) -> (x: f32[4]) {
  x_1: f32[4] = map[mul](x, x)
  x_2: f32[4] = map[mul](x_1, x_1)
  x  : f32[4] = map[mul](x_2, x_2)
}
"""),
    ("a body never writes over its caller's argument", """
f(h: f32[4]) -> (h: f32[4]) {
  h: f32[4] = map[neg](h)
}
main(a: f32[4]) -> (z: f32[4]) {
  y: f32[4] = call[f](a)
  z: f32[4] = map[sub](a, y)
}
""", """
main(a: f32[4]) -> (z: f32[4]) {
  y: f32[4] = map[neg](a)
  z: f32[4] = map[sub](a, y)
}
"""),
    ("a second loop threads the first one's last output on", """
a(h: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[neg](h)
}
b(h: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[mul](h, h)
}
main(h: f32[4]) -> (h: f32[4]) {
  h: f32[4] = loop[a, 2](h)
  h: f32[4] = loop[b, 3](h)
}
""", """
main(h: f32[4]) -> (h: f32[4]) {
  h_1: f32[4] = map[neg](h)
  h_2: f32[4] = map[neg](h_1)
  h_3: f32[4] = map[mul](h_2, h_2)
  h_4: f32[4] = map[mul](h_3, h_3)
  h  : f32[4] = map[mul](h_4, h_4)
}
"""),
    ("earlier writes of a return are local, the last one writes the call's output", """
f(x: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[neg](x)
  y: f32[4] = map[mul](y, x)
}
main(a: f32[4]) -> (o: f32[4]) {
  o: f32[4] = call[f](a)
}
""", """
main(a: f32[4]) -> (o: f32[4]) {
  o.y: f32[4] = map[neg](a)
  o  : f32[4] = map[mul](o.y, a)
}
"""),
    ("an unwritten return stands for the argument passed", """
pass(s: f32[4], x: f32[4]) -> (y: f32[4], s: f32[4]) {
  y: f32[4] = map[mul](s, x)
}
main(a: f32[4], b: f32[4]) -> (p: f32[4], q: f32[4]) {
  p, q = call[pass](a, b)
}
""", """
main(a: f32[4], b: f32[4]) -> (p: f32[4], a: f32[4]) {
  p: f32[4] = map[mul](a, b)
}
"""),
    ("a loop in a body writes the call's output in its last iteration", """
step(h: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[neg](h)
}
stack(h: f32[4]) -> (h: f32[4]) {
  h: f32[4] = loop[step, 2](h)
}
main(x: f32[4]) -> (x: f32[4]) {
  x: f32[4] = call[stack](x)
}
""", """
main(x: f32[4]) -> (x: f32[4]) {
  x.h_1: f32[4] = map[neg](x)
  x    : f32[4] = map[neg](x.h_1)
}
"""),
    ("an output that an argument of its own call still needs is written apart", """
f(a: f32[4]) -> (r: f32[4], s: f32[4]) {
  r: f32[4] = map[neg](a)
  s: f32[4] = map[sub](a, r)
}
main(o: f32[4]) -> (o: f32[4], p: f32[4]) {
  o, p = call[f](o)
}
""", """
main(o: f32[4]) -> (o.r: f32[4], p: f32[4]) {
  o.r: f32[4] = map[neg](o)
  p  : f32[4] = map[sub](o, o.r)
}
"""),
    ("a name rewritten while another stands for its value takes the next number", """
id(v: f32[4]) -> (v: f32[4]) {
}
main(a: f32[4], x: f32[4]) -> (z: f32[4]) {
  b: f32[4] = call[id](a)
  a: f32[4] = map[neg](x)
  z: f32[4] = map[sub](a, b)
}
""", """
main(a: f32[4], x: f32[4]) -> (z: f32[4]) {
  a_1: f32[4] = map[neg](x)
  z  : f32[4] = map[sub](a_1, a)
}
"""),
]

SLOT = """
i(k: f32[4]) -> (s: f32[4]) {
  s: f32[4] = map[neg](k)
}
e(old: f32[4], k: f32[4]) -> (n: f32[4]) {
  n: f32[4] = map[sub](old, k)
}
main(k: f32[4], q: f32[4]) -> (y: f32[4]) {
  c: f32[4] = cache[kc, i](k)
  y: f32[4] = map[mul](c, q)
}
"""
EXTENDED = SLOT.replace("cache[kc, i](k)", "cache[kc, i, e](k)")
LAYERS = """
i(k: f32[4]) -> (s: f32[4]) {
  s: f32[4] = map[neg](k)
}
layer(h: f32[4]) -> (h: f32[4]) {
  c: f32[4] = cache[kv.*, i](h)
  h: f32[4] = map[mul](c, h)
}
main(h: f32[4]) -> (h: f32[4]) {
  h: f32[4] = loop[layer, 2](h)
}
"""

# (what, source, cache keys, flat form): a cache operation's output reads its slot.
CACHE_FIXTURES = [
    ("unlisted: the init body's result", SLOT, (), """
main(k: f32[4], q: f32[4]) -> (y: f32[4], kc: f32[4]) {
  kc: f32[4] = map[neg](k)
  y : f32[4] = map[mul](kc, q)
}
"""),
    ("unlisted, with an extend function", EXTENDED, (), """
main(k: f32[4], q: f32[4]) -> (y: f32[4], kc: f32[4]) {
  kc: f32[4] = map[neg](k)
  y : f32[4] = map[mul](kc, q)
}
"""),
    ("listed: the incoming value", SLOT, ("kc",), """
main(k: f32[4], q: f32[4], kc: f32[4]) -> (y: f32[4], kc: f32[4]) {
  y: f32[4] = map[mul](kc, q)
}
"""),
    ("listed, with an extend function: still the incoming value", EXTENDED, ("kc",), """
main(k: f32[4], q: f32[4], kc: f32[4]) -> (y: f32[4], kc_new: f32[4]) {
  kc_new: f32[4] = map[sub](kc, k)
  y     : f32[4] = map[mul](kc, q)
}
"""),
    ("in a loop, each iteration its own slot", LAYERS, ("kv.1",), """
main(h: f32[4], kv.1: f32[4]) -> (h: f32[4], kv.0: f32[4], kv.1: f32[4]) {
  kv.0: f32[4] = map[neg](h)
  h_1 : f32[4] = map[mul](kv.0, h)
  h   : f32[4] = map[mul](kv.1, h_1)
}
"""),
]


class Meaning(unittest.TestCase):
    def assert_same_values(self, module, keys=(), seed=0):
        expected, got = evaluate(module, "main", keys, random.Random(seed))
        self.assertEqual(got, expected)

    def test_fixtures(self):
        for what, source, expected in FIXTURES:
            with self.subTest(what):
                self.assertEqual(flat_text(source), M.fmt_source(expected))
                self.assert_same_values(source_module(source))

    def test_cache_fixtures(self):
        for what, source, keys, expected in CACHE_FIXTURES:
            with self.subTest(what):
                self.assertEqual(flat_text(source, keys), M.fmt_source(expected))
                self.assert_same_values(source_module(source), keys)

    def test_random_modules_keep_their_meaning(self):
        rng = random.Random(SEED)
        differences, agreeing = [], 0
        for n in range(MODULES):
            caches = n % 2 == 1
            module = Maker(rng, caches).module()
            keys = rng.sample(CACHE_KEYS, rng.randint(0, 3)) if caches else ()
            expected, got = evaluate(module, "main", keys, rng)
            if got == expected:
                agreeing += 1
            elif len(differences) < 3:
                differences.append((module, keys, expected, got))
        for module, keys, expected, got in differences:
            with self.subTest(module=json.dumps(module), keys=keys):
                self.assertEqual(got, expected)
        self.assertEqual(agreeing, MODULES)


if __name__ == "__main__":
    unittest.main()
