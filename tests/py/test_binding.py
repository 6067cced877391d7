"""The module object, its ten functions' signatures, argument binding and conversion, and
the way a stop reaches Python.

A call that gets past its arguments is not asserted to succeed here (the roads' own tests do
that): "accepted" means it ends the same way as a call with plain arguments that are known
to be accepted.
"""

import contextlib
import importlib
import os
import re
import sys
import tempfile
import threading
import unittest

import _velorn

EXAMPLES = os.environ.get("VEL_EXAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

SIGNATURES = [
    ("load_flat_json", '(vel_path, config_path, entry="main", cache_keys=...)'),
    ("parse_to_json", "(source)"),
    ("resolve_json", "(module_json, config_json)"),
    ("flatten_json", "(module_json, entry, cache_keys=...)"),
    ("infer_axes_json", "(module_json)"),
    ("check_json", "(module_json)"),
    ("fmt_source", "(source, *, width=100)"),
    ("fmt_json", "(module_json, *, width=100)"),
    ("check_file", "(path)"),
    ("fmt_file", "(path, *, width=100)"),
]

SOURCE = "f(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[exp](x)\n}\n"
MODULE_JSON = '{"functions": {}}'




def is_panic(error):
    return type(error).__module__ == "pyo3_runtime" and type(error).__name__ == "PanicException"


@contextlib.contextmanager
def captured_fd2():
    """Collects what is written to file descriptor 2, where the module reports a stop."""
    box = {}
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield box
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            box["text"] = sink.read().decode("utf-8", "replace")


def outcome(call):
    """What a call ends with: its result, or its exception's type and arguments."""
    with captured_fd2():
        try:
            return ("returned", call())
        except BaseException as error:  # PanicException derives from BaseException
            return (f"{type(error).__module__}.{type(error).__qualname__}", error.args)


class Outer:
    class Inner:
        pass


class Text(str):
    """A str subclass whose methods must not be used by the conversion."""

    def __str__(self):
        raise AssertionError("__str__ called")

    def encode(self, *args, **kwargs):
        raise AssertionError("encode called")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class CausedIndex:
    def __index__(self):
        raise TypeError("no index here") from KeyError("root")


class NarrowTypeError(TypeError):
    pass


class Keys:
    """A sequence by the old protocol, whose length is unknown and whose items come one by one."""

    def __init__(self, items, fail_at=None):
        self.items = items
        self.fail_at = fail_at

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i == self.fail_at:
            raise ValueError("broken sequence")
        return self.items[i]


class ModuleTest(unittest.TestCase):
    def test_all_lists_the_functions_in_registration_order(self):
        self.assertEqual(_velorn.__all__, [name for name, _ in SIGNATURES])

    def test_module_doc_is_empty_text(self):
        self.assertEqual(_velorn.__doc__, "")
        self.assertEqual(_velorn.__name__, "_velorn")

    def test_functions_carry_their_signature_and_no_other_doc(self):
        for name, signature in SIGNATURES:
            with self.subTest(name):
                function = getattr(_velorn, name)
                self.assertEqual(function.__name__, name)
                self.assertEqual(function.__text_signature__, signature)
                self.assertIsNone(function.__doc__)
                self.assertEqual(function.__module__, "_velorn")
                self.assertIs(function.__self__, _velorn)

    def test_reimport_gives_the_same_module_object(self):
        first = sys.modules.pop("_velorn")
        try:
            again = importlib.import_module("_velorn")
            self.assertIs(again, first)
            self.assertEqual(again.__all__, [name for name, _ in SIGNATURES])
        finally:
            sys.modules["_velorn"] = first

    def test_second_interpreter_cannot_import(self):
        try:
            import _interpreters as interpreters

            interp = interpreters.create("legacy")
            run = interpreters.exec
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                self.skipTest("this interpreter offers no sub-interpreters")
            interp = interpreters.create(isolated=False)
            run = interpreters.run_string
        read_end, write_end = os.pipe()
        script = (
            "import os\n"
            "try:\n"
            "    import _velorn\n"
            "    text = 'imported'\n"
            "except BaseException as error:\n"
            "    text = type(error).__name__ + ': ' + str(error)\n"
            f"os.write({write_end}, text.encode())\n"
        )
        try:
            run(interp, script)
        finally:
            interpreters.destroy(interp)
            os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            text = pipe.read().decode()
        self.assertEqual(
            text,
            "ImportError: PyO3 modules do not yet support subinterpreters, "
            "see https://github.com/PyO3/pyo3/issues/576",
        )


M = _velorn
WRONG_CALLS = [
    # the shape of the call
    (lambda: M.fmt_file("a", "b"), TypeError, "fmt_file() takes 1 positional arguments but 2 were given"),
    (lambda: M.flatten_json("a", "b", [], "d"), TypeError,
     "flatten_json() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: M.load_flat_json("a", "b", "c", [], "e"), TypeError,
     "load_flat_json() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: M.fmt_source("x", 5), TypeError, "fmt_source() takes 1 positional arguments but 2 were given"),
    (lambda: M.fmt_file(), TypeError, "fmt_file() missing 1 required positional argument: 'path'"),
    (lambda: M.resolve_json(), TypeError,
     "resolve_json() missing 2 required positional arguments: 'module_json' and 'config_json'"),
    (lambda: M.resolve_json(config_json="{}"), TypeError,
     "resolve_json() missing 1 required positional argument: 'module_json'"),
    (lambda: M.load_flat_json(entry="main"), TypeError,
     "load_flat_json() missing 2 required positional arguments: 'vel_path' and 'config_path'"),
    (lambda: M.check_file("a", path2="b"), TypeError, "check_file() got an unexpected keyword argument 'path2'"),
    (lambda: M.check_file("a", path="b"), TypeError, "check_file() got multiple values for argument 'path'"),
    (lambda: M.fmt_file("a", width=1, **{"\udc80": 1}), TypeError,
     "fmt_file() got an unexpected keyword argument '\udc80'"),
    # which check comes first: positional count, then keywords in the caller's order, then missing
    (lambda: M.fmt_file(1, 2, bogus=3), TypeError, "fmt_file() takes 1 positional arguments but 2 were given"),
    (lambda: M.fmt_file(bogus=1), TypeError, "fmt_file() got an unexpected keyword argument 'bogus'"),
    (lambda: M.check_file("a", path="b", bogus=1), TypeError,
     "check_file() got multiple values for argument 'path'"),
    (lambda: M.check_file("a", bogus=1, path="b"), TypeError,
     "check_file() got an unexpected keyword argument 'bogus'"),
    # text arguments
    (lambda: M.fmt_file(3), TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda: M.fmt_json(module_json=b"{}"), TypeError,
     "argument 'module_json': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: M.load_flat_json("a", "b", None), TypeError,
     "argument 'entry': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: M.parse_to_json(Outer.Inner()), TypeError,
     "argument 'source': 'Outer.Inner' object cannot be converted to 'PyString'"),
    # cache keys
    (lambda: M.flatten_json(MODULE_JSON, "main", "abc"), TypeError,
     "argument 'cache_keys': Can't extract `str` to `Vec`"),
    (lambda: M.flatten_json(MODULE_JSON, "main", Text("abc")), TypeError,
     "argument 'cache_keys': Can't extract `str` to `Vec`"),
    (lambda: M.flatten_json(MODULE_JSON, "main", {"a"}), TypeError,
     "argument 'cache_keys': 'set' object cannot be converted to 'Sequence'"),
    (lambda: M.flatten_json(MODULE_JSON, "main", {"a": 1}), TypeError,
     "argument 'cache_keys': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: M.flatten_json(MODULE_JSON, "main", iter(["a"])), TypeError,
     "argument 'cache_keys': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda: M.load_flat_json("a", "b", cache_keys=None), TypeError,
     "argument 'cache_keys': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda: M.flatten_json(MODULE_JSON, "main", ["a", 1]), TypeError,
     "argument 'cache_keys': 'int' object cannot be converted to 'PyString'"),
    (lambda: M.flatten_json(MODULE_JSON, "main", b"ab"), TypeError,
     "argument 'cache_keys': 'int' object cannot be converted to 'PyString'"),
    # width
    (lambda: M.fmt_source("x", width=1.5), TypeError,
     "argument 'width': 'float' object cannot be interpreted as an integer"),
    (lambda: M.fmt_json("{}", width="3"), TypeError,
     "argument 'width': 'str' object cannot be interpreted as an integer"),
    (lambda: M.fmt_file("a", width=None), TypeError,
     "argument 'width': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: M.fmt_source("x", width=RaisingIndex(ValueError("no index"))), ValueError, "no index"),
    (lambda: M.fmt_source("x", width=RaisingIndex(NarrowTypeError("narrow"))), NarrowTypeError, "narrow"),
    # arguments are converted in declaration order, before any work
    (lambda: M.flatten_json(1, 2), TypeError,
     "argument 'module_json': 'int' object cannot be converted to 'PyString'"),
    (lambda: M.flatten_json("not json", "main", "abc"), TypeError,
     "argument 'cache_keys': Can't extract `str` to `Vec`"),
    (lambda: M.resolve_json("", 2), TypeError,
     "argument 'config_json': 'int' object cannot be converted to 'PyString'"),
    (lambda: M.load_flat_json("/no/such/file.vel", 2), TypeError,
     "argument 'config_path': 'int' object cannot be converted to 'PyString'"),
    (lambda: M.check_file(path=["a"]), TypeError,
     "argument 'path': 'list' object cannot be converted to 'PyString'"),
]


class BindingTest(unittest.TestCase):
    def test_wrong_calls_raise_exact_errors(self):
        for i, (call, error_type, message) in enumerate(WRONG_CALLS):
            with self.subTest(i=i, message=message):
                with self.assertRaises(error_type) as caught:
                    call()
                self.assertIs(type(caught.exception), error_type)
                self.assertEqual(str(caught.exception), message)

    def test_reworded_error_keeps_the_cause(self):
        with self.assertRaises(TypeError) as caught:
            M.fmt_source("x", width=CausedIndex())
        self.assertEqual(str(caught.exception), "argument 'width': no index here")
        self.assertIsInstance(caught.exception.__cause__, KeyError)
        self.assertEqual(caught.exception.__cause__.args, ("root",))

    def test_width_out_of_range_raises_the_interpreters_overflow_error(self):
        for width in (-1, 2**64, -(2**70), Index(-1), Index(2**64)):
            with self.subTest(width=width):
                with self.assertRaises(OverflowError):
                    M.fmt_source(SOURCE, width=width)

    def test_width_values_that_are_accepted(self):
        same = [
            (True, 1), (False, 0), (Index(7), 7), (2**64 - 1, 100), (100, None),
        ]
        for width, equivalent in same:
            with self.subTest(width=width):
                got = outcome(lambda: M.fmt_source(SOURCE, width=width))
                want = outcome(lambda: M.fmt_source(SOURCE) if equivalent is None
                               else M.fmt_source(SOURCE, width=equivalent))
                self.assertEqual(got, want)
                self.assertNotIn(got[0], ("builtins.TypeError", "builtins.OverflowError"))

    def test_lone_surrogate_raises_unicode_encode_error(self):
        calls = [
            lambda: M.fmt_source("ab\udc80"),
            lambda: M.check_file(path="\ud800"),
            lambda: M.load_flat_json("a", "b", "\udfff"),
            lambda: M.flatten_json(MODULE_JSON, "main", ["ok", "\udc80"]),
        ]
        for i, call in enumerate(calls):
            with self.subTest(i=i):
                with self.assertRaises(UnicodeEncodeError):
                    call()

    def test_str_subclasses_are_read_by_their_character_data(self):
        pairs = [
            (lambda: M.fmt_source(Text(SOURCE)), lambda: M.fmt_source(SOURCE)),
            (lambda: M.parse_to_json(source=Text(SOURCE)), lambda: M.parse_to_json(SOURCE)),
            (lambda: M.check_json(Text(MODULE_JSON)), lambda: M.check_json(MODULE_JSON)),
            (lambda: M.flatten_json(MODULE_JSON, Text("main"), [Text("kc")]),
             lambda: M.flatten_json(MODULE_JSON, "main", ["kc"])),
        ]
        for i, (subclassed, plain) in enumerate(pairs):
            with self.subTest(i=i):
                self.assertEqual(outcome(subclassed), outcome(plain))

    def test_cache_keys_any_sequence_of_texts(self):
        plain = outcome(lambda: M.flatten_json(MODULE_JSON, "main", ["kc"]))
        self.assertNotEqual(plain[0], "builtins.TypeError")
        for keys in (("kc", "kc"), ["kc", "kc", "kc"], Keys(["kc"]), ()):
            with self.subTest(keys=keys):
                got = outcome(lambda: M.flatten_json(MODULE_JSON, "main", keys))
                if keys == ():
                    self.assertNotEqual(got[0], "builtins.TypeError")
                else:
                    self.assertEqual(got, plain)

    def test_cache_keys_iteration_failure_is_raised_unchanged(self):
        with self.assertRaises(ValueError) as caught:
            M.flatten_json(MODULE_JSON, "main", Keys(["a", "b"], fail_at=1))
        self.assertEqual(str(caught.exception), "broken sequence")

    def test_every_parameter_may_be_given_by_keyword(self):
        by_position = outcome(lambda: M.load_flat_json("v.vel", "c.toml", "main", ["kc"]))
        by_keyword = outcome(lambda: M.load_flat_json(
            cache_keys=["kc"], entry="main", config_path="c.toml", vel_path="v.vel"))
        self.assertEqual(by_keyword, by_position)

    def test_explicit_defaults_equal_omitted_ones(self):
        self.assertEqual(outcome(lambda: M.load_flat_json("v.vel", "c.toml", "main", [])),
                         outcome(lambda: M.load_flat_json("v.vel", "c.toml")))
        self.assertEqual(outcome(lambda: M.flatten_json(MODULE_JSON, "main", [])),
                         outcome(lambda: M.flatten_json(MODULE_JSON, "main")))

    def test_no_reference_is_leaked_or_lost(self):
        path = "".join(["pa", "th"])
        item = "".join(["k", "c"])
        keys = [item, item]
        bad_keys = [item, 3]
        big = 2**70 + 1
        index = Index(2**64)
        calls = [
            lambda: M.check_file(path),
            lambda: M.check_file(path, bogus=item),
            lambda: M.check_file(path, path=path),
            lambda: M.flatten_json(path, item, keys),
            lambda: M.flatten_json(path, item, bad_keys),
            lambda: M.fmt_source(path, width=big),
            lambda: M.fmt_source(path, width=index),
            lambda: M.fmt_source(path, width=CausedIndex()),
            lambda: M.load_flat_json(path, path, item, Keys(keys)),
        ]
        watched = [path, item, keys, bad_keys, big, index]
        for call in calls:
            outcome(call)
        before = [sys.getrefcount(value) for value in watched]
        for _ in range(50):
            for call in calls:
                outcome(call)
        after = [sys.getrefcount(value) for value in watched]
        self.assertEqual(after, before)


REPORT = re.compile(
    r"\nthread '(?P<name>[^']*)' \((?P<tid>\d+)\) panicked at "
    r"(?P<file>[^:\n]+):(?P<line>\d+):(?P<column>\d+):\n"
    r"(?P<message>.*)\n",
    re.S,
)


class PanicTest(unittest.TestCase):
    """A stop always reaches Python the same way, whatever its message."""

    def stop(self, call):
        with captured_fd2() as box:
            try:
                call()
            except BaseException as error:
                caught = error
            else:
                self.fail("the call did not stop")
        return caught, box["text"]

    def test_stop_raises_panic_exception_with_its_message(self):
        error, _ = self.stop(lambda: M.check_json(""))
        self.assertTrue(is_panic(error), repr(error))
        self.assertEqual(type(error).__qualname__, "PanicException")
        self.assertTrue(issubclass(type(error), BaseException))
        self.assertFalse(issubclass(type(error), Exception))
        self.assertEqual(len(error.args), 1)
        self.assertIsInstance(error.args[0], str)
        self.assertEqual(str(error), error.args[0])
        again, _ = self.stop(lambda: M.fmt_source("f("))
        self.assertIs(type(again), type(error))

    def test_handler_for_exception_does_not_catch_it(self):
        def call():
            try:
                M.check_json("")
            except Exception:
                self.fail("caught as Exception")

        error, _ = self.stop(call)
        self.assertTrue(is_panic(error))

    def test_report_names_thread_location_and_message(self):
        error, text = self.stop(lambda: M.check_json(""))
        match = REPORT.fullmatch(text)
        self.assertIsNotNone(match, text)
        self.assertEqual(match["name"], "main")
        self.assertEqual(int(match["tid"]), threading.get_native_id())
        self.assertFalse(os.path.isabs(match["file"]), match["file"])
        self.assertTrue(match["file"].endswith(".cpp"), match["file"])
        self.assertEqual(match["message"], error.args[0])

    def test_report_from_another_thread_is_unnamed(self):
        seen = {}

        def work():
            seen["tid"] = threading.get_native_id()
            try:
                M.fmt_source("f(")
            except BaseException as error:
                seen["error"] = error

        with captured_fd2() as box:
            thread = threading.Thread(target=work)
            thread.start()
            thread.join()
        self.assertTrue(is_panic(seen["error"]))
        match = REPORT.fullmatch(box["text"])
        self.assertIsNotNone(match, box["text"])
        self.assertEqual(match["name"], "<unnamed>")
        self.assertEqual(int(match["tid"]), seen["tid"])
        self.assertEqual(match["message"], seen["error"].args[0])


if __name__ == "__main__":
    unittest.main()
