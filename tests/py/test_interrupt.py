"""Signals that arrive while a file function waits on a FIFO with no writer.

The module holds the interpreter lock while it reads, so no Python thread can run until
the call ends: the signals and the writer come from child processes.
"""

import os
import pathlib
import signal
import subprocess
import tempfile
import time
import unittest

import _velorn

SOURCE = "f(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[exp](x)\n}\n"
# Long enough that only a waiting read that never ends meets it.
RESCUE_SECONDS = 5


class WaitingRead(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.fifo = pathlib.Path(self.dir.name) / "fifo"
        os.mkfifo(self.fifo)
        self.children = []

    def tearDown(self):
        for child in self.children:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
        self.dir.cleanup()

    def later(self, seconds, command):
        """Runs a shell command after a delay, in a child process group of its own."""
        child = subprocess.Popen(["sh", "-c", f"sleep {seconds}; {command}"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, start_new_session=True)
        self.children.append(child)

    def write_later(self, seconds, text):
        self.later(seconds, f"printf '%s' '{text}' > '{self.fifo}'")

    def with_handler(self, signum, handler):
        previous = signal.signal(signum, handler)
        self.addCleanup(signal.signal, signum, previous)

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


if __name__ == "__main__":
    unittest.main()
