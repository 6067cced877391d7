"""flatten_json: cache slots and the flat module, the stops of flattening, deep chains."""

import json
import unittest

import _velorn as M
from velorn_support import panic_message


def flat(source, keys=(), entry="main"):
    """The flat module of `source` as canonical text."""
    return M.fmt_json(M.flatten_json(M.parse_to_json(source), entry, list(keys)))


def canonical(source):
    return M.fmt_source(source)


def edited(source, edit):
    """The JSON form of `source` after `edit` has changed its decoded document in place."""
    doc = json.loads(M.parse_to_json(source))
    edit(doc)
    return json.dumps(doc)


KV = """
main(x: f32[4]) -> (y: f32[4]) {
  k: f32[4] = cache[kc, init_kc, extend_kc](x)
  y = map[add](k, kc)
}
init_kc(x: f32[4]) -> (c: f32[4]) {
  z = map[zero](x)
  c = map[add](z, x)
}
extend_kc(c: f32[4], x: f32[4]) -> (next: f32[4]) {
  t = map[mul](c, x)
  next = map[add](c, t)
}
"""

# The init body under the slot's name, which the operation's output k stands for.
KV_INIT = """
main(x: f32[4]) -> (y: f32[4], kc: f32[4]) {
  kc.z = map[zero](x)
  kc = map[add](kc.z, x)
  y = map[add](kc, kc)
}
"""

# The extend body under kc_new, reading the incoming value kc, which k stands for.
KV_EXTEND = """
main(x: f32[4], kc: f32[4]) -> (y: f32[4], kc_new: f32[4]) {
  kc_new.t = map[mul](kc, x)
  kc_new = map[add](kc, kc_new.t)
  y = map[add](kc, kc)
}
"""

NESTED = """
main(h: f32[4]) -> (out: f32[4]) {
  h = loop[outer, 2](h)
  out = map[copy](h)
}
outer(x: f32[4]) -> (z: f32[4]) {
  x = loop[inner, 2](x)
  z = map[copy](x)
  s: f32[4] = cache[st.*, init](z)
}
inner(x: f32[4]) -> (r: f32[4]) {
  r = map[neg](x)
  c: f32[4] = cache[kv.*, init](r)
}
init(x: f32[4]) -> (y: f32[4]) {
  y = map[exp](x)
}
"""


