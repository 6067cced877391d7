"""Signals that arrive while a call works long or waits on a FIFO with no writer.

The module holds the interpreter lock for the whole call, so no Python thread can run until
the call ends: the signals and the writer come from child processes.
"""

import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import _velorn

SOURCE = "f(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[exp](x)\n}\n"
# Long enough that only a waiting read that never ends meets it.
RESCUE_SECONDS = 5


# Ctrl-C ends a call this soon after the signal, wherever the call works; the instrumented
# build runs its pieces about three times slower.
LATENCY = 0.6 if os.environ.get("VEL_SANITIZED") else 0.2
# Sends SIGINT after a delay, and tells when first, so that the latency is measured from the
# signal itself.
SENDER = ("import os, signal, sys, time; time.sleep(float(sys.argv[1])); "
          "print(time.monotonic(), flush=True); os.kill(int(sys.argv[2]), signal.SIGINT)")


class Signals(unittest.TestCase):
    """Child processes that act later, and signal handlers restored after each test."""

    def setUp(self):
        self.children = []

    def tearDown(self):
        for child in self.children:
            self.end(child)

    @staticmethod
    def end(child):
        """Ends a child that has not acted yet, with whatever it started."""
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()

    def later(self, seconds, command):
        """Runs a shell command after a delay, in a child process group of its own."""
        child = subprocess.Popen(["sh", "-c", f"sleep {seconds}; {command}"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, start_new_session=True)
        self.children.append(child)
        return child

    def with_handler(self, signum, handler):
        previous = signal.signal(signum, handler)
        self.addCleanup(signal.signal, signum, previous)

    def latency(self, call, delay, *args):
        """Calls with Ctrl-C after `delay`: the seconds from the signal to KeyboardInterrupt,
        or None when the signal came only after the call had returned (a sender slowed down
        by a busy machine)."""
        self.with_handler(signal.SIGINT, signal.default_int_handler)
        child = subprocess.Popen([sys.executable, "-c", SENDER, str(delay), str(os.getpid())],
                                 stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.children.append(child)
        returned = []
        try:
            with self.assertRaises(KeyboardInterrupt):
                # A signal that came during the call raises as soon as it returns, before
                # the next step: only a signal that came later lets the step run.
                returned.extend(map(call, *([arg] for arg in args)))
                returned.append("before the signal")
                child.wait()
            ended = time.monotonic()
        finally:
            self.end(child)
        return None if len(returned) == 2 else ended - float(child.communicate()[0])

    def interrupted(self, call, delay, *args):
        """The least latency of Ctrl-C after `delay` over a few attempts whose signal came
        while the call ran: a busy machine may stall one, but a call that does not look for
        the signal is slow every time."""
        latencies = []
        for _ in range(3):
            seconds = self.latency(call, delay, *args)
            if seconds is not None:
                latencies.append(seconds)
                if seconds < LATENCY:
                    break
        if not latencies:
            self.fail("the signal never came while the call ran")
        return min(latencies)


class WaitingRead(Signals):
    def setUp(self):
        super().setUp()
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.fifo = pathlib.Path(self.dir.name) / "fifo"
        os.mkfifo(self.fifo)

    def write_later(self, seconds, text):
        self.later(seconds, f"printf '%s' '{text}' > '{self.fifo}'")

    def assert_ctrl_c_ends(self, call):
        self.with_handler(signal.SIGINT, signal.default_int_handler)
        # Were the interrupt lost, this writer would end the wait and fail the test.
        self.write_later(RESCUE_SECONDS, SOURCE)
        self.later(0.2, f"kill -INT {os.getpid()}")
        start = time.monotonic()
        with self.assertRaises(KeyboardInterrupt):
            call(str(self.fifo))
        self.assertLess(time.monotonic() - start, 2)

    def test_ctrl_c_ends_fmt_file(self):
        self.assert_ctrl_c_ends(_velorn.fmt_file)

    def test_ctrl_c_ends_check_file(self):
        self.assert_ctrl_c_ends(_velorn.check_file)

    def test_a_handler_that_does_not_raise_lets_the_read_go_on(self):
        caught = []
        self.with_handler(signal.SIGUSR1, lambda signum, frame: caught.append(signum))
        self.later(0.2, f"kill -USR1 {os.getpid()}")
        self.write_later(0.5, SOURCE)
        self.assertEqual(_velorn.fmt_file(str(self.fifo)), SOURCE)
        self.assertEqual(caught, [signal.SIGUSR1])


# Instrumented builds run these calls about three times slower: four tenths of the work
# still take about a second.
SCALE = 4 if os.environ.get("VEL_SANITIZED") else 10
# Each of these takes a second or more uninterrupted in an optimised build, and several
# times as long as the signal takes to come.
OPS = 100_000 * SCALE
ITERATIONS = 200_000 * SCALE
# Well inside each of them.
DELAY = 0.2


def long_source(ops):
    """A module whose one function has `ops` operations, each a view whose axes resolve."""
    body = "".join(f'  t{i}: f32[12] = view["a b -> (a b)"](x)\n' for i in range(ops))
    return f"f(x: f32[2, 6]) -> (y: f32[2, 6]) {{\n{body}  y: f32[2, 6] = map[exp](x)\n}}\n"


def looped_json(iterations):
    """A module whose entry `main` unrolls to `iterations` operations."""
    return _velorn.parse_to_json(
        "step(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[exp](x)\n}\n\n"
        "main(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[copy](x)\n"
        f"  y: f32[4] = loop[step, {iterations}](y)\n}}\n")


def long_calls(ops, iterations, path):
    """Each long call with its arguments; `path` names a file holding the long source."""
    source = long_source(ops)
    path.write_text(source)
    module_json = _velorn.parse_to_json(source)
    return {
        "parse_to_json": (_velorn.parse_to_json, source),
        "fmt_source": (_velorn.fmt_source, source),
        "fmt_json": (_velorn.fmt_json, module_json),
        "check_json": (_velorn.check_json, module_json),
        "check_file": (_velorn.check_file, str(path)),
        "fmt_file": (_velorn.fmt_file, str(path)),
        "resolve_json": (_velorn.resolve_json, module_json, "{}"),
        "infer_axes_json": (_velorn.infer_axes_json, module_json),
        "flatten_json": (_velorn.flatten_json, looped_json(iterations), "main"),
    }


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class LongCall(Signals):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.calls = long_calls(OPS, ITERATIONS, pathlib.Path(cls.dir.name) / "long.vel")
        # Files that never end: read until the interrupt comes.
        cls.calls["fmt_file /dev/zero"] = (_velorn.fmt_file, "/dev/zero")
        cls.calls["fmt_file /dev/urandom"] = (_velorn.fmt_file, "/dev/urandom")

    @classmethod
    def tearDownClass(cls):
        del cls.calls
        cls.dir.cleanup()

    def test_ctrl_c_ends_every_long_call(self):
        for name, (call, *args) in self.calls.items():
            with self.subTest(name):
                self.assertLess(self.interrupted(call, DELAY, *args), LATENCY)

    def test_interrupted_calls_leave_memory_flat(self):
        def every_call_interrupted():
            for call, *args in self.calls.values():
                self.interrupted(call, DELAY, *args)

        every_call_interrupted()  # the allocator takes what it keeps
        before = resident_bytes()
        every_call_interrupted()
        every_call_interrupted()
        self.assertLess(resident_bytes() - before, 64 << 20)


MODULE = "f(x: f32[4]) -> (y: f32[4]) {\n  // c\n  y: f32[4] = map[neg](x)\n}\n"


def with_arg(name):
    """MODULE with its one argument named `name`."""
    return MODULE.replace("map[neg](x)", f"map[neg]({name})")


def one_operation(path):
    """Calls that spend their time in one operation, pattern, token, string, table of
    arguments or TOML document, each with the delay before its signal: (call, delay, args)."""
    scale = 4 if os.environ.get("VEL_SANITIZED") else 1
    axes = " ".join(f"a{i}" for i in range(3_000_000 // scale))
    keys = _velorn.parse_to_json(MODULE)
    inputs = 6_000_000 // scale
    with open(path, "w", encoding="ascii") as f:
        f.write("[shape]\n")
        f.writelines(f"key_{i:09d} = {i}\n" for i in range(1_000_000 // scale))
    source = path.with_suffix(".vel")
    source.write_text(MODULE)
    return {
        "the cache key set": (_velorn.flatten_json, 0.05, keys, "f",
                              [f"key{i}" for i in range(5_000_000 // scale)]),
        "one view pattern": (_velorn.infer_axes_json, 0.1, _velorn.parse_to_json(
            f'f(x: f32[4]) -> (y: f32[4]) {{\n  y: f32[4] = view["{axes} -> {axes}"](x)\n}}\n')),
        "one token": (_velorn.parse_to_json, 0.05, with_arg("a" * (400_000_000 // scale))),
        "one JSON string of escapes": (_velorn.check_json, 0.05, keys.replace(
            "// c", "// " + "\\n" * (90_000_000 // scale))),
        "one operation's inputs": (_velorn.check_json, 0.15, _velorn.parse_to_json(
            f"f(x: f32[4]) -> (y: f32[4]) {{\n  y: f32[4] = map[add](x{', x' * inputs})\n}}\n")),
        "a TOML document": (_velorn.load_flat_json, 0.3, str(source), str(path), "f"),
    }


class SingleLongOperations(Signals):
    def test_ctrl_c_ends_one_long_operation_soon(self):
        with tempfile.TemporaryDirectory() as dir:
            for name, (call, delay, *args) in one_operation(pathlib.Path(dir) / "c.toml").items():
                with self.subTest(name):
                    self.assertLess(self.interrupted(call, delay, *args), LATENCY)


class HandlerThatDoesNotRaise(Signals):
    def test_the_call_completes_as_without_the_signal(self):
        with tempfile.TemporaryDirectory() as dir:
            # A tenth of the long calls' work, which still outlasts the signal's delay.
            calls = long_calls(OPS // 10, ITERATIONS // 10, pathlib.Path(dir) / "long.vel")
            for name, (call, *args) in calls.items():
                with self.subTest(name):
                    expected = call(*args)
                    caught = []
                    self.with_handler(signal.SIGUSR1,
                                      lambda signum, frame: caught.append(signum))
                    child = self.later(0.02, f"kill -USR1 {os.getpid()}")
                    try:
                        self.assertEqual(call(*args), expected)
                        child.wait()
                    finally:
                        self.end(child)
                    self.assertEqual(caught, [signal.SIGUSR1])


if __name__ == "__main__":
    unittest.main()
