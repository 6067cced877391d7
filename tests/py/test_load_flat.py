"""load_flat_json: from a source file and a configuration file to the flat module, with
its steps in order, the configuration file read once for its values and its weight mapping,
and the weight references renamed."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import unittest

import _velorn
from velorn_support import UNWRAP, panic_message, quiet_fd2

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLES = pathlib.Path(os.environ.get("VEL_EXAMPLES", HERE.parent.parent / "examples"))
EXPECTED = HERE.parent / "data" / "expected"


def pairs(text):
    """A JSON text with the order of every object's members kept."""
    return json.loads(text, object_pairs_hook=list)


def weight_args(flat):
    """The name arguments of the flat module's operations, in order, that name neither a
    parameter nor an output: the weight references, renamed or not."""
    main = next(iter(json.loads(flat)["functions"].values()))
    values = {param["name"] for param in main["params"]}
    values.update(output for op in main["ops"] for output in op["outputs"])
    return [arg for op in main["ops"] for arg in op["args"]
            if isinstance(arg, str) and arg not in values]


class BundledExamples(unittest.TestCase):
    def test_examples_flatten_to_their_expected_modules(self):
        config = str(EXAMPLES / "config.toml")
        for source, keys, expected in [("mlp.vel", [], "mlp.flat.json"),
                                       ("decode.vel", ["kc"], "decode.flat.json")]:
            with self.subTest(source):
                flat = _velorn.load_flat_json(str(EXAMPLES / source), config, cache_keys=keys)
                self.assertEqual(pairs(flat), pairs((EXPECTED / expected).read_text("utf-8")))


MODEL = """\
main(x: f32[param.n], weights: *) -> (y: f32[param.n]) {
  x: f32[param.n] = loop[layer, param.layers](x, weights.layers.*)
  y: f32[param.n] = map[mul](x, weights.scale)
}

layer(x: f32[param.n], w: *) -> (y: f32[param.n]) {
  y: f32[param.n] = contract["i, o i -> o"](x, w.q)
}

other(x: f32[param.n]) -> (y: f32[param.n]) {
  y: f32[param.n] = map[exp](x)
}
"""

CONFIG = """\
[shape]
n = 4
[scalar]
layers = 2
[weights]
scale = "model.scale"
[weights.layers]
q = "model.layers.{}.q"
"""


