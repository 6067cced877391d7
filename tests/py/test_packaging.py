"""The wheel that `pip install .` builds (tools/velorn_backend.py), packed from the module
under test; tools/check-wheel.sh installs one into a fresh environment in `make test`."""

import base64
import hashlib
import os
import pathlib
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import tomllib
import unittest
import zipfile

import _velorn

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import velorn_backend  # noqa: E402


def older_python():
    """A CPython older than 3.12 on this machine, or None."""
    candidates = []
    versions = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    candidates += sorted((versions / "versions").glob("3.1[01]*/bin/python3"))
    candidates += [pathlib.Path(p) / "python3" for p in os.get_exec_path()]
    for exe in candidates:
        try:
            out = subprocess.run(
                [exe, "-c", "import sys; print(sys.version_info < (3, 12))"],
                capture_output=True, text=True, timeout=30,
            )
        except OSError:
            continue
        if out.stdout.strip() == "True":
            return exe
    return None


class PackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        module = pathlib.Path(_velorn.__file__)
        cls.name = velorn_backend.pack_wheel(cls.tmp.name, module)
        cls.wheel = zipfile.ZipFile(pathlib.Path(cls.tmp.name) / cls.name)
        with open(ROOT / "pyproject.toml", "rb") as f:
            cls.project = tomllib.load(f)["project"]

    @classmethod
    def tearDownClass(cls):
        cls.wheel.close()
        cls.tmp.cleanup()

    def test_named_and_tagged_for_this_interpreter(self):
        tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
        platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
        version = self.project["version"]
        self.assertEqual(self.name, f"velorn-{version}-{tag}-{tag}{sys.abiflags}-{platform}.whl")
        info = f"velorn-{version}.dist-info"
        self.assertIn(f"Tag: {tag}-{tag}{sys.abiflags}-{platform}\n",
                      self.wheel.read(f"{info}/WHEEL").decode())
        self.assertIn("Root-Is-Purelib: false\n", self.wheel.read(f"{info}/WHEEL").decode())

    def test_module_and_stubs_at_the_top_beside_each_other(self):
        info = f"velorn-{self.project['version']}.dist-info"
        self.assertEqual(
            self.wheel.namelist(),
            [
                pathlib.Path(_velorn.__file__).name,
                "_velorn.pyi",
                f"{info}/METADATA",
                f"{info}/WHEEL",
                f"{info}/top_level.txt",
                f"{info}/RECORD",
            ],
        )
        self.assertEqual(self.wheel.read("_velorn.pyi"),
                         (ROOT / "velorn" / "_velorn.pyi").read_bytes())

    def test_record_holds_every_other_file_with_its_hash(self):
        info = f"velorn-{self.project['version']}.dist-info"
        lines = self.wheel.read(f"{info}/RECORD").decode().splitlines()
        self.assertEqual(lines[-1], f"{info}/RECORD,,")
        recorded = {}
        for line in lines[:-1]:
            name, digest, size = line.split(",")
            recorded[name] = (digest, int(size))
        for name in self.wheel.namelist()[:-1]:
            data = self.wheel.read(name)
            b64 = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            self.assertEqual(recorded.pop(name), ("sha256=" + b64.decode(), len(data)), name)
        self.assertEqual(recorded, {})

    def test_metadata_from_pyproject(self):
        info = f"velorn-{self.project['version']}.dist-info"
        head = self.wheel.read(f"{info}/METADATA").decode().partition("\n\n")[0]
        fields = [line.partition(": ")[::2] for line in head.splitlines()]
        self.assertIn(("Name", "velorn"), fields)
        self.assertIn(("Version", self.project["version"]), fields)
        self.assertIn(("Requires-Python", ">=3.12"), fields)

    def test_module_is_executable_and_packs_the_same_bytes_again(self):
        member = self.wheel.getinfo(pathlib.Path(_velorn.__file__).name)
        self.assertEqual(member.external_attr >> 16, 0o100755)
        with tempfile.TemporaryDirectory() as again:
            velorn_backend.pack_wheel(again, pathlib.Path(_velorn.__file__))
            self.assertEqual((pathlib.Path(again) / self.name).read_bytes(),
                             (pathlib.Path(self.tmp.name) / self.name).read_bytes())


class SdistTest(unittest.TestCase):
    def test_sources_to_build_from_and_nothing_built(self):
        with tempfile.TemporaryDirectory() as folder:
            name = velorn_backend.build_sdist(folder)
            with open(ROOT / "pyproject.toml", "rb") as f:
                top = "velorn-" + tomllib.load(f)["project"]["version"]
            self.assertEqual(name, top + ".tar.gz")
            with tarfile.open(pathlib.Path(folder) / name) as sdist:
                members = {m.name.removeprefix(top + "/"): m for m in sdist.getmembers()}
                self.assertTrue(all(m.name.startswith(top + "/") for m in members.values()))
                for needed in ("pyproject.toml", "CMakeLists.txt", "tools/velorn_backend.py",
                               "velorn/_velorn.pyi", "velorn/src/module.cpp", "PKG-INFO"):
                    self.assertIn(needed, members)
                self.assertEqual(
                    [n for n in members if n.split("/")[0].startswith(("build", "dist"))], [])
                self.assertEqual(members["tools/check-wheel.sh"].mode, 0o755)
                info = sdist.extractfile(members["PKG-INFO"]).read().decode()
                self.assertIn("\nRequires-Python: >=3.12\n", info)


class OlderPythonTest(unittest.TestCase):
    def test_every_hook_stops_naming_the_version_needed(self):
        old = older_python()
        if old is None:
            self.skipTest("no CPython older than 3.12 on this machine")
        for hook in ("get_requires_for_build_wheel()",
                     "prepare_metadata_for_build_wheel('.')",
                     "build_wheel('.')"):
            with self.subTest(hook), tempfile.TemporaryDirectory() as cwd:
                run = subprocess.run(
                    [old, "-c", f"import velorn_backend as b; b.{hook}"],
                    capture_output=True, text=True, cwd=cwd, timeout=60,
                    env={**os.environ, "PYTHONPATH": str(ROOT / "tools")},
                )
                self.assertEqual(run.returncode, 1)
                self.assertEqual(run.stdout, "")
                self.assertRegex(
                    run.stderr,
                    r"^velorn needs Python 3\.12 or later; this is Python 3\.\d+\.\d+ \(.*\)\."
                    r" Run pip with a newer interpreter, e\.g\. `python3\.12 -m pip install \.`"
                    r" or, with pyenv, `PYENV_VERSION=3\.12 python -m pip install \.`\.\n$",
                )
                self.assertEqual(os.listdir(cwd), [])


if __name__ == "__main__":
    unittest.main()
