"""Every function, called many times on its success and failure paths, keeps the reference
counts of its arguments and the process's resident memory as they were."""

import os
import pathlib
import sys
import tempfile
import unittest

import _velorn as M
from velorn_support import quiet_fd2

CALLS = 100_000  # per function, spread over its cases
WARM_UP = 500  # per case, before the first measurement
# What the interpreter's own allocator may still take while the loops run.
RSS_TOLERANCE = 2 * 1024 * 1024


def fresh(text):
    """A str built at run time: constants may be immortal, and their counts never move."""
    return "".join(list(text))


# Small, so that the calls take little time, and reaching every pass: a loop with weight
# references, a view to resolve and a cache slot.
SOURCE = fresh("""\
main(x: f32[param.n], weights: *) -> (y: f32[param.n]) {
  x: f32[param.n] = loop[layer, param.layers](x, weights.l.*)
  v: f32[param.n, 1] = view["n -> n one"](x)
  y: f32[param.n] = cache[kv, layer](x, weights.l)
}
layer(x: f32[param.n], w: *) -> (x: f32[param.n]) {
  x: f32[param.n] = map[mul](x, w.q)
}
""")
CONFIG_TOML = "shape.n = 4\nscalar.layers = 2\nweights.l.q = \"m.{}.q\"\n"
CONFIG_JSON = fresh('{"n": 4, "layers": 2}')
NO_TYPES = fresh('{"header_comments":[],"functions":{"f":{"name":"f","comments":[],"params":[],'
                 '"returns":[],"ops":[{"kind":"map","function":"neg","outputs":["y"],'
                 '"output_types":[],"args":["x"]}]}}}')
BAD_JSON = fresh('{"functions": [')
BAD_SOURCE = fresh("main(x: f32[4]) -> (y: f32[4]) {\n  y = frob(x)\n}\n")
MISSING = fresh("/nonexistent/velorn/memory/test.vel")


def rss_bytes():
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGESIZE")


class ManyCalls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        root = pathlib.Path(cls.scratch.name)
        (root / "m.vel").write_text(SOURCE, "utf-8")
        (root / "bad.vel").write_text(BAD_SOURCE, "utf-8")
        (root / "c.toml").write_text(CONFIG_TOML, "utf-8")
        (root / "bad.toml").write_text("[shape\n", "utf-8")
        cls.vel = fresh(str(root / "m.vel"))
        cls.bad_vel = fresh(str(root / "bad.vel"))
        cls.toml = fresh(str(root / "c.toml"))
        cls.bad_toml = fresh(str(root / "bad.toml"))
        cls.module_json = fresh(M.parse_to_json(SOURCE))
        cls.resolved_json = fresh(M.resolve_json(cls.module_json, CONFIG_JSON))
        cls.keys = [fresh("kv"), fresh("other")]
        cls.entry = fresh("main")
        cls.width = int(fresh("1000"))
        with quiet_fd2():
            try:
                M.fmt_source(BAD_SOURCE)
            except BaseException as exc:  # PanicException, whose type has no name in M
                cls.panic = type(exc)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def cases(self):
        """Per function: (arguments, keyword arguments, the exception raised or None)."""
        P, T, O = self.panic, TypeError, OverflowError
        mj, keys = self.module_json, self.keys
        return {
            M.load_flat_json: [
                ((self.vel, self.toml, self.entry, keys), {}, None),
                ((self.vel, self.toml), {"entry": None}, T),
                ((self.vel, self.toml, fresh("nowhere")), {}, P),
                ((MISSING, self.toml), {}, P),
                ((self.vel, self.bad_toml), {}, P),
            ],
            M.parse_to_json: [((SOURCE,), {}, None), ((3,), {}, T), ((BAD_SOURCE,), {}, P)],
            M.resolve_json: [
                ((mj, CONFIG_JSON), {}, None),
                ((mj,), {"config_json": keys}, T),
                ((BAD_JSON, CONFIG_JSON), {}, P),
                ((mj, BAD_JSON), {}, P),
                ((NO_TYPES, CONFIG_JSON), {}, P),
            ],
            M.flatten_json: [
                ((self.resolved_json, self.entry, keys), {}, None),
                ((mj, self.entry, self.entry), {}, T),
                ((mj, self.entry, [keys]), {}, T),
                ((mj, fresh("nowhere")), {}, P),
                ((BAD_JSON, self.entry), {}, P),
            ],
            M.infer_axes_json: [((mj,), {}, None), ((mj, mj), {}, T), ((BAD_JSON,), {}, P),
                                ((NO_TYPES,), {}, P)],
            M.check_json: [((mj,), {}, None), ((), {"json": mj}, T), ((BAD_JSON,), {}, P),
                           ((NO_TYPES,), {}, P)],
            M.fmt_source: [((SOURCE,), {"width": self.width}, None), ((SOURCE,), {"width": -1}, O),
                           ((SOURCE,), {"width": 1.5}, T), ((BAD_SOURCE,), {}, P)],
            M.fmt_json: [((mj,), {"width": self.width}, None), ((keys,), {}, T),
                         ((BAD_JSON,), {}, P)],
            M.check_file: [((self.vel,), {}, None), ((self.vel,), {"path": self.vel}, T),
                           ((MISSING,), {}, P), ((self.bad_vel,), {}, P)],
            M.fmt_file: [((self.vel,), {}, None), ((None,), {}, T), ((MISSING,), {}, P)],
        }

    @staticmethod
    def run_case(function, args, kwargs, raises, times):
        expected = None
        for _ in range(times):
            try:
                result = function(*args, **kwargs)
            except BaseException as exc:  # PanicException derives from BaseException only
                if type(exc) is not raises:
                    raise
                continue
            if raises is not None:
                raise AssertionError(f"{function.__name__}{args} returned")
            if expected is None:
                expected = result
            elif result != expected:
                raise AssertionError(f"{function.__name__} gave another text")

    @staticmethod
    def counts(cases):
        """The reference count of every argument object, by identity."""
        objects = {}
        for args, kwargs, _ in cases:
            for value in (*args, *kwargs.values()):
                objects[id(value)] = value
                if isinstance(value, list):
                    objects.update((id(item), item) for item in value)
        return {key: sys.getrefcount(value) for key, value in objects.items()}

    def test_every_path_ends_as_it_should(self):
        """A few calls of each case, under the sanitizers as well."""
        cases = self.cases()
        with quiet_fd2():
            for function, calls in cases.items():
                before = self.counts(calls)
                for case in calls:
                    self.run_case(function, *case, 10)
                with self.subTest(function.__name__):
                    self.assertEqual(self.counts(calls), before)

    @unittest.skipIf(os.environ.get("VEL_SANITIZED"), "100,000 calls take too long instrumented")
    def test_counts_and_memory_stay_flat(self):
        cases = self.cases()
        with quiet_fd2():
            for function, calls in cases.items():
                for case in calls:
                    self.run_case(function, *case, WARM_UP)
            growth = {}
            for function, calls in cases.items():
                before = self.counts(calls)
                start = rss_bytes()
                for case in calls:
                    self.run_case(function, *case, CALLS // len(calls))
                growth[function.__name__] = rss_bytes() - start
                with self.subTest(function.__name__):
                    self.assertEqual(self.counts(calls), before)
        for name, grown in growth.items():
            with self.subTest(name):
                self.assertLess(grown, RSS_TOLERANCE, f"{name} grew by {grown} bytes")


if __name__ == "__main__":
    unittest.main()