class CacheSlots(unittest.TestCase):
    def test_slot_started_or_extended(self):
        cases = [
            ((), KV_INIT),
            (("other",), KV_INIT),
            (("kc",), KV_EXTEND),
            (("kc", "kc", "other"), KV_EXTEND),
        ]
        for keys, expected in cases:
            with self.subTest(keys=keys):
                self.assertEqual(flat(KV, keys), canonical(expected))

    def test_listed_slot_without_extend_is_passed_through(self):
        source = """
main(x: f32[4]) -> (y: f32[4]) {
  s: f32[2] = cache[st, nowhere](x)
  y = map[neg](x)
}
"""
        expected = """
main(x: f32[4], st: f32[2]) -> (y: f32[4], st: f32[2]) {
  y = map[neg](x)
}
"""
        self.assertEqual(flat(source, ["st"]), canonical(expected))
        self.assertEqual(panic_message(lambda: flat(source)), "no entry found for key")

    def test_slot_recorded_twice_counts_once_with_its_first_type(self):
        source = KV.replace("  y = map[add](k, kc)\n", "  b: f32[8] = cache[kc, init_kc](y)\n"
                            "  y = map[neg](x)\n")
        cases = [
            ((), """
main(x: f32[4]) -> (y: f32[4], kc: f32[4]) {
  kc.z = map[zero](x)
  kc = map[add](kc.z, x)
  kc.z = map[zero](y)
  kc = map[add](kc.z, y)
  y = map[neg](x)
}
"""),
            (("kc",), """
main(x: f32[4], kc: f32[4]) -> (y: f32[4], kc_new: f32[4], kc: f32[8]) {
  kc_new.t = map[mul](kc, x)
  kc_new = map[add](kc, kc_new.t)
  y = map[neg](x)
}
"""),
        ]
        for keys, expected in cases:
            with self.subTest(keys=keys):
                self.assertEqual(flat(source, keys), canonical(expected))

    def test_entry_parameter_or_return_takes_the_slots_place(self):
        source = KV.replace("main(x: f32[4]) -> (y: f32[4])",
                            "main(x: f32[4], kc: f32[9]) -> (y: f32[4], kc: f32[9])")
        cases = [
            # The parameter kc is read after the init body, so the slot's value takes the
            # name it has in that body.
            ((), """
main(x: f32[4], kc: f32[9]) -> (y: f32[4], kc: f32[9]) {
  kc.z = map[zero](x)
  kc.c = map[add](kc.z, x)
  y = map[add](kc.c, kc)
}
"""),
            (("kc",), KV_EXTEND.replace(
                "main(x: f32[4], kc: f32[4]) -> (y: f32[4], kc_new: f32[4])",
                "main(x: f32[4], kc: f32[9]) -> (y: f32[4], kc: f32[9], kc_new: f32[4])")),
        ]
        for keys, expected in cases:
            with self.subTest(keys=keys):
                self.assertEqual(flat(source, keys), canonical(expected))

    def test_slots_of_nested_loops(self):
        cases = [
            ((), """
main(h: f32[4]) -> (out: f32[4], kv.0: f32[4], kv.1: f32[4], st.0: f32[4], st.1: f32[4]) {
  loop0.x_1 = map[neg](h)
  kv.0 = map[exp](loop0.x_1)
  loop0.x_2 = map[neg](loop0.x_1)
  kv.1 = map[exp](loop0.x_2)
  h_1 = map[copy](loop0.x_2)
  st.0 = map[exp](h_1)
  loop1.x_1 = map[neg](h_1)
  kv.0 = map[exp](loop1.x_1)
  loop1.x_2 = map[neg](loop1.x_1)
  kv.1 = map[exp](loop1.x_2)
  h_2 = map[copy](loop1.x_2)
  st.1 = map[exp](h_2)
  out = map[copy](h_2)
}
"""),
            # Keys name the slots as the iterations made them, not the ".*" form.
            (("kv.1", "st.0", "kv.*"), """
main(h: f32[4], kv.1: f32[4], st.0: f32[4])
-> (out: f32[4], kv.0: f32[4], kv.1: f32[4], st.0: f32[4], st.1: f32[4]) {
  loop0.x_1 = map[neg](h)
  kv.0 = map[exp](loop0.x_1)
  loop0.x_2 = map[neg](loop0.x_1)
  h_1 = map[copy](loop0.x_2)
  loop1.x_1 = map[neg](h_1)
  kv.0 = map[exp](loop1.x_1)
  loop1.x_2 = map[neg](loop1.x_1)
  h_2 = map[copy](loop1.x_2)
  st.1 = map[exp](h_2)
  out = map[copy](h_2)
}
"""),
        ]
        for keys, expected in cases:
            with self.subTest(keys=keys):
                self.assertEqual(flat(NESTED, keys), canonical(expected))

    def test_star_var_outside_loops_kept(self):
        source = NESTED.replace("  h = loop[outer, 2](h)\n", "  h = call[inner](h)\n")
        expected = """
main(h: f32[4]) -> (out: f32[4], kv.*: f32[4]) {
  h = map[neg](h)
  kv.* = map[exp](h)
  out = map[copy](h)
}
"""
        self.assertEqual(flat(source), canonical(expected))

    def test_init_bodies_are_inlined_not_scanned(self):
        # A cache operation inside an init body is copied; so an init may call the entry.
        source = """
main(x: f32[4]) -> (y: f32[4]) {
  y = call[g](x)
  k: f32[4] = cache[kc, again](y)
}
g(x: f32[4]) -> (y: f32[4]) {
  t = map[neg](x)
  y = map[exp](t)
}
again(x: f32[4]) -> (c: f32[4]) {
  d = call[g](x)
  c = call[main](d)
}
"""
        expected = """
main(x: f32[4]) -> (y: f32[4], kc: f32[4]) {
  y.t = map[neg](x)
  y = map[exp](y.t)
  kc.d.t = map[neg](y)
  kc.d = map[exp](kc.d.t)
  kc.c.y.t = map[neg](kc.d)
  kc = map[exp](kc.c.y.t)
  kc.c.k: f32[4] = cache[kc, again](kc)
}
"""
        self.assertEqual(flat(source), canonical(expected))


