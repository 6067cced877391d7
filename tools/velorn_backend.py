"""The build backend of `pip install .` and `pip wheel .` (PEP 517), standard library only.

It runs the project's own CMake build for the interpreter that runs it, building only that
interpreter's module target, and packs the module with its type stubs into a wheel tagged
for that interpreter. The CMake build stays the one description of how the module is
compiled: nothing here knows a compiler flag.

The build directory is chosen once per wheel (config setting `build-dir` overrides it):
the project's Release build `build/` when it is already configured for this interpreter
(as `make build` leaves it), so that nothing is compiled twice; otherwise `build-wheel/`,
configured for this interpreter alone and without the tests. Both keep their objects, so a
second wheel, for another interpreter too, compiles only its module.
"""

import base64
import hashlib
import io
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

# The module is built against the full C API of one interpreter version.
MIN_PYTHON = (3, 12)
ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT_BUILD = "build"
WHEEL_BUILD = "build-wheel"
STUBS = pathlib.Path("velorn") / "_velorn.pyi"
# Entries keep this time so that the same build packs the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
# What a source distribution leaves out when the tree is not a git checkout.
NOT_SOURCE = ("build*", "dist", "node_modules", ".git", "__pycache__")


def require_supported_python():
    """Stops before any work on an interpreter that the module cannot be built for."""
    version = ".".join(str(n) for n in sys.version_info[:3])
    if sys.implementation.name != "cpython":
        raise SystemExit(
            f"velorn is a CPython extension module; this is {sys.implementation.name} "
            f"{version} ({sys.executable}). Run pip with CPython 3.12 or later, "
            "e.g. `python3.12 -m pip install .`."
        )
    if sys.version_info < MIN_PYTHON:
        raise SystemExit(
            f"velorn needs Python 3.12 or later; this is Python {version} "
            f"({sys.executable}). Run pip with a newer interpreter, "
            "e.g. `python3.12 -m pip install .` or, with pyenv, "
            "`PYENV_VERSION=3.12 python -m pip install .`."
        )


# --- project metadata -------------------------------------------------------------------


def project():
    """The [project] table of pyproject.toml."""
    import tomllib

    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def dist_name(meta):
    return f"{meta['name']}-{meta['version']}"


def metadata_text(meta):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {meta['name']}",
        f"Version: {meta['version']}",
        f"Summary: {meta['description']}",
        f"Requires-Python: {meta['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in meta.get("classifiers", [])]
    lines.append("Description-Content-Type: text/markdown")
    readme = (ROOT / meta["readme"]).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + readme


def wheel_tag():
    """interpreter-abi-platform of the running interpreter, e.g. cp312-cp312-linux_x86_64."""
    interpreter = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interpreter}-{interpreter}{sys.abiflags}-{platform}"


def wheel_text(tag):
    return (
        "Wheel-Version: 1.0\n"
        "Generator: velorn_backend\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {tag}\n"
    )


# --- the CMake build --------------------------------------------------------------------


def read_cache(build_dir):
    """The entries of build_dir's CMakeCache.txt, name to value; empty without one."""
    cache = build_dir / "CMakeCache.txt"
    entries = {}
    if cache.is_file():
        for line in cache.read_text(encoding="utf-8", errors="replace").splitlines():
            name, sep, value = line.partition("=")
            if sep and not line.startswith(("#", "//")):
                entries[name.partition(":")[0]] = value
    return entries


def same_interpreter(path):
    try:
        return os.path.realpath(path) == os.path.realpath(sys.executable)
    except OSError:
        return False


def builds_this_interpreter(entries):
    """Whether a configured build of this tree makes a plain Release module for the
    running interpreter."""
    pythons = entries.get("VEL_MODULE_PYTHONS", "").split(";")
    return (
        os.path.realpath(entries.get("CMAKE_HOME_DIRECTORY", "")) == str(ROOT)
        and any(same_interpreter(p) for p in pythons if p)
        and entries.get("CMAKE_BUILD_TYPE") == "Release"
        and entries.get("VEL_SANITIZE", "OFF") == "OFF"
        and entries.get("VEL_FUZZ", "OFF") == "OFF"
    )


def choose_build_dir(config_settings):
    chosen = (config_settings or {}).get("build-dir")
    if chosen:
        return (ROOT / chosen).resolve()
    project_build = ROOT / PROJECT_BUILD
    if builds_this_interpreter(read_cache(project_build)):
        return project_build
    return ROOT / WHEEL_BUILD


def run(command):
    # pip shows this output only when the build fails, or with -v.
    print("+", " ".join(str(part) for part in command), file=sys.stderr, flush=True)
    subprocess.run([str(part) for part in command], check=True, stdout=sys.stderr)


