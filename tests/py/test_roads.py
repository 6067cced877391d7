"""The roads from Python through the parser, formatter, JSON form and checker."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

import _velorn
from velorn_support import UNWRAP, json_error, panic_message

CORPUS = pathlib.Path(__file__).resolve().parent.parent / "data" / "corpus"


def corpus():
    files = sorted(CORPUS.glob("*.vel"))
    assert files, "the corpus is empty"
    return [(f, f.read_text(encoding="utf-8")) for f in files]


EXAMPLES = pathlib.Path(os.environ.get("VEL_EXAMPLES", CORPUS.parent.parent.parent / "examples"))

# Every road over the corpus and the examples, as one digest of all the results.
EVERY_ROAD = r"""
import hashlib, pathlib, sys
import _velorn
corpus, examples = map(pathlib.Path, sys.argv[1:])
digest = hashlib.sha256()
for path in sorted(corpus.glob("*.vel")) + sorted(examples.glob("*.vel")):
    source = path.read_text(encoding="utf-8")
    module = _velorn.parse_to_json(source)
    for result in (_velorn.fmt_source(source), module, _velorn.check_json(module),
                   _velorn.infer_axes_json(module), _velorn.resolve_json(module, '{"d": 8}')):
        digest.update(result.encode())
for name, keys in (("mlp.vel", []), ("decode.vel", ["kc"])):
    digest.update(_velorn.load_flat_json(str(examples / name), str(examples / "config.toml"),
                                         cache_keys=keys).encode())
