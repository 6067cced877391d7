"""flatten_json against the plain flattener of flatten_reference, byte for byte: the flat
module text, or the stop message.

Three populations:
- random small modules, generated from a fixed seed, each made to reach the corners of
  flattening: dict parameters and their dotted names, calls with too few, as many and too
  many arguments, numbers as arguments, loops threading their value at any position (or not
  at all, or with a named count), ".*" names, cache slots with and without extend functions
  and declared types, configuration names and symbolic dimensions, returns named like
  parameters, missing targets and functions that reach themselves;
- the modules of test_flat_collisions, whose values are named like the texts that
  flattening keeps or makes up: they reach the choice of names (pins given up, second
  letters, fresh names), which the first population seldom does;
- small modules at the corners of naming, each with its flat form written out.
"""

import json
import random
import unittest

import _velorn as M

import flatten_reference as ref
import test_flat_collisions as collisions
from velorn_support import quiet_fd2

SEED = 20240611
MODULES = 3000
COLLISION_SEED = 20270301
COLLIDING_PER_GROUP = 300
SHOWN = 3  # differing modules shown per population
# Modules whose flat form would pass this many operations are drawn again, to keep the
# test fast; the reference copies every expansion afresh.
MAX_OPS = 400

F4 = {"dtype": "f32", "shape": [4]}
TYPES = [
    F4,
    {"dtype": "f32", "shape": ["n"]},
    {"dtype": "f32", "shape": ["param.d", 4]},
    {"dtype": "i32", "shape": ["m", "k"]},
    {"dtype": "f32", "shape": []},
]
DICT = {"dtype": "*", "shape": []}

PARAM_NAMES = ["x", "y", "a", "h", "n", "k", "param.p", "é"]
DICT_NAMES = ["w", "w.a", "v", "weights", "", "w."]
RETURN_NAMES = ["y", "r", "o", "x", "w"]
LOCAL_NAMES = ["t", "u", "y", "r", "x", "o", "a.b", "weights.own", "param.k", "n", "kc", "w"]
LOOSE_ARGS = ["w.q", "w.a.b", "w.a", "wq", "x.f", "v.z", "weights.l0", "weights.layers.*",
              "kv.*", "param.eps", "param.", "param", "n", "m", "k", "kc", "q.*", ".*", "*",
              "", ".", "w.", "x.y.*", "kc_new", "loop0.t"]
NUMBERS = [2, -3, 1.5, 0]
STARRED = ["weights.layers.*", "kv.*", "w.*", ".*", "x.y.*"]
CACHE_VARS = ["kc", "kv.*", "st", "kc.*", "w.*", "t", "y", "x", "w", "kc_new"]
CACHE_KEYS = ["kc", "y", "x", "w", "kv.0", "kv.1", "kv.2", "kv.*", "st", "kc.0", "kc.1", "t",
              "other", "kc_new", "loop0.kv.0"]