class FlatModule(unittest.TestCase):
    def test_keyed_by_the_entry_name_with_the_functions_own_name(self):
        doc = ('{"header_comments":["// kept"],"functions":{"other":{"name":"x","params":[],'
               '"returns":[],"ops":[]},"alias":{"name":"main","comments":["// c"],"params":[],'
               '"returns":[],"ops":[{"kind":"iota","outputs":["i"],"output_types":[null],'
               '"args":[]}]}}}')
        self.assertEqual(
            M.flatten_json(doc, "alias", ["alias"]),
            '{"header_comments":["// kept"],"functions":{"alias":{"name":"main","comments":'
            '["// c"],"params":[],"returns":[],"ops":[{"kind":"iota","outputs":["i"],'
            '"output_types":[null],"args":[]}]}}}')

    def test_cache_keys_make_a_set(self):
        doc = M.parse_to_json(KV)
        once = M.flatten_json(doc, "main", ["kc"])
        for keys in (("kc", "kc"), ["other", "kc", "kc"]):
            with self.subTest(keys=keys):
                self.assertEqual(M.flatten_json(doc, "main", keys), once)
        self.assertEqual(M.flatten_json(doc, "main"), M.flatten_json(doc, "main", []))

    def test_chain_of_ten_thousand_functions(self):
        # f0 calls f1 and so on; the last one's local value is prefixed once per level.
        n = 10_000

        def chain(last_body):
            head = "f{}(x: f32[4]) -> (y: f32[4]) {{\n{}}}\n"
            calls = "".join(head.format(i, f"  y = call[f{i + 1}](x)\n") for i in range(n - 1))
            return M.parse_to_json(calls + head.format(n - 1, last_body))

        doc = json.loads(M.flatten_json(chain("  t = map[neg](x)\n  y = map[exp](t)\n"), "f0"))
        ops = doc["functions"]["f0"]["ops"]
        self.assertEqual([op["outputs"] for op in ops], [["y." * (n - 1) + "t"], ["y"]])
        looped = chain("  y = call[f0](x)\n")
        self.assertEqual(panic_message(lambda: M.flatten_json(looped, "f0")),
                         "Function 'f0' calls itself and cannot be flattened")


class Interface(unittest.TestCase):
    """The flat function's parameters and returns keep their names, however many layers a
    loop runs; a value shows under another name only where it has two."""

    def interface(self, source, keys=()):
        fn = json.loads(M.flatten_json(M.parse_to_json(source), "main", list(keys)))
        fn = fn["functions"]["main"]
        return [p["name"] for p in fn["params"]], [r["name"] for r in fn["returns"]]

    def test_a_loop_of_any_count_returns_under_the_declared_names(self):
        source = """
block(h: f32[4], w: *) -> (h: f32[4]) {
  u: f32[4] = map[mul](h, w.g)
  h: f32[4] = map[add](h, u)
}
main(h: f32[4], weights: *) -> (h: f32[4], o: f32[4]) {
  h: f32[4] = loop[block, COUNT](h, weights.layers.*)
  o: f32[4] = map[neg](h)
}
"""
        for count in (1, 2, 3, 10):
            with self.subTest(count=count):
                self.assertEqual(self.interface(source.replace("COUNT", str(count))),
                                 (["h", "weights"], ["h", "o"]))

    def test_one_value_under_two_names(self):
        cases = [
            ("a return that stands for a parameter",
             "main(a: f32[4]) -> (b: f32[4]) {\n  b = call[same](a)\n}\n"
             "same(x: f32[4]) -> (x: f32[4]) {\n}\n", (), (["a"], ["a"])),
            ("two returns of one value: the one it already has",
             "main(x: f32[4]) -> (a: f32[4], b: f32[4]) {\n  a = map[neg](x)\n"
             "  b = call[same](a)\n}\nsame(x: f32[4]) -> (x: f32[4]) {\n}\n", (),
             (["x"], ["a", "a"])),
            ("a return of a slot's value: the slot's name, its extra return left out",
             "main(x: f32[4]) -> (o: f32[4]) {\n  o: f32[4] = cache[kc, i](x)\n}\n"
             "i(x: f32[4]) -> (c: f32[4]) {\n  c = map[neg](x)\n}\n", (),
             (["x"], ["kc"])),
            ("a return whose parameter is read after its final value",
             "main(o: f32[4]) -> (o: f32[4], p: f32[4]) {\n  o, p = call[f](o)\n}\n"
             "f(a: f32[4]) -> (r: f32[4], s: f32[4]) {\n  r = map[neg](a)\n"
             "  s = map[sub](a, r)\n}\n", (), (["o"], ["o.r", "p"])),
        ]
        for what, source, keys, expected in cases:
            with self.subTest(what):
                self.assertEqual(self.interface(source, keys), expected)


