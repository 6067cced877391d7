"""The reading of vel_reading on small modules whose values are known: how names resolve,
how calls bind their arguments, and what loops and cache operations give."""

import json
import unittest

import _velorn as M

from vel_reading import Reading, Terms, Undefined


def read(source, keys=()):
    """The shown values of main's returns and the shown slots."""
    terms = Terms()
    reading = Reading(json.loads(M.parse_to_json(source)), terms, keys)
    returns = [terms.show(v, depth=9) for v in reading.run("main")]
    return returns, {s: terms.show(v, depth=9) for s, v in reading.slots.items()}


def mix(*inputs):
    return 'map{"function":"mix"}(' + ", ".join(inputs) + ")"


# (what, source, cache keys, main's returns, slots)
CASES = [
    ("a dict parameter bound to a name reads itself and its fields in the caller", """
f(w: *, v: f32[4]) -> (y: f32[4], w.q: f32[4], w: f32[4]) {
  y: f32[4] = map[mix](v, w.k.z)
}
main(x: f32[4], weights: *) -> (a: f32[4], b: f32[4], c: f32[4]) {
  a, b, c = call[f](weights.l0, x)
}
""", (), [mix("in(0)", "sym(weights.l0.k.z)"), "sym(weights.l0.q)", "sym(weights.l0)"], {}),
    ("the longest dict parameter that begins a name reads it", """
f(w: *, w.a: *) -> (r: f32[4]) {
  r: f32[4] = map[mix](w.a.b, w.c)
}
main(x: f32[4], weights: *) -> (r: f32[4]) {
  r: f32[4] = call[f](weights.p, weights.r)
}
""", (), [mix("sym(weights.r.b)", "sym(weights.p.c)")], {}),
    ("the last of fewer arguments stands for each parameter from its own position on", """
f(a: f32[4], b: *, c: f32[4]) -> (a: f32[4], b: f32[4], c: f32[4]) {
}
main(x: f32[4], weights: *) -> (a: f32[4], b: f32[4], c: f32[4]) {
  a, b, c = call[f](x, weights.l0)
}
""", (), ["in(0)", "sym(weights.l0.b)", "sym(weights.l0.c)"], {}),
    ("a number binds a parameter, a dict parameter too; a number last binds nothing", """
f(s: i32[], w: *) -> (s: f32[4], w: f32[4]) {
}
g(a: f32[4], n: f32[n]) -> (n: f32[n]) {
}
main(x: f32[4]) -> (s: f32[4], w: f32[4], n: f32[4]) {
  s, w = call[f](2, 2.0)
  n: f32[4] = call[g](3)
}
""", (), ["int(2)", "float(2.0)", "sym(n)"], {}),
    ("a later parameter of the same name wins", """
f(a: f32[4], a: f32[4]) -> (a: f32[4]) {
}
main(x: f32[4], y: f32[4]) -> (o: f32[4]) {
  o: f32[4] = call[f](x, y)
}
""", (), ["in(1)"], {}),
    ("a written name before a dimension; param. names and dimensions as symbols", """
f(v: f32[n, k]) -> (y: f32[4]) {
  n: f32[4] = map[mix](v)
  y: f32[4] = map[mix](n, k, param.s)
}
main(x: f32[4]) -> (y: f32[4]) {
  y: f32[4] = call[f](x)
}
""", (), [mix(mix("in(0)"), "sym(k)", "sym(param.s)")], {}),
    ("all returns are read before the outputs are written", """
f(v: f32[4]) -> (y: f32[4], v: f32[4]) {
  y: f32[4] = map[mix](v)
}
main(o: f32[4]) -> (o: f32[4], p: f32[4]) {
  o, p = call[f](o)
}
""", (), [mix("in(0)"), "in(0)"], {}),
    ("a loop threads its value; .* names the iteration; x elsewhere is x before the loop", """
f(v: f32[4], w: *, u: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[mix](v, w.q, u)
}
main(x: f32[4], weights: *) -> (x: f32[4]) {
  x: f32[4] = loop[f, 2](x, weights.layers.*, x)
}
""", (), [mix(mix("in(0)", "sym(weights.layers.0.q)", "in(0)"), "sym(weights.layers.1.q)",
              "in(0)")], {}),
    ("a slot per iteration of the loop around a call; listed, extended; outside, as written",
     """
i(k: f32[4]) -> (s: f32[4]) {
  s: f32[4] = map[mix](k)
}
e(old: f32[4], k: f32[4]) -> (n: f32[4]) {
  n: f32[4] = map[mix](old, k)
}
holder(v: f32[4]) -> (c: f32[4]) {
  c: f32[4] = cache[kv.*, i, e](v)
}
layer(v: f32[4]) -> (v: f32[4]) {
  v: f32[4] = call[holder](v)
}
main(x: f32[4]) -> (x: f32[4], o: f32[4]) {
  o: f32[4] = cache[kv.*, i](x)
  x: f32[4] = loop[layer, 2](x)
}
""", ("kv.1",), ["incoming(kv.1)", mix("in(0)")],
     {"kv.*": mix("in(0)"), "kv.0": mix("in(0)"),
      "kv.1_new": mix("incoming(kv.1)", mix("in(0)"))}),
    ("a listed slot without extend holds its incoming value; one slot, the latest value", """
i(k: f32[4]) -> (s: f32[4]) {
  s: f32[4] = map[mix](k)
}
main(x: f32[4]) -> (o: f32[4], p: f32[4], q: f32[4]) {
  o: f32[4] = cache[kc, i](x)
  p: f32[4] = cache[st, i](x)
  q: f32[4] = cache[st, i](p)
}
""", ("kc",), ["incoming(kc)", mix("in(0)"), mix(mix("in(0)"))],
     {"kc": "incoming(kc)", "st": mix(mix("in(0)"))}),
]


class Readings(unittest.TestCase):
    def test_cases(self):
        for what, source, keys, returns, slots in CASES:
            with self.subTest(what):
                self.assertEqual(read(source, keys), (returns, slots))

    def test_a_name_no_rule_gives_is_undefined(self):
        source = """
f(v: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[mix](v, z)
}
main(x: f32[4], w: *) -> (y: f32[4], z: f32[4]) {
  y: f32[4] = call[f](x)
}
"""
        for body, name in [(source, "z"), (source.replace("(v, z)", "(v)"), "z"),
                           (source.replace("z: f32[4]) {", "w.z: f32[4]) {"), "z")]:
            with self.assertRaises(Undefined) as caught:
                read(body)
            self.assertEqual(caught.exception.args, (name,))
        # In main, a field of a dict parameter is a weight reference.
        self.assertEqual(read(source.replace("(v, z)", "(v)").replace("z: f32[4]) {",
                                                                        "w.z: f32[4]) {"))[0],
                         [mix("in(0)"), "sym(w.z)"])

    def test_a_dict_parameter_bound_by_the_last_of_fewer_arguments_has_no_fields(self):
        source = """
f(a: f32[4], w: *) -> (r: f32[4]) {
  r: f32[4] = map[mix](w.q)
}
main(x: f32[4], weights: *) -> (r: f32[4]) {
  r: f32[4] = call[f](weights.l0)
}
"""
        with self.assertRaises(Undefined):
            read(source)


if __name__ == "__main__":
    unittest.main()