class ModuleMaker:
    """One random module: a main function and a few others that it may reach."""

    def __init__(self, rng):
        self.rng = rng
        # How often a part is drawn the way that stops flattening.
        self.fault = rng.choice([0.0, 0.03, 0.1, 0.3])
        count = rng.randint(1, 6)
        self.names = ["main"] + [f"f{i}" for i in range(1, count)]
        self.params = {name: self.make_params() for name in self.names}

    def chance(self, p):
        return self.rng.random() < p

    def faulty(self):
        return self.chance(self.fault)

    def pick(self, items):
        return self.rng.choice(items)

    def type(self):
        return dict(self.pick(TYPES))

    def make_params(self):
        params = []
        for _ in range(self.rng.choice([0, 1, 1, 2, 2, 3])):
            if self.chance(0.3):
                params.append({"name": self.pick(DICT_NAMES), "ty": DICT})
            else:
                params.append({"name": self.pick(PARAM_NAMES), "ty": self.type()})
        if self.chance(0.1):  # two dict parameters that both match w.a.b
            params += [{"name": "w.a", "ty": DICT}, {"name": "w", "ty": DICT}]
        return params

    def target(self, index):
        """Mostly a later function, so that most modules have a finite expansion."""
        later = self.names[index + 1:]
        if later and not self.faulty():
            return self.pick(later)
        return self.pick(self.names) if self.chance(0.7) else "nope"

    def arg_count(self, target):
        params = len(self.params.get(target, []))
        if self.faulty():
            return max(0, params + self.pick([1, 2, -9]))
        return max(min(params, 1), params - self.pick([0, 0, 1, 1, 2]))

    def atom(self, scope):
        roll = self.rng.random()
        if roll < 0.5 and scope:
            return self.pick(scope)
        if roll < 0.8:
            return self.pick(LOOSE_ARGS)
        return self.pick(NUMBERS)

    def output_types(self, outputs):
        types = [self.type() if self.chance(0.6) else None for _ in outputs]
        if self.chance(0.1):
            types = types[:-1] if types else [self.type()]
        return types

    def outputs(self, allow_none):
        if allow_none and self.faulty() and self.chance(0.2):
            return []
        count = 2 if self.chance(0.15) else 1
        return [self.pick(LOCAL_NAMES) for _ in range(count)]

    def op(self, index, scope):
        roll = self.rng.random()
        if index == len(self.names) - 1 and 0.35 <= roll < 0.72 and self.chance(0.8):
            roll = 0  # the last function mostly calls nothing
        if roll < 0.35:
            outputs = self.outputs(True)
            args = [self.atom(scope) for _ in range(self.rng.randint(0, 3))]
            op = {"kind": "map", "function": self.pick(["add", "neg"]), "outputs": outputs,
                  "output_types": self.output_types(outputs), "args": args}
        elif roll < 0.55:
            target = self.target(index)
            outputs = self.outputs(True)
            args = [self.atom(scope) for _ in range(self.arg_count(target))]
            op = {"kind": "call", "target": target, "outputs": outputs,
                  "output_types": self.output_types(outputs), "args": args}
        elif roll < 0.72:
            op = self.loop(index, scope)
        elif roll < 0.85:
            op = self.cache(scope)
        else:
            op = self.plain(scope)
        if self.chance(0.1):
            op["comments"] = ["// note"]
        return op

    def loop(self, index, scope):
        target = self.target(index)
        outputs = self.outputs(True)
        args = [self.pick(STARRED) if self.chance(0.4) else self.atom(scope)
                for _ in range(max(1, self.arg_count(target)))]
        if outputs and not (self.faulty() and self.chance(0.5)):
            args[self.rng.randrange(len(args))] = outputs[0]
            if self.chance(0.2):
                args.append(outputs[0])  # a second x, passed unchanged
        count = self.pick([0, 1, 2, 2, 3, 3])
        if self.faulty() and self.chance(0.2):
            count = self.pick(["n_layers", "", None, True, [2]])
        return {"kind": "loop", "target": target, "count": count, "outputs": outputs,
                "output_types": self.output_types(outputs), "args": args}

    def cache(self, scope):
        op = {"kind": "cache", "var": self.pick(CACHE_VARS), "init": self.pick(self.names)}
        args = self.arg_count(op["init"])
        if self.chance(0.5):
            op["extend"] = self.pick(self.names)
            args = max(0, self.arg_count(op["extend"]) - 1)
            if self.faulty() and self.chance(0.2):
                op["extend"] = "nope"
        elif self.faulty() and self.chance(0.2):
            op["init"] = "nope"
        outputs = [self.pick(["k", "kc", "t"])]
        roll = self.rng.random() if self.faulty() else 0
        if roll < 0.4:
            types = [self.type()]
        elif roll < 0.6:
            types = []
        elif roll < 0.8:
            types = [None]
        else:
            outputs.append("k2")
            types = [None, self.type()]
        op.update(outputs=outputs, output_types=types,
                  args=[self.atom(scope) for _ in range(args)])
        return op

    def plain(self, scope):
        outputs = self.outputs(True)
        head = self.pick([
            {"kind": "view", "pattern": "a b -> b a"},
            {"kind": "view", "pattern": "a -> a", "axes": {"a": 4}},
            {"kind": "literal", "value": [1, [2, 3]]},
            {"kind": "iota"},
            {"kind": "random", "lower": 0.0, "upper": 1.0},
            {"kind": "fold", "pattern": "a ->", "reduction": "sum"},
        ])
        args = [self.atom(scope) for _ in range(self.rng.randint(0, 2))]
        return dict(head, outputs=outputs, output_types=self.output_types(outputs), args=args)

    def function(self, index):
        name = self.names[index]
        params = self.params[name]
        returns = []
        for _ in range(self.rng.choice([0, 1, 1, 1, 2])):
            returns.append({"name": self.pick(RETURN_NAMES), "ty": self.type()})
        scope = [p["name"] for p in params] + [r["name"] for r in returns]
        ops = []
        for _ in range(self.rng.randint(1, 5)):
            op = self.op(index, scope)
            ops.append(op)
            scope += op["outputs"]
        fn = {"name": name if self.chance(0.95) else name + "_own"}
        if self.chance(0.1):
            fn["comments"] = ["// fn"]
        fn.update(params=params, returns=returns, ops=ops)
        return fn

    def module(self):
        functions = {name: self.function(i) for i, name in enumerate(self.names)}
        module = {}
        if self.chance(0.1):
            module["header_comments"] = ["// head"]
        module["functions"] = functions
        return module

    def cache_keys(self):
        return self.rng.sample(CACHE_KEYS, self.rng.choice([0, 0, 1, 2, 3]))

    def entry(self):
        return "main" if self.chance(0.9) else self.pick(self.names + ["nope"])


def flat_size(module, name, seen=()):
    """About how many operations the flat form has, a function reaching itself counting 1."""
    fn = module["functions"].get(name)
    if fn is None or name in seen:
        return 1
    size = 0
    for op in fn["ops"]:
        if op["kind"] == "call":
            size += flat_size(module, op["target"], seen + (name,))
        elif op["kind"] == "loop" and isinstance(op["count"], int):
            size += op["count"] * flat_size(module, op["target"], seen + (name,))
        elif op["kind"] == "cache":
            size += 2 * flat_size(module, op["init"], seen + (name,))
        else:
            size += 1
    return size


