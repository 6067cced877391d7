"""Every code block of README.md and docs/*.md, run against the module.

Each document runs top to bottom in a folder of its own, its blocks by their language:

- `pycon`: the interpreter session runs (doctest, one namespace per document) and its shown
  output must be the output, exactly;
- `stderr`: what the `pycon` block before it wrote to file descriptor 2, where "..."
  stands for any text (thread numbers, source lines);
- `vel`: vel source text, which must be in canonical form; `vel file=NAME` is also
  written to the file NAME for the blocks after it;
- `toml file=NAME`: a configuration file, which must be valid TOML, written to NAME;
- `json`: must be one valid JSON document;
- `sh`: shell commands for the reader (installing, building); not run here.

Any other block, or one without a language, fails: each example says how it is checked.
"""

import contextlib
import doctest
import json
import os
import pathlib
import re
import sys
import tempfile
import tomllib
import unittest

import _velorn

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(text):
    """(line, language, options, body) of every fenced block, in order."""
    for match in FENCE.finditer(text):
        info = match.group(1).split()
        language = info[0] if info else ""
        options = dict(item.partition("=")[::2] for item in info[1:])
        line = text.count("\n", 0, match.start()) + 1
        yield line, language, options, match.group(2)


@contextlib.contextmanager
def fd2_into(path):
    """Sends what is written to file descriptor 2 into the file at `path`."""
    sys.stderr.flush()
    saved = os.dup(2)
    with open(path, "wb") as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield
        finally:
            sys.stderr.flush()
            os.dup2(saved, 2)
            os.close(saved)


class Document:
    def __init__(self, test, path):
        self.test = test
        self.path = path
        self.globs = {"__name__": "__main__"}
        self.stderr = None  # what the last pycon block wrote to fd 2
        self.fd2 = pathlib.Path(test.enterContext(tempfile.TemporaryDirectory())) / "fd2"

    def where(self, line):
        return f"{self.path.relative_to(ROOT)}:{line}"

    def pycon(self, line, body):
        example = doctest.DocTestParser().get_doctest(
            body, self.globs, self.where(line), str(self.path), line)
        runner = doctest.DocTestRunner(optionflags=doctest.DONT_ACCEPT_TRUE_FOR_1)
        report = []
        with fd2_into(self.fd2):
            result = runner.run(example, out=report.append, clear_globs=False)
        self.stderr = self.fd2.read_text(encoding="utf-8")
        self.globs = example.globs  # a test runs in a copy: later blocks build on this one
        self.test.assertEqual(result.failed, 0, "".join(report))

    def shown_stderr(self, line, body):
        self.test.assertIsNotNone(self.stderr, f"{self.where(line)}: no pycon block before")
        self.test.assertTrue(doctest._ellipsis_match(body, self.stderr),
                             f"{self.where(line)}: fd 2 held\n{self.stderr}")

    def vel(self, line, body, options):
        self.test.assertEqual(_velorn.fmt_source(body), body,
                              f"{self.where(line)}: not in canonical form")
        self.write(options, body)

    def toml(self, line, body, options):
        tomllib.loads(body)
        self.test.assertIn("file", options, f"{self.where(line)}: toml without file=")
        self.write(options, body)

    def write(self, options, body):
        if "file" in options:
            pathlib.Path(options["file"]).write_text(body, encoding="utf-8")

    def run(self):
        for line, language, options, body in blocks(self.path.read_text(encoding="utf-8")):
            with self.test.subTest(self.where(line)):
                if language == "pycon":
                    self.pycon(line, body)
                elif language == "stderr":
                    self.shown_stderr(line, body)
                elif language == "vel":
                    self.vel(line, body, options)
                elif language == "toml":
                    self.toml(line, body, options)
                elif language == "json":
                    json.loads(body)
                elif language != "sh":
                    self.fail(f"{self.where(line)}: a block of unknown language {language!r}")


class DocsTest(unittest.TestCase):
    def test_every_example_gives_what_it_shows(self):
        for path in DOCUMENTS:
            with self.subTest(path.name), tempfile.TemporaryDirectory() as folder:
                cwd = os.getcwd()
                os.chdir(folder)
                try:
                    Document(self, path).run()
                finally:
                    os.chdir(cwd)


if __name__ == "__main__":
    unittest.main()
