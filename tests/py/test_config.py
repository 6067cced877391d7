"""Configuration values given to resolve_json as JSON or read by load_flat_json from the
TOML configuration file, their substitution into declared types and loop counts, and the
configuration file's failure messages."""

import json
import os
import tempfile
import unittest

import _velorn
from velorn_support import json_error, panic_message

SOURCE = """\
main(x: f32[param.n, 3], w: *, z: f32[]) -> (y: f32[param.n, 3]) {
  t: f32[param.n, 3] = tile["-> r c"](x)
  a: f32[param.n, 3] = loop[body, n](a, x)
  b: f32[param.n, 3] = loop[body, param.n](b, x, param.n)
}

body(a: f32[param.n, 3], x: f32[param.n, 3]) -> (y: f32[param.n, 3]) {
  y: f32[param.n, 3] = map[add](a, x)
}
"""


def module_json():
    """SOURCE with a dict parameter shaped by a configuration name, and a parameter whose
    dimensions are the bare prefix and a name without it."""
    module = json.loads(_velorn.parse_to_json(SOURCE))
    params = module["functions"]["main"]["params"]
    params[1]["ty"]["shape"] = ["param.n"]
    params[2]["ty"]["shape"] = ["param.", "n"]
    return json.dumps(module)


MODULE = module_json()


def summary(result):
    """What substitution and axis resolution can change in MODULE."""
    main = json.loads(result)["functions"]["main"]
    ops = main["ops"]
    return {
        "x": main["params"][0]["ty"]["shape"],
        "w": main["params"][1]["ty"]["shape"],
        "z": main["params"][2]["ty"]["shape"],
        "counts": [ops[1]["count"], ops[2]["count"]],
        "axes": ops[0].get("axes", {}),
        "args": ops[2]["args"],
    }


UNCHANGED = {"x": ["param.n", 3], "w": ["param.n"], "z": ["param.", "n"],
             "counts": ["n", "param.n"], "axes": {"c": 3}, "args": ["b", "x", "param.n"]}


def changed(**fields):
    return {**UNCHANGED, **fields}


class ResolveJson(unittest.TestCase):
    def test_values_replace_dimensions_and_counts(self):
        max_i64 = 2**63 - 1
        cases = [
            ("{}", UNCHANGED),
            ('{"n": 4}', changed(x=[4, 3], counts=[4, 4], axes={"r": 4, "c": 3})),
            ('{"n": 0}', changed(x=[0, 3], counts=[0, 0], axes={"r": 0, "c": 3})),
            # Floats are truncated into dimensions but never replace a count.
            ('{"n": 4.0}', changed(x=[4, 3], axes={"r": 4, "c": 3})),
            ('{"n": -2.7}', changed(x=[-2, 3], axes={"r": -2, "c": 3})),
            ('{"n": -0}', changed(x=[0, 3], axes={"r": 0, "c": 3})),
            ('{"n": 9223372036854775808}', changed(x=[max_i64, 3], axes={"r": max_i64, "c": 3})),
            ('{"n": 18446744073709551616}', changed(x=[max_i64, 3], axes={"r": max_i64, "c": 3})),
            ('{"n": -1e300}', changed(x=[-2**63, 3], axes={"r": -2**63, "c": 3})),
            # The largest float below 2^63 converts exactly; -2^63 is the lower bound itself.
            ('{"n": 9223372036854774784.0}',
             changed(x=[2**63 - 1024, 3], axes={"r": 2**63 - 1024, "c": 3})),
            ('{"n": -9223372036854775808.0}', changed(x=[-2**63, 3], axes={"r": -2**63, "c": 3})),
            # The signed 64-bit edges are integers, so they also replace counts.
            ('{"n": 9223372036854775807}',
             changed(x=[max_i64, 3], counts=[max_i64, max_i64], axes={"r": max_i64, "c": 3})),
            # A vector replaces nothing; a later member wins.
            ('{"n": [1, 2.5]}', UNCHANGED),
            ('{"n": []}', UNCHANGED),
            ('{"n": 4, "n": [1]}', UNCHANGED),
            ('{"n": [1], "n": 5}', changed(x=[5, 3], counts=[5, 5], axes={"r": 5, "c": 3})),
            # Names are given without the prefix; "param." alone looks up the empty name.
            ('{"param.n": 4}', UNCHANGED),
            ('{"": 7}', changed(z=[7, "n"])),
        ]
        for config, expected in cases:
            with self.subTest(config):
                self.assertEqual(summary(_velorn.resolve_json(MODULE, config)), expected)

    def test_an_empty_configuration_only_resolves_axes(self):
        self.assertEqual(_velorn.resolve_json(MODULE, "{}"), _velorn.infer_axes_json(MODULE))
        self.assertEqual(_velorn.resolve_json(MODULE, " {\n}\t"), _velorn.infer_axes_json(MODULE))

    def test_refusals(self):
        no_variant = "data did not match any variant of untagged enum ConfigValue"
        cases = [
            ('{"n": "x"}', json_error(no_variant, 1, 10)),
            ('{"n": [1, [2]]}', json_error(no_variant, 1, 15)),
            ('{"n": null, "m": 1}', json_error(no_variant, 1, 10)),
            ('{"n": true}', json_error(no_variant, 1, 11)),
            ('{"n": {"a": 1}}', json_error(no_variant, 1, 15)),
            ('{"n":\n  [1,\n   "a"]}', json_error(no_variant, 3, 8)),
            # The whole value is read before a variant is tried: its syntax errors come first.
            ('{"n": [1, tru]}', json_error("expected ident", 1, 14)),
            ("[1]", json_error("invalid type: sequence, expected a map", 1, 0)),
            ("\n  [", json_error("invalid type: sequence, expected a map", 2, 2)),
            ('"x"', json_error('invalid type: string "x", expected a map', 1, 3)),
            ("5", json_error("invalid type: integer `5`, expected a map", 1, 1)),
            ("-0", json_error("invalid type: floating point `-0.0`, expected a map", 1, 2)),
            ("null", json_error("invalid type: null, expected a map", 1, 4)),
            ("true", json_error("invalid type: boolean `true`, expected a map", 1, 4)),
            ("", json_error("EOF while parsing a value", 1, 0)),
            ('{"n": 1}\n{}', json_error("trailing characters", 2, 1)),
            # As an unsigned count, -3 would be 2^64 - 3 iterations.
            ('{"n": -3}', "Loop count 'n' is negative: -3"),
            ('{"n": -9223372036854775808}', "Loop count 'n' is negative: -9223372036854775808"),
        ]
        for config, expected in cases:
            with self.subTest(config):
                self.assertEqual(panic_message(_velorn.resolve_json, MODULE, config), expected)

    def test_the_module_is_read_before_the_configuration(self):
        self.assertEqual(panic_message(_velorn.resolve_json, "", "[1]"),
                         json_error("EOF while parsing a value", 1, 0))