def build_jobs(config_settings):
    jobs = (config_settings or {}).get("jobs") or os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL")
    return str(jobs or os.cpu_count() or 1)


def build_module(config_settings):
    """Builds the running interpreter's module target; returns the module file."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise SystemExit(
            "velorn is built with CMake, which is not on PATH. On Debian: "
            "`apt-get install cmake g++ libtomlplusplus-dev` (or `make deps` as root)."
        )
    build_dir = choose_build_dir(config_settings)
    if not builds_this_interpreter(read_cache(build_dir)):
        configure = [cmake, "-S", ROOT, "-B", build_dir, f"-DVEL_PYTHONS={sys.executable}"]
        if not read_cache(build_dir):
            configure += ["-DCMAKE_BUILD_TYPE=Release", "-DVEL_TESTS=OFF"]
        run(configure)
    tag = f"{sys.version_info[0]}{sys.version_info[1]}"
    run([cmake, "--build", build_dir, "--target", f"_velorn_cp{tag}",
         "--parallel", build_jobs(config_settings)])
    module = build_dir / f"cp{tag}" / ("_velorn" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not module.is_file():
        raise SystemExit(f"the build made no module at {module}")
    return module


# --- the wheel --------------------------------------------------------------------------


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return f"{name},sha256={digest.decode()},{len(data)}"


def pack_wheel(wheel_directory, module, stubs=ROOT / STUBS):
    """Writes the wheel of a built module and its stubs; returns the wheel's file name."""
    meta = project()
    tag = wheel_tag()
    info = f"{dist_name(meta)}.dist-info"
    files = [
        (module.name, module.read_bytes(), 0o755),
        (stubs.name, stubs.read_bytes(), 0o644),
        (f"{info}/METADATA", metadata_text(meta).encode(), 0o644),
        (f"{info}/WHEEL", wheel_text(tag).encode(), 0o644),
        (f"{info}/top_level.txt", b"_velorn\n", 0o644),
    ]
    record = [record_line(name, data) for name, data, _ in files] + [f"{info}/RECORD,,"]
    files.append((f"{info}/RECORD", ("\n".join(record) + "\n").encode(), 0o644))
    name = f"{dist_name(meta)}-{tag}.whl"
    path = pathlib.Path(wheel_directory) / name
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for entry, data, mode in files:
            member = zipfile.ZipInfo(entry, ZIP_TIME)
            member.external_attr = (0o100000 | mode) << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(member, data)
    return name


# --- the source distribution -----------------------------------------------------------


def source_files():
    """The files of the tree, relative to it: git's list in a checkout, else a walk."""
    try:
        listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], check=True,
                                capture_output=True).stdout.decode().split("\0")
        return sorted(name for name in listed if name and (ROOT / name).is_file())
    except (OSError, subprocess.CalledProcessError):
        pass
    found = []
    for folder, subfolders, files in os.walk(ROOT):
        here = pathlib.Path(folder)
        subfolders[:] = [d for d in subfolders
                         if not any(pathlib.PurePath(d).match(p) for p in NOT_SOURCE)]
        found += [str((here / f).relative_to(ROOT)) for f in files]
    return sorted(found)


def pack_sdist(sdist_directory):
    """Writes NAME-VERSION.tar.gz of the source files and PKG-INFO; returns its name."""
    meta = project()
    top = dist_name(meta)
    name = f"{top}.tar.gz"

    def member(entry, size, mode):
        info = tarfile.TarInfo(f"{top}/{entry}")
        info.size, info.mode, info.mtime = size, mode, 0
        return info

    with tarfile.open(pathlib.Path(sdist_directory) / name, "w:gz",
                      format=tarfile.PAX_FORMAT) as sdist:
        for entry in source_files():
            path = ROOT / entry
            with open(path, "rb") as f:
                mode = 0o755 if os.access(path, os.X_OK) else 0o644
                sdist.addfile(member(entry, path.stat().st_size, mode), f)
        info = metadata_text(meta).encode()
        sdist.addfile(member("PKG-INFO", len(info), 0o644), io.BytesIO(info))
    return name


# --- PEP 517 hooks ----------------------------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    require_supported_python()
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    require_supported_python()
    meta = project()
    info = pathlib.Path(metadata_directory) / f"{dist_name(meta)}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(metadata_text(meta), encoding="utf-8")
    (info / "WHEEL").write_text(wheel_text(wheel_tag()), encoding="utf-8")
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    require_supported_python()
    return pack_wheel(wheel_directory, build_module(config_settings))


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_sdist(sdist_directory, config_settings=None):
    return pack_sdist(sdist_directory)