# (what, source, flat form): how a call's arguments bind its parameters.
BINDINGS = [
    ("a repeated parameter takes its last argument",
     "g(a: f32[4], a: f32[4]) -> (y: f32[4]) {\n  y = map[neg](a)\n}\n"
     "main(x: f32[4], z: f32[4]) -> (y: f32[4]) {\n  y = call[g](x, z)\n}\n",
     "main(x: f32[4], z: f32[4]) -> (y: f32[4]) {\n  y = map[neg](z)\n}\n"),
    ("a plain parameter after a dict parameter of the same name",
     "g(a: *, a: f32[4]) -> (y: f32[4]) {\n  y = map[add](a, a.q)\n}\n"
     "main(x: f32[4], w: *) -> (y: f32[4]) {\n  y = call[g](w, x)\n}\n",
     "main(x: f32[4], w: *) -> (y: f32[4]) {\n  y = map[add](x, w.q)\n}\n"),
    ("the longer of two dict parameters decides",
     "g(a: *, a.q: *, h: f32[4]) -> (h: f32[4]) {\n  h = map[add](a.q.r, a.s)\n}\n"
     "main(h: f32[4], w: *) -> (h: f32[4]) {\n  h = call[g](w.one, w.two, h)\n}\n",
     "main(h: f32[4], w: *) -> (h: f32[4]) {\n  h = map[add](w.two.r, w.one.s)\n}\n"),
    ("parameters past the arguments, under each iteration's own starred argument",
     "g(h: f32[4], a: f32[4], b: f32[4]) -> (h: f32[4]) {\n  h = map[add](h, a)\n"
     "  h = map[add](h, b)\n}\n"
     "main(h: f32[4], w: *) -> (h: f32[4]) {\n  h = loop[g, 2](h, w.*)\n}\n",
     "main(h: f32[4], w: *) -> (h: f32[4]) {\n  loop0.h = map[add](h, w.0.a)\n"
     "  h_1     = map[add](loop0.h, w.0.b)\n  loop1.h = map[add](h_1, w.1.a)\n"
     "  h       = map[add](loop1.h, w.1.b)\n}\n"),
]


class Bindings(unittest.TestCase):
    def test_arguments_bind_parameters(self):
        for what, source, expected in BINDINGS:
            with self.subTest(what):
                self.assertEqual(flat(source), expected)


def no_outputs(index):
    def edit(doc):
        doc["functions"]["main"]["ops"][index]["outputs"] = []
    return edit


def output_types(types):
    def edit(doc):
        doc["functions"]["main"]["ops"][0]["output_types"] = types
    return edit


ONE = "g(a: f32[4]) -> (b: f32[4]) {\n  b = map[neg](a)\n}\n"


def control_names(count):
    """A loop of `count` iterations over a body whose name is 1,000 control characters,
    each six bytes as JSON writes it: 12 kB of text per iteration."""
    source = ("blk(h: f32[4]) -> (h: f32[4]) {\n  NAME: f32[4] = map[neg](h)\n"
              "  h: f32[4] = map[neg](NAME)\n}\n"
              f"main(h: f32[4]) -> (h: f32[4]) {{\n  h: f32[4] = loop[blk, {count}](h)\n}}\n")
    return M.parse_to_json(source).replace("NAME", "\\u0001" * 1000)
TOO_LARGE = "Flattening would produce more than 10000000 operations"

