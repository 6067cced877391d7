"""infer_axes_json: the axis sizes of view and tile patterns, and nothing else changed."""

import json
import os
import pathlib
import unittest

import _velorn
from velorn_support import json_error, panic_message

CORPUS = pathlib.Path(__file__).resolve().parent.parent / "data" / "corpus"
EXAMPLES = pathlib.Path(os.environ.get(
    "VEL_EXAMPLES", pathlib.Path(__file__).resolve().parent.parent.parent / "examples"))
BOUNDS = "index out of bounds: the len is {} but the index is {}"

# Every kind of operation but view and tile, and every field the interchange form has.
NO_AXES = """\
// head \u00e9 "quoted" \\ back\r
// \u0007 bell

only(x: f32[4, n], wts: *, p: i64[param.k]) -> (y: f32[4, n], z: f32[]) {
  // before m
  m: f32[4, n] = map[add](x, x, 1, -2, 2.5e-300, 1e300, wts.w_0, param.k)
  f: f32[4]    = fold["a\u00e9 b -> a\u00e9", sum](m)
  g: f32[4]    = read["a b, a -> a"](m, p)
  w: f32[4, n] = write["a b -> a b", max](m, g)
  c: f32[4]    = contract["a b, a b -> a"](m, w)
  l: f32[2]    = literal([[1, -9223372036854775808], [0.1, -0.0], [], 5e-324])
  s = literal(7)
  i: i32[4]    = iota()
  (k, k2): (f32[4]) = call[helper](c)
  r: f32[4]    = random[-0.5, 1.25]
  q: f32[4]    = loop[helper, 3](c)
  o: f32[4]    = loop[helper, param.layers](q)
  e: f32[4]    = cache[state.kv, helper, helper](o)
  h: f32[4]    = cache[state.h, helper](e)
  y: f32[4, n] = map[neg](m)
}

helper(v: f32[4]) -> (v: f32[4]) {
}
"""

# The resolved module is the same module with the sizes written as axis keywords at <1> to <3>.
RESOLVED = """\
f(x: f32[2, 8, 64], t: f32[16]) -> (y: f32[2, 8, 4, 16]) {
  // comment
  y: f32[2, 8, 4, 16] = view["b s (h d) -> b s h d"](x<1>)
  u: f32[64]          = tile["d -> (r d)"](t<2>)
  v: f32[2, 8, 64]    = view["b s h d -> b s (h d)"](y)
  w: f32[param.n, 4]  = view["a -> b c"](t<3>)
  k: f32[4, 2]        = tile["a -> r a"](t, r=9)
  n: f32[4]           = fold["a -> b", sum](t)
}
"""


def resolved_source(*axes):
    text = RESOLVED
    for i, keywords in enumerate(axes or ("", "", "")):
        text = text.replace(f"<{i + 1}>", keywords)
    return text


def sources():
    files = sorted(CORPUS.glob("*.vel")) + sorted(EXAMPLES.glob("*.vel"))
    assert len(files) > 4, "the corpus or the examples are missing"
    return [(f.name, f.read_text(encoding="utf-8")) for f in files]


def with_pattern(pattern, first_input="x"):
    return _velorn.parse_to_json(
        f'f(x: f32[4]) -> () {{\n  y: f32[4] = view["{pattern}"]({first_input})\n}}\n')


class Unchanged(unittest.TestCase):
    def test_every_byte_stays_where_nothing_is_resolved(self):
        for name, text in sources() + [("no axes", NO_AXES)]:
            with self.subTest(name):
                doc = _velorn.parse_to_json(text)
                self.assertEqual(_velorn.infer_axes_json(doc), doc)

    def test_output_is_the_canonical_form_of_any_spelling(self):
        doc = _velorn.parse_to_json(NO_AXES)
        spread = json.dumps(json.loads(doc), indent=3, ensure_ascii=True)
        self.assertNotEqual(spread, doc)
        self.assertEqual(_velorn.infer_axes_json(spread), doc)


class Resolved(unittest.TestCase):
    def test_only_the_axes_are_written(self):
        given = _velorn.parse_to_json(resolved_source())
        want = _velorn.parse_to_json(resolved_source(", h=4, d=16", ", r=4", ", c=4"))
        self.assertEqual(_velorn.infer_axes_json(given), want)
        # the names of the configuration stay as they are
        ops = json.loads(want)["functions"]["f"]["ops"]
        self.assertEqual(ops[3]["output_types"][0]["shape"], ["param.n", 4])

    def test_resolving_twice_changes_nothing_more(self):
        once = _velorn.infer_axes_json(_velorn.parse_to_json(resolved_source()))
        self.assertEqual(_velorn.infer_axes_json(once), once)


class Failures(unittest.TestCase):
    def test_operation_without_output_types(self):
        doc = _velorn.parse_to_json("f() -> () {\n  () : () = iota()\n}\n")
        self.assertEqual(panic_message(_velorn.infer_axes_json, doc), BOUNDS.format(0, 0))

    def test_unclosed_group(self):
        self.assertEqual(panic_message(_velorn.infer_axes_json, with_pattern("(a b -> c")),
                         BOUNDS.format(3, 3))
        self.assertEqual(panic_message(_velorn.infer_axes_json, with_pattern("a -> (b c d")),
                         BOUNDS.format(4, 4))

    def test_many_unpaired_parentheses(self):
        n = 100_000
        self.assertEqual(panic_message(_velorn.infer_axes_json, with_pattern("(" * n + " -> a")),
                         BOUNDS.format(n, n))
        doc = with_pattern(")" * n + " -> a (" + ")" * n)
        got = json.loads(_velorn.infer_axes_json(doc))["functions"]["f"]["ops"][0]
        self.assertEqual(got["axes"], {"a": 4})

    def test_json_that_cannot_be_read(self):
        self.assertEqual(
            panic_message(_velorn.infer_axes_json, ""),
            json_error("EOF while parsing a value", 1, 0))


if __name__ == "__main__":
    unittest.main()