print(digest.hexdigest())
"""


class EveryProcess(unittest.TestCase):
    def test_results_do_not_depend_on_the_key_of_the_tables_hash(self):
        # Each process draws its own key.
        digests = {subprocess.run([sys.executable, "-c", EVERY_ROAD, str(CORPUS), str(EXAMPLES)],
                                  capture_output=True, text=True, check=True).stdout
                   for _ in range(3)}
        self.assertEqual(len(digests), 1, digests)


class FormatRoads(unittest.TestCase):
    def test_corpus_is_canonical_and_stable(self):
        for path, text in corpus():
            with self.subTest(path.name):
                once = _velorn.fmt_source(text)
                self.assertEqual(once, text)
                self.assertEqual(_velorn.fmt_source(once), once)

    def test_fmt_file_equals_fmt_source_of_its_text(self):
        for path, text in corpus():
            with self.subTest(path.name):
                self.assertEqual(_velorn.fmt_file(str(path)), _velorn.fmt_source(text))
                self.assertEqual(_velorn.fmt_file(str(path), width=0),
                                 _velorn.fmt_source(text, width=0))

    def test_json_form_formats_like_the_source(self):
        for path, text in corpus():
            with self.subTest(path.name):
                doc = _velorn.parse_to_json(text)
                self.assertEqual(_velorn.fmt_json(doc), _velorn.fmt_source(text))
                self.assertEqual(_velorn.fmt_json(doc, width=2**64 - 1),
                                 _velorn.fmt_source(text, width=2**64 - 1))
                json.loads(doc)  # a well-formed document

    def test_width_true_means_one(self):
        text = "f(x: f32[4]) -> () {\n}\n"
        self.assertEqual(_velorn.fmt_source(text, width=True), "f(\n  x: f32[4]\n) -> () {\n}\n")


class FileErrors(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def test_read_failures(self):
        bad = os.path.join(self.dir.name, "bad.vel")
        with open(bad, "wb") as f:
            f.write(b"f() -> () {\xff}\n")
        cases = [
            (os.path.join(self.dir.name, "missing.vel"),
             'Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
            (self.dir.name, 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
            (bad, 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
            ("a\0b.vel",
             'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
        ]
        for path, shown in cases:
            for call in (_velorn.fmt_file, _velorn.check_file):
                with self.subTest(path=path, call=call.__name__):
                    self.assertEqual(panic_message(call, path), UNWRAP + shown)


class Panics(unittest.TestCase):
    def test_parse_error_is_a_panic_exception(self):
        with self.assertRaises(BaseException) as caught:
            try:
                _velorn.fmt_source("f(")
            except Exception:  # must not catch it
                self.fail("PanicException was caught as an Exception")
        exc = caught.exception
        self.assertEqual(type(exc).__qualname__, "PanicException")
        self.assertEqual(type(exc).__module__, "pyo3_runtime")
        self.assertEqual(type(exc).__mro__[1], BaseException)
        self.assertEqual(exc.args, ("index out of bounds: the len is 2 but the index is 2",))

    def test_report_on_stderr_comes_first(self):
        script = (
            "import sys, _velorn\n"
            "try:\n"
            "    _velorn.fmt_source('f() -> () { x = nope() }')\n"
            "except BaseException as e:\n"
            "    sys.stderr.write('caught: ' + e.args[0] + '\\n')\n"
        )
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             env=dict(os.environ), check=True)
        err = run.stderr
        self.assertIn("\nthread 'main' (", err)
        self.assertRegex(err, r"panicked at vel/src/parse\.cpp:\d+:\d+:\nUnknown op: \"nope\"\n")
        self.assertLess(err.index("panicked at"), err.index('caught: Unknown op: "nope"'))

    def test_deep_literal_nesting_stops_cleanly(self):
        source = "f() -> () {\n  x = literal(" + "[" * 1_000_000
        self.assertEqual(panic_message(_velorn.fmt_source, source),
                         "literal list nested deeper than 122 levels")

    def test_json_errors(self):
        self.assertEqual(panic_message(_velorn.fmt_json, ""),
                         json_error("EOF while parsing a value", 1, 0))
        self.assertEqual(panic_message(_velorn.check_json, "{}"),
                         json_error("missing field `functions`", 1, 2))

    def test_json_error_positions_come_from_the_reader(self):
        op = '{"kind": "%s", "outputs": [], "output_types": [], "args": []}'
        module = '{"functions": {"f": {"name": "f", "params": [], "returns": [], "ops": [%s]}}}'
        ended = '{"header_comments": ["x at line 7 column 7"]\n}'
        cases = [
            # A document's text that ends like a position does not move a fixed message.
            (ended, json_error("missing field `functions`", 2, 1)),
            ('{"functions":\n {},\n  "header_comments": [1]}',
             json_error("invalid type: integer `1`, expected a string", 3, 23)),
            # A kind quoted in the message gives its ending as the position.
            (module % (op % "x at line 7 column 2"), json_error("unknown op kind: x", 7, 2)),
        ]
        for text, expected in cases:
            with self.subTest(text):
                self.assertEqual(panic_message(_velorn.check_json, text), expected)


class CheckRoads(unittest.TestCase):
    def test_check_file_equals_check_json_of_the_parsed_module(self):
        for path, text in corpus():
            with self.subTest(path.name):
                result = _velorn.check_file(str(path))
                self.assertEqual(result, _velorn.check_json(_velorn.parse_to_json(text)))
                parsed = json.loads(result)
                self.assertEqual(list(parsed), ["errors", "constraints"])
                self.assertEqual(list(parsed["constraints"]), ["params", "weights"])

    def test_findings_are_data(self):
        result = json.loads(_velorn.check_file(str(CORPUS / "errors.vel")))
        self.assertTrue(result["errors"])

    def test_empty_module(self):
        self.assertEqual(_velorn.check_json('{"functions":{}}'),
                         '{"errors":[],"constraints":{"params":[],"weights":{}}}')


class DeepLiterals(unittest.TestCase):
    """The deepest literal the parser takes travels through the JSON form like any other."""

    DEEPEST = 122

    @staticmethod
    def source(depth):
        return ("f() -> () {\n  x: f32[] = literal(" + "[" * depth + "1" + "]" * depth
                + ")\n}\n")

    def test_deepest_literal_round_trips_through_json(self):
        text = self.source(self.DEEPEST)
        module_json = _velorn.parse_to_json(text)
        self.assertEqual(_velorn.fmt_json(module_json), text)
        with tempfile.TemporaryDirectory() as tmp:
            path = pathlib.Path(tmp) / "deep.vel"
            path.write_text(text, encoding="utf-8")
            self.assertEqual(_velorn.check_json(module_json), _velorn.check_file(str(path)))

    def test_one_level_more_is_refused(self):
        for call in (_velorn.parse_to_json, _velorn.fmt_source):
            with self.subTest(call.__name__):
                self.assertEqual(panic_message(call, self.source(self.DEEPEST + 1)),
                                 "literal list nested deeper than 122 levels")


class FloatTieRoads(unittest.TestCase):
    # Each float lies exactly halfway between two shortest digit strings.
    SOURCE = ("f() -> () {\n"
              "  a = literal([-118860293375883.625, 875878471.58203125])\n"
              "  b = random[853706.22705078125, 2.5]\n"
              "  c = map[exp](x, 22207978.7861328125)\n"
              "}\n")

    def test_source_takes_the_larger_and_json_the_even_neighbour(self):
        formatted = ("f() -> () {\n"
                     "  a = literal([-118860293375883.63, 875878471.5820313])\n"
                     "  b = random[853706.2270507813, 2.5]\n"
                     "  c = map[exp](x, 22207978.786132813)\n"
                     "}\n")
        self.assertEqual(_velorn.fmt_source(self.SOURCE), formatted)
        module = _velorn.parse_to_json(self.SOURCE)
        ops = json.loads(module)["functions"]["f"]["ops"]
        self.assertIn('"value":[-118860293375883.62,875878471.5820312]', module)
        self.assertIn('"lower":853706.2270507812', module)
        self.assertIn('"args":["x",22207978.786132812]', module)
        self.assertEqual(ops[0]["value"], [-118860293375883.625, 875878471.58203125])
        # Both texts read back as the same floats.
        self.assertEqual(_velorn.fmt_json(module), formatted)
        self.assertEqual(_velorn.fmt_source(formatted), formatted)


if __name__ == "__main__":
    unittest.main()