# (what, source, JSON edit or None, keys, message)
STOPS = [
    ("missing entry", "f(x: f32[4]) -> () {\n}\n", None, (), "no entry found for key"),
    ("missing call target", "main(x: f32[4]) -> () {\n  y = call[nope](x)\n}\n", None, (),
     "no entry found for key"),
    ("missing loop target", "main(x: f32[4]) -> () {\n  x = loop[nope, 1](x)\n}\n", None, (),
     "no entry found for key"),
    ("call without outputs, before its target is looked up",
     "main(x: f32[4]) -> () {\n  y = call[nope](x)\n}\n", no_outputs(0), (),
     "index out of bounds: the len is 0 but the index is 0"),
    ("loop without outputs", "main(x: f32[4]) -> () {\n  x = loop[nope, 1](x)\n}\n",
     no_outputs(0), (), "index out of bounds: the len is 0 but the index is 0"),
    ("named count, checked first", "main(x: f32[4]) -> () {\n  x = loop[nope, n_layers](x)\n}\n",
     no_outputs(0), (), "Loop count 'n_layers' not resolved before flattening"),
    ("no threaded argument, before the target is looked up",
     "main(x: f32[4]) -> () {\n  y = loop[nope, 2](x)\n}\n", None, (),
     "Loop must have a threaded arg matching output name"),
    ("more arguments than parameters", "main(x: f32[4]) -> () {\n  y = call[g](x, x, 2)\n}\n" + ONE,
     None, (), "range end index 3 out of range for slice of length 1"),
    ("an iteration call with more arguments than parameters",
     "main(x: f32[4]) -> () {\n  x = loop[g, 2](x, x)\n}\n" + ONE, None, (),
     "range end index 2 out of range for slice of length 1"),
    ("an extend call with more arguments than parameters",
     "main(x: f32[4]) -> () {\n  k: f32[4] = cache[kc, g, g](x)\n}\n" + ONE, None, ("kc",),
     "range end index 2 out of range for slice of length 1"),
    ("a failure inside the callee comes before the call's own",
     "main(x: f32[4]) -> () {\n  y = call[g](x, x)\n}\n"
     "g(a: f32[4]) -> () {\n  b = call[nope](a)\n}\n", None, (), "no entry found for key"),
    ("no arguments for a parameter", "main(x: f32[4]) -> () {\n  y = call[g]()\n}\n" + ONE, None,
     (), "Call to 'g' passes no arguments for its 1 parameter"),
    ("no arguments for an init's parameters",
     "main(x: f32[4]) -> () {\n  k: f32[4] = cache[kc, g2]()\n}\n"
     "g2(a: f32[4], b: f32[4]) -> (c: f32[4]) {\n}\n", None, (),
     "Call to 'g2' passes no arguments for its 2 parameters"),
    ("a function calling itself", "main(x: f32[4]) -> () {\n  y = call[main](x)\n}\n", None, (),
     "Function 'main' calls itself and cannot be flattened"),
    ("a loop reaching its own function through another",
     "main(x: f32[4]) -> () {\n  y = call[a](x)\n}\na(x: f32[4]) -> (y: f32[4]) {\n"
     "  x = loop[b, 1](x)\n}\nb(x: f32[4]) -> (y: f32[4]) {\n  y = call[a](x)\n}\n", None, (),
     "Function 'a' calls itself and cannot be flattened"),
    ("an init calling itself",
     "main(x: f32[4]) -> () {\n  k: f32[4] = cache[kc, i](x)\n}\n"
     "i(x: f32[4]) -> (y: f32[4]) {\n  y = call[i](x)\n}\n", None, (),
     "Function 'i' calls itself and cannot be flattened"),
    ("an iteration count of 10^12", "main(x: f32[4]) -> () {\n  x = loop[g, 1000000000000](x)\n}\n"
     + ONE, None, (), TOO_LARGE),
    ("nested loops whose product passes the bound",
     "main(x: f32[4]) -> () {\n  x = loop[h, 100000](x)\n}\n"
     "h(x: f32[4]) -> (x: f32[4]) {\n  x = loop[g, 1000](x)\n}\n" + ONE, None, (), TOO_LARGE),
    ("a large literal in a loop whose copies pass the bound on memory",
     "main(x: f32[4]) -> () {\n  x = loop[big, 1000000](x)\n}\n"
     "big(x: f32[4]) -> (y: f32[4]) {\n  c = literal([" + ", ".join(["0"] * 1000) + "])\n"
     "  y = map[add](x, c)\n}\n", None, (),
     "Flattening would produce more than 4294967296 bytes of operations"),
    ("names whose escapes pass the bound on bytes as JSON writes them",
     None, "control names", (), "Flattening would produce more than 4294967296 bytes of operations"),
    ("cache operation without output types",
     "main(x: f32[4]) -> () {\n  k: f32[4] = cache[kc, nope](x)\n}\n", output_types([]), (),
     "cache slot must have a declared type"),
    ("cache operation whose first output type is absent",
     "main(x: f32[4]) -> () {\n  k, k2: f32[4] = cache[kc, nope](x)\n}\n", None, ("kc",),
     "cache slot must have a declared type"),
    ("missing init", "main(x: f32[4]) -> () {\n  k: f32[4] = cache[kc, nope](x)\n}\n", None, (),
     "no entry found for key"),
    ("missing extend", "main(x: f32[4]) -> () {\n  k: f32[4] = cache[kc, g, nope](x)\n}\n" + ONE,
     None, ("kc",), "no entry found for key"),
]


class Stops(unittest.TestCase):
    def test_each_stop_with_its_message(self):
        for what, source, edit, keys, message in STOPS:
            with self.subTest(what):
                if edit == "control names":
                    doc = control_names(1_773_314)
                else:
                    doc = edited(source, edit) if edit else M.parse_to_json(source)
                self.assertEqual(panic_message(lambda: M.flatten_json(doc, "main", list(keys))),
                                 message)


if __name__ == "__main__":
    unittest.main()
