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


def flat_module(module, entry="main", keys=()):
    text = json.dumps(module, separators=(",", ":"))
    return json.loads(M.flatten_json(text, entry, list(keys)))


def evaluate(module, entry, keys, rng):
    """(module's values, flat form's values) for inputs drawn from `rng`: the declared
    returns, then each cache slot that the flat function returns."""
    fn = module["functions"][entry]
    args = [rng.randrange(PRIME) for _ in fn["params"]]
    flat = flat_module(module, entry, keys)
    flat_fn = flat["functions"][entry]
    extras = flat_fn["params"][len(fn["params"]):]
    incoming = {p["name"]: rng.randrange(PRIME) for p in extras}
    source = Evaluator(module, keys, incoming)
    expected = source.run(entry, args)
    got = Evaluator(flat).run(entry, args + [incoming[p["name"]] for p in extras])
    declared = len(fn["returns"])
    for r in flat_fn["returns"][declared:]:
        expected.append(source.slots.get(r["name"], "unwritten"))
    return expected, got


class Maker:
    """A random module of maps, calls and loops over f32[4] values, rebinding parameters,
    returns and loop-threaded names."""

    def __init__(self, rng):
        self.rng = rng
        self.names = ["main"] + [f"f{i}" for i in range(1, rng.randint(1, 5))]
        self.signatures = {name: self.signature() for name in self.names}

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

    def function(self, index):
        name = self.names[index]
        params, returns = self.signatures[name]
        scope, ops = list(params), []
        for _ in range(self.rng.randint(1, 5)):
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
        return {"functions": {name: self.function(i) for i, name in enumerate(self.names)}}


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
main(h: f32[4]) -> (h_3: f32[4]) {
  loop0.u: f32[4] = map[mul](h, h)
  h_1    : f32[4] = map[add](h, loop0.u)
  loop1.u: f32[4] = map[mul](h_1, h_1)
  h_2    : f32[4] = map[add](h_1, loop1.u)
  loop2.u: f32[4] = map[mul](h_2, h_2)
  h_3    : f32[4] = map[add](h_2, loop2.u)
}
"""),
    ("the entry's return is the last iteration's output", """
blk(h: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[mul](h, h)
}
main(x: f32[4]) -> (x: f32[4]) {
  x: f32[4] = loop[blk, 3](x)
}
""", """
main(x: f32[4]) -> (x_3: f32[4]) {
  x_1: f32[4] = map[mul](x, x)
  x_2: f32[4] = map[mul](x_1, x_1)
  x_3: f32[4] = map[mul](x_2, x_2)
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
main(h: f32[4]) -> (h_5: f32[4]) {
  h_1: f32[4] = map[neg](h)
  h_2: f32[4] = map[neg](h_1)
  h_3: f32[4] = map[mul](h_2, h_2)
  h_4: f32[4] = map[mul](h_3, h_3)
  h_5: f32[4] = map[mul](h_4, h_4)
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


class Meaning(unittest.TestCase):
    def assert_same_values(self, module, keys=(), seed=0):
        expected, got = evaluate(module, "main", keys, random.Random(seed))
        self.assertEqual(got, expected)

    def test_fixtures(self):
        for what, source, expected in FIXTURES:
            with self.subTest(what):
                self.assertEqual(flat_text(source), M.fmt_source(expected))
                self.assert_same_values(source_module(source))

    def test_random_modules_keep_their_meaning(self):
        rng = random.Random(SEED)
        differences, agreeing = [], 0
        for _ in range(MODULES):
            module = Maker(rng).module()
            expected, got = evaluate(module, "main", (), rng)
            if got == expected:
                agreeing += 1
            elif len(differences) < 3:
                differences.append((module, expected, got))
        for module, expected, got in differences:
            with self.subTest(module=json.dumps(module)):
                self.assertEqual(got, expected)
        self.assertEqual(agreeing, MODULES)


if __name__ == "__main__":
    unittest.main()