FILE_SOURCE = """\
main(x: f32[param.n, param.m]) -> (y: f32[param.n, param.m]) {
  y: f32[param.n, param.m] = map[exp](x)
}
"""


class ConfigFiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.vel = self.write("m.vel", FILE_SOURCE.encode())

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def dims(self, toml):
        config = self.write("c.toml", toml.encode())
        flat = json.loads(_velorn.load_flat_json(self.vel, config))
        return flat["functions"]["main"]["params"][0]["ty"]["shape"]

    def test_tables_of_values(self):
        names = ["param.n", "param.m"]
        cases = [
            ("", names),
            ("[weights]\nw = 'x'\n", names),
            ("[shape]\nn = 4\nm = 5\n", [4, 5]),
            # Merged in the order shape, scalar, vector: the last one holding a name wins.
            ("[shape]\nn = 4\nm = 5\n[scalar]\nn = 6\n", [6, 5]),
            ("[vector]\nn = [1.0]\n[shape]\nn = 4\nm = 5\n", ["param.n", 5]),
            ("[shape]\nn = [1, 2]\nm = 3.99\n", ["param.n", 3]),
            # Inline tables and dotted keys are tables like those opened by a header.
            ("shape = { n = 2, m = 3 }\n", [2, 3]),
            ("shape.n = 2\nscalar.m = 3\n", [2, 3]),
            ("[scalar]\nn = nan\nm = -inf\n", [0, -2**63]),
            ("[vector]\nn = inf\nm = -2.5\n", [2**63 - 1, -2]),
            # Texts, booleans, date-times and sub-tables are skipped; so are other roots.
            ("[shape]\nn = 1979-05-27T07:32:00Z\nm = 1979-05-27\n", names),
            ("[shape]\nn = 07:32:00\nm = 1979-05-27T07:32:00\n", names),
            ("[shape]\nn = true\nm = '4'\n", names),
            ("[shape.sub]\nn = 4\n[scalar.sub]\nm = 5\n[other]\nn = 6\n", names),
            ("shape = 3\nn = 4\n", names),
            # An array of tables, or of numbers, under a root name is no table of values.
            ("[[shape]]\nn = 4\n", names),
            ("shape = [1]\nscalar = 'n'\n", names),
        ]
        for toml, expected in cases:
            with self.subTest(toml):
                self.assertEqual(self.dims(toml), expected)

    def test_an_array_of_anything_but_numbers_stops(self):
        for toml in ["[scalar]\nn = [1, 'a']\n", "[shape]\nn = [[1]]\n",
                     "[vector]\nn = [true]\n", "[shape]\nn = [1979-05-27]\n",
                     "[scalar]\nn = [{ a = 1 }]\n", "[[scalar.n]]\na = 1\n"]:
            with self.subTest(toml):
                self.assertEqual(panic_message(self.dims, toml),
                                 "unexpected value in vector section")

    def test_parse_errors_are_reported_in_full(self):
        config = os.path.join(self.dir.name, "c.toml")
        prefix = f"failed to parse {config}: TOML parse error at line "
        cases = [
            ("bad value", "[shape]\nn = tru\n",
             prefix + "2, column 5\n  |\n2 | n = tru\n  |     ^^^\n"
                      "Error while parsing boolean: expected 'true', saw 'tru\\n'\n"),
            ("duplicate key", "[shape]\nn = 1\nn = 2\n",
             prefix + "3, column 1\n  |\n3 | n = 2\n  | ^\n"
                      "Error while parsing key-value pair: cannot redefine existing integer 'n'\n"),
            ("unterminated string", "[weights]\nw = \"abc\n",
             prefix + "2, column 5\n  |\n2 | w = \"abc\n  |     ^^^^\n"
                      "Error while parsing string: unescaped control characters other than TAB "
                      "(U+0009) are explicitly prohibited\n"),
            ("unterminated at the end", "[weights]\nw = 'abc",
             prefix + "2, column 5\n  |\n2 | w = 'abc\n  |     ^^^^\n"
                      "Error while parsing literal string: encountered end-of-file\n"),
            ("columns count characters", "[weights]\n\"\u00e9\u00e9\" = 'a' b\n",
             prefix + "2, column 12\n  |\n2 | \"\u00e9\u00e9\" = 'a' b\n  |            ^\n"
                      "Error while parsing key-value pair: expected a comment or whitespace, "
                      "saw 'b'\n"),
            ("out of range", "[shape]\r\nn = 9223372036854775808\r\n",
             prefix + "2, column 5\n  |\n2 | n = 9223372036854775808\n  |     "
                      + "^" * 19 + "\nError while parsing decimal integer: "
                      "'9223372036854775808' is not representable in 64 bits\n"),
            ("unterminated array", "[vector]\nv = [1.5,\n",
             prefix + "2, column 9\n  |\n2 | v = [1.5,\n  |         ^\n"
                      "Error while parsing array: encountered end-of-file\n"),
            ("a header into a closed inline table", "shape = {d = 1}\n[shape.e]\n",
             prefix + "2, column 2\n  |\n2 | [shape.e]\n  |  ^^^^^^^\n"
                      "Error while parsing table header: cannot insert 'shape.e' into existing "
                      "inline table\n"),
            ("a table defined twice", "\n" * 9 + "[shape]\n[shape]\n",
             prefix + "11, column 2\n   |\n11 | [shape]\n   |  ^^^^^\n"
                      "Error while parsing table header: cannot redefine existing table 'shape'\n"),
        ]
        for kind, toml, expected in cases:
            with self.subTest(kind):
                self.assertEqual(panic_message(self.dims, toml), expected)

    def test_read_failures(self):
        bad = self.write("bad.toml", b"[shape]\nn = '\xff'\n")
        missing = os.path.join(self.dir.name, "missing.toml")
        cases = [
            (missing, f"failed to read {missing}: No such file or directory (os error 2)"),
            (self.dir.name, f"failed to read {self.dir.name}: Is a directory (os error 21)"),
            (bad, f"failed to read {bad}: stream did not contain valid UTF-8"),
            ("c\0.toml", "failed to read c\0.toml: file name contained an unexpected NUL byte"),
        ]
        for path, expected in cases:
            with self.subTest(path):
                self.assertEqual(panic_message(_velorn.load_flat_json, self.vel, path), expected)

    def test_a_large_file(self):
        lines = ["[vector]", "v = [" + ", ".join(["1.5"] * 1_000_000) + "]", "[shape]"]
        lines += [f"k{i} = {i}" for i in range(500_000)]
        lines += ["n = 2", "m = 3", ""]
        toml = "\n".join(lines)
        self.assertGreater(len(toml), 10_000_000)
        self.assertEqual(self.dims(toml), [2, 3])


if __name__ == "__main__":
    unittest.main()
