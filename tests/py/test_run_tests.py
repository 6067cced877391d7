"""tools/run-tests.sh, which runs the checks of `make test` and ends with the line that
counts them, over CTest directories and commands made up for the test."""

import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest

RUNNER = pathlib.Path(__file__).resolve().parents[2] / "tools" / "run-tests.sh"


@unittest.skipIf(shutil.which("ctest") is None, "no ctest on the path")
class RunTestsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def ctest_dir(self, name, *commands):
        """A CTest directory whose tests are the given commands."""
        path = pathlib.Path(self.dir.name) / name
        path.mkdir()
        tests = "".join(f'add_test(t{i} sh -c "{c}")\n' for i, c in enumerate(commands))
        (path / "CTestTestfile.cmake").write_text(tests, encoding="utf-8")
        return f"ctest:{path}"

    def run_steps(self, *steps):
        # The tools run without the sanitizer runtimes that a sanitizer build preloads for
        # the module: CTest hangs on its way out under them.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        run = subprocess.run(["bash", str(RUNNER), "2", *steps], capture_output=True,
                             text=True, timeout=120, env=env)
        return run.returncode, run.stdout.splitlines()[-1]

    def test_last_line_counts_every_test_and_check(self):
        good = self.ctest_dir("good", "true", "true")
        mixed = self.ctest_dir("mixed", "true", "exit 1", "true", "exit 3")
        cases = [
            ((good, "check:true"), 0, "3 passed, 0 failed"),
            ((good, mixed, "check:true"), 1, "5 passed, 2 failed"),
            # A failing step does not keep the later ones from running.
            (("check:false", good, "check:exit 0"), 1, "3 passed, 1 failed"),
            # A CTest directory without tests, or none at all, is one failure.
            ((self.ctest_dir("empty"), good), 1, "2 passed, 1 failed"),
            ((f"ctest:{self.dir.name}/missing",), 1, "0 passed, 1 failed"),
            (("nonsense", "check:true"), 1, "1 passed, 1 failed"),
        ]
        for steps, code, last in cases:
            with self.subTest(steps):
                self.assertEqual(self.run_steps(*steps), (code, last))


if __name__ == "__main__":
    unittest.main()