class Files(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, text):
        path = os.path.join(self.dir.name, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path


class Road(Files):
    def test_steps_run_in_order(self):
        flat = json.loads(_velorn.load_flat_json(self.write("m.vel", MODEL),
                                                 self.write("c.toml", CONFIG)))
        self.assertEqual(list(flat["functions"]), ["main"])
        main = flat["functions"]["main"]
        self.assertEqual(main["params"][0]["ty"]["shape"], [4])
        # The count became a number before unrolling; the iterations' references were
        # renamed after it.
        self.assertEqual([op["outputs"] for op in main["ops"]], [["x_1"], ["x_2"], ["y"]])
        self.assertEqual(weight_args(json.dumps(flat)),
                         ["model.layers.0.q", "model.layers.1.q", "model.scale"])

    def test_entry_and_cache_keys(self):
        vel, config = self.write("m.vel", MODEL), self.write("c.toml", CONFIG)
        self.assertEqual(_velorn.load_flat_json(vel, config),
                         _velorn.load_flat_json(vel, config, "main", []))
        other = json.loads(_velorn.load_flat_json(vel, config, entry="other"))
        self.assertEqual(list(other["functions"]), ["other"])
        decode, examples_config = str(EXAMPLES / "decode.vel"), str(EXAMPLES / "config.toml")
        self.assertEqual(_velorn.load_flat_json(decode, examples_config, cache_keys=("kc", "kc")),
                         _velorn.load_flat_json(decode, examples_config, cache_keys=["kc"]))

    def test_a_configuration_without_weights_renames_nothing(self):
        flat = _velorn.load_flat_json(self.write("m.vel", MODEL),
                                      self.write("c.toml", "[shape]\nn = 4\nlayers = 1\n"))
        self.assertEqual(weight_args(flat), ["weights.layers.0.q", "weights.scale"])
        flat = _velorn.load_flat_json(self.write("n.vel", MODEL.replace("param.layers", "1")),
                                      self.write("d.toml", "title = 'none of the tables'\n"))
        self.assertEqual(weight_args(flat), ["weights.layers.0.q", "weights.scale"])

    def test_failures_come_in_the_order_of_the_steps(self):
        good = self.write("m.vel", MODEL)
        no_main = self.write("o.vel", MODEL.replace("main(", "start("))
        bad_source = self.write("bad.vel", "f(")
        missing_source = os.path.join(self.dir.name, "missing.vel")
        config = self.write("c.toml", CONFIG)
        bad_config = self.write("bad.toml", "[shape\n")
        missing_config = os.path.join(self.dir.name, "missing.toml")
        weights_only = self.write("w.toml", "[weights]\nscale = 's'\n")
        bad_vector = self.write("v.toml", "[weights]\nscale = 's'\n[vector]\nv = ['x']\n")
        not_found = 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
        bad_config_message = (
            f"failed to parse {bad_config}: TOML parse error at line 1, column 6\n"
            "  |\n1 | [shape\n  |      ^\n"
            "Error while parsing table header: expected ']', saw '\\n'\n")
        cases = [
            (missing_source, bad_config, UNWRAP + not_found),
            (bad_source, missing_config, "index out of bounds: the len is 2 but the index is 2"),
            (good, missing_config,
             f"failed to read {missing_config}: No such file or directory (os error 2)"),
            (no_main, bad_config, bad_config_message),
            # The configuration's values are read whole before anything is flattened.
            (bad_source, bad_vector, "index out of bounds: the len is 2 but the index is 2"),
            (no_main, bad_vector, "unexpected value in vector section"),
            (no_main, config, "no entry found for key"),
            (good, weights_only, "Loop count 'param.layers' not resolved before flattening"),
        ]
        for vel, toml, expected in cases:
            with self.subTest(vel=os.path.basename(vel), config=os.path.basename(toml)):
                self.assertEqual(panic_message(_velorn.load_flat_json, vel, toml), expected)

    def test_weight_references_take_exact_or_template_entries(self):
        cases = [
            ("weights.layers.3.q", "model.layers.3.q"),
            ("weights.layers.q", "model.layers.{}.q"),
            ("weights.layers.0.q", "exact.0"),
            ("weights.blocks.00.w", "blk.00.w"),
            ("weights.blocks.1.2.one", "one.1"),
            ("weights.blocks.5.two", "two.5.{}"),
            ("weights.blocks.5.6.none", "none"),
            # The empty part is an index part.
            ("weights.blocks..one", "one."),
            # A quoted key and a path through tables spelling the same key: the table "a"
            # sorts before the key "a.b", so the quoted key is met later and wins.
            ("weights.a.b", "quoted"),
            ("weights.a.7.b", "quoted"),
            # A number or an array adds no entry; a key that no entry has, "weights" among
            # them, changes nothing; a name shorter than "weights." is no reference.
            ("weights.count", "weights.count"),
            ("weights.list", "weights.list"),
            ("weights.blocks.x.1", "weights.blocks.x.1"),
            ("weights.", "weights."),
            ("weights", "weights"),
            ("weight.s", "weight.s"),
        ]
        config = self.write("c.toml", """\
[weights]
count = 3
list = ["l"]
"a.b" = "quoted"
[weights.a]
b = "nested"
[weights.layers]
q = "model.layers.{}.q"
"0" = { q = "exact.0" }
[weights.blocks]
w = "blk.{}.w"
one = "one.{}"
two = "two.{}.{}"
none = "none"
""")
        references = [reference for reference, _ in cases]
        vel = self.write("m.vel", "main(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[f]("
                         + ", ".join(references) + ")\n}\n")
        self.assertEqual(weight_args(_velorn.load_flat_json(vel, config)),
                         [renamed for _, renamed in cases])
        for root in ["weights = 'w'\n", "[[weights]]\nlayers = { q = 'm' }\n"]:
            with self.subTest(root):
                flat = _velorn.load_flat_json(vel, self.write("r.toml", root))
                self.assertEqual(weight_args(flat), references)

    def test_a_weights_table_nested_as_deep_as_a_file_may(self):
        # "weights" and 23 tables below it: the deepest header; one more is refused.
        path = ".a" * 23
        config = self.write("c.toml",
                            f"[shape]\nn = 4\nlayers = 1\n[weights{path}]\nq = 'deep.{{}}'\n")
        vel = self.write("m.vel", MODEL.replace("weights.layers.*", f"weights{path}.*"))
        self.assertEqual(weight_args(_velorn.load_flat_json(vel, config)),
                         ["deep.0", "weights.scale"])
        header = f"[weights{path}.a]"
        deeper = self.write("d.toml", f"[shape]\nn = 4\nlayers = 1\n{header}\nq = 'x'\n")
        self.assertEqual(panic_message(_velorn.load_flat_json, vel, deeper),
                         f"failed to parse {deeper}: TOML parse error at line 4, column 1\n"
                         f"  |\n4 | {header}\n  | ^\n"
                         "exceeded maximum nesting depth of 24 tables and arrays\n")

    def test_a_template_with_ten_thousand_slots(self):
        indices = ".".join(str(i) for i in range(10_000))
        config = self.write("c.toml", "[shape]\nn = 4\nlayers = 1\n[weights]\nscale = '"
                            + "{}." * 10_000 + "'\n")
        vel = self.write("m.vel", MODEL.replace("weights.scale", f"weights.{indices}.scale"))
        self.assertEqual(weight_args(_velorn.load_flat_json(vel, config)),
                         ["weights.layers.0.q", indices + "."])


# Feeds each document to one opening of the FIFO by the calling process, and before
# offering the next one waits until that process has closed the FIFO again, so that every
# reading gets a document of its own. The writing end stays open until the reader's
# descriptor shows: the reader cannot see the end of the document before then, and a
# reader woken by the opening but not yet holding its descriptor is not taken for one
# that has finished.
FEEDER = r"""
import os, sys, time
path, caller = os.path.realpath(sys.argv[1]), os.getppid()
fds = f"/proc/{caller}/fd"

def caller_has_it_open():
    for fd in os.listdir(fds):
        try:
            if os.readlink(os.path.join(fds, fd)) == path:
                return True
        except OSError:
            pass
    return False

for document in sys.argv[2:]:
    with open(path, "w", encoding="utf-8") as fifo:  # waits for the reading to open it
        fifo.write(document)
        fifo.flush()
        while not caller_has_it_open():
            time.sleep(0.001)
    while caller_has_it_open():
        time.sleep(0.001)
"""


# Replaces a file as an editor saves it, after a delay: a new file renamed over the old one.
# Prints when it did.
REPLACER = r"""
import os, sys, time
time.sleep(float(sys.argv[1]))
os.replace(sys.argv[2], sys.argv[3])
print(time.monotonic())
"""

LAYERS = 300_000


class OneReading(Files):
    """A configuration file replaced while the call works gives the values and the weight
    names of one version, never a mix of two."""

    def version(self, name, size, prefix):
        return self.write(name, f"[shape]\nn = {size}\n[scalar]\nlayers = {LAYERS}\n"
                                f"[weights.layers]\nq = '{prefix}.layers.{{}}.q'\n"
                                f"[weights]\nscale = '{prefix}.scale'\n")

    def test_a_file_replaced_during_the_call(self):
        vel = self.write("m.vel", MODEL)
        config = self.version("c.toml", 8, "A")
        self.version("b.toml", 16, "B")
        # Long after the file is read, long before the flattening of LAYERS layers ends.
        replacer = subprocess.Popen(
            [sys.executable, "-c", REPLACER, "0.3", os.path.join(self.dir.name, "b.toml"), config],
            stdout=subprocess.PIPE, text=True)
        self.addCleanup(replacer.wait)
        self.addCleanup(replacer.kill)
        flat = json.loads(_velorn.load_flat_json(vel, config))
        finished = time.monotonic()
        replaced = float(replacer.communicate(timeout=60)[0])
        self.assertLess(replaced, finished, "the call ended before the file was replaced")
        main = flat["functions"]["main"]
        self.assertEqual(main["params"][0]["ty"]["shape"], [8])
        args = weight_args(json.dumps(flat))
        self.assertEqual(len(args), LAYERS + 1)
        self.assertEqual({arg.split(".")[0] for arg in args}, {"A"})
        with open(config, encoding="utf-8") as f:
            self.assertIn("B.scale", f.read())


class Pipes(Files):
    """A configuration path that is no regular file (a FIFO, a pipe's /dev/fd entry) gives
    its document once: that one reading serves the values and the weight mapping."""

    SOURCE = ("main(x: f32[param.n]) -> (y: f32[param.n]) {\n"
              "  y: f32[param.n] = map[mul](x, weights.w)\n}\n")

    def call(self, config):
        vel = self.write("m.vel", self.SOURCE)
        try:
            return _velorn.load_flat_json(vel, config)
        except BaseException as error:
            if type(error).__name__ != "PanicException":
                raise
            return error.args[0]

    def from_fifo(self, document):
        fifo = os.path.join(self.dir.name, "c.toml")
        os.mkfifo(fifo)
        feeder = subprocess.Popen([sys.executable, "-c", FEEDER, fifo, document])
        self.addCleanup(feeder.wait)
        self.addCleanup(feeder.kill)
        try:
            return fifo, self.call(fifo)
        finally:
            feeder.wait(timeout=60)

    def from_pipe(self, document):
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        with os.fdopen(write_end, "w", encoding="utf-8") as f:
            f.write(document)
        path = f"/dev/fd/{read_end}"
        return path, self.call(path)

    def test_values_and_weights_come_from_the_one_reading(self):
        document = "[shape]\nn = 4\n[weights]\nw = 'renamed'\n"
        for road in (self.from_fifo, self.from_pipe):
            with self.subTest(road.__name__):
                _, flat = road(document)
                main = json.loads(flat)["functions"]["main"]
                self.assertEqual(main["params"][0]["ty"]["shape"], [4])
                self.assertEqual(main["ops"][0]["args"], ["x", "renamed"])

    def test_a_bad_document_is_reported_from_its_one_reading(self):
        for road in (self.from_fifo, self.from_pipe):
            with self.subTest(road.__name__), quiet_fd2():
                path, message = road("[shape]\nn = 4\n[weights]\nw = tru\n")
            self.assertEqual(message,
                             f"failed to parse {path}: TOML parse error at line 4, column 5\n"
                             "  |\n4 | w = tru\n  |     ^^^\n"
                             "Error while parsing boolean: expected 'true', saw 'tru\\n'\n")


if __name__ == "__main__":
    unittest.main()