def draw(rng):
    """A module, its entry and its cache keys."""
    while True:
        maker = ModuleMaker(rng)
        module = maker.module()
        entry = maker.entry()
        if flat_size(module, entry) <= MAX_OPS:
            return module, entry, maker.cache_keys()


def reference_result(module, entry, keys):
    try:
        flat = ref.flatten(module, entry, keys)
    except ref.Stop as stop:
        return ("stop", stop.args[0])
    return ("flat", json.dumps(flat, separators=(",", ":"), ensure_ascii=False))


def module_result(text, entry, keys):
    try:
        return ("flat", M.flatten_json(text, entry, keys))
    except BaseException as exc:  # PanicException derives from BaseException only
        if type(exc).__name__ != "PanicException":
            raise
        return ("stop", exc.args[0])


def colliding(rng):
    """A module of one of test_flat_collisions' groups drawn at random, its entry and its
    cache keys."""
    group = rng.choice(collisions.GROUPS)
    maker = collisions.Maker(rng, colliding=group == "mixed")
    if group == "mixed":
        snippets = rng.sample([collisions.FAMILIES[f] for f in range(1, 8)], rng.randint(1, 3))
    else:
        snippets = [collisions.FAMILIES[group]] if group != "plain" else []
    module = maker.module(snippets)
    return module, "main", maker.keys()


class Differential(unittest.TestCase):
    def compare(self, modules):
        """Flattens each (module, entry, keys) both ways; the outcomes met."""
        differences, outcomes = [], {"flat": 0, "stop": 0}
        with quiet_fd2():
            for module, entry, keys in modules:
                text = json.dumps(module, separators=(",", ":"), ensure_ascii=False)
                expected = reference_result(module, entry, keys)
                outcomes[expected[0]] += 1
                got = module_result(text, entry, keys)
                if got != expected and len(differences) < SHOWN:
                    differences.append((text, entry, keys, expected, got))
        for text, entry, keys, expected, got in differences:
            with self.subTest(module=text, entry=entry, keys=keys):
                self.assertEqual(got, expected)
        return outcomes

    def test_random_modules_flatten_as_the_reference_does(self):
        rng = random.Random(SEED)
        outcomes = self.compare(draw(rng) for _ in range(MODULES))
        # Both roads must be well travelled for the comparison to mean anything.
        self.assertGreater(outcomes["flat"], MODULES // 4, outcomes)
        self.assertGreater(outcomes["stop"], MODULES // 10, outcomes)

    def test_modules_of_values_named_alike_flatten_as_the_reference_does(self):
        rng = random.Random(COLLISION_SEED)
        count = COLLIDING_PER_GROUP * len(collisions.GROUPS)
        self.compare(colliding(rng) for _ in range(count))


# (what, module, cache keys, its flat form)
CORNERS = [
    ("a dict parameter's name and a point, with nothing after it", """
f(w: *) -> (y: f32[4]) {
  y: f32[4] = map[neg](w.)
}
main(weights: *) -> (o: f32[4]) {
  o: f32[4] = call[f](weights.l0)
}
""", (), """
main(weights: *) -> (o: f32[4]) {
  o: f32[4] = map[neg](weights.l0.)
}
"""),
    ("a value whose pin is given up, its letter a configuration name read later", """
f(v: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[mul](v, param.s)
}
id(v: f32[4]) -> (v: f32[4]) {
}
main(x: f32[4]) -> (x: f32[4], o: f32[4]) {
  param.s: f32[4] = map[neg](x)
  o      : f32[4] = call[f](x)
  x      : f32[4] = call[id](param.s)
}
""", (), """
main(x: f32[4]) -> (param.s_1: f32[4], o: f32[4]) {
  param.s_1: f32[4] = map[neg](x)
  o        : f32[4] = map[mul](x, param.s)
}
"""),
    ("a fresh name beside a loop whose output no value takes", """
id(v: f32[4]) -> (v: f32[4]) {
}
main(x: f32[4]) -> (t: f32[4], o: f32[4]) {
  t: f32[4] = map[neg](x)
  t: f32[4] = loop[id, 1](t)
  s: f32[4] = call[id](t)
  t: f32[4] = map[neg](x)
  o: f32[4] = map[add](s)
}
""", (), """
main(x: f32[4]) -> (t: f32[4], o: f32[4]) {
  t_1: f32[4] = map[neg](x)
  t  : f32[4] = map[neg](x)
  o  : f32[4] = map[add](t_1)
}
"""),
]


class Corners(unittest.TestCase):
    def test_corners_of_naming_flatten_as_written(self):
        for what, source, keys, flat in CORNERS:
            with self.subTest(what):
                text = M.parse_to_json(source)
                expected = reference_result(json.loads(text), "main", keys)
                self.assertEqual(M.fmt_json(expected[1]), flat.lstrip())
                self.assertEqual(module_result(text, "main", keys), expected)


if __name__ == "__main__":
    unittest.main()
