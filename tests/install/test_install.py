"""The installed library as its users meet it.

`cmake --install` of the build under test (RRV_BUILD_DIR) into a temporary
prefix, and of a second, static build (RRV_STATIC=ON) into another: the files
land where expected, and a C program (built with the pkg-config flags) and a
C++ CMake project (find_package, or pkg-config) built outside the source tree
stamp a file with them. Each prefix is removed afterwards. Outputs are judged
with qpdf and pdftotext; with RRV_REQUIRE_ORACLES=1 a missing tool fails.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Dict, Iterator, List, Optional

import pytest

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
SAMPLE = ROOT / "examples" / "sample.pdf"
BUILD = os.environ.get("RRV_BUILD_DIR")
CMAKE = os.environ.get("RRV_CMAKE", "cmake")

pytestmark = pytest.mark.skipif(BUILD is None, reason="RRV_BUILD_DIR is not set")


def need_tool(name: str) -> str:
    path = shutil.which(name)
    if path is None:
        if os.environ.get("RRV_REQUIRE_ORACLES") == "1":
            pytest.fail("%s is required (RRV_REQUIRE_ORACLES=1) but not installed" % name)
        pytest.skip("%s is not installed" % name)
    return path


def run(args: List[str], env: Optional[Dict[str, str]] = None,
        cwd: Optional[Path] = None) -> str:
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          env=full_env, cwd=cwd, timeout=900)
    assert proc.returncode == 0, "%s\n%s%s" % (args, proc.stdout, proc.stderr)
    return proc.stdout


def one(prefix: Path, pattern: str) -> Path:
    found = sorted(prefix.rglob(pattern))
    assert len(found) == 1, (pattern, found)
    return found[0]


class Prefix:
    """An installed tree and its library directory."""

    def __init__(self, path: Path, static: bool) -> None:
        self.path = path
        self.static = static
        self.libdir = one(path, "reraruvozari.pc").parent.parent


def installed(static: bool) -> Iterator[Prefix]:
    top = Path(tempfile.mkdtemp(prefix="rrv-install-"))
    try:
        build = Path(BUILD or "")
        if static:
            build = top / "build"
            run([CMAKE, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DRRV_STATIC=ON", "-DRRV_TESTS=OFF"])
            run([CMAKE, "--build", build, "-j2", "--target", "reraruvozari", "rrv_cli"])
        run([CMAKE, "--install", build, "--prefix", top / "prefix"])
        yield Prefix(top / "prefix", static)
    finally:
        shutil.rmtree(top, ignore_errors=True)
    assert not top.exists()


@pytest.fixture(scope="module")
def shared_prefix() -> Iterator[Prefix]:
    yield from installed(static=False)


@pytest.fixture(scope="module")
def static_prefix() -> Iterator[Prefix]:
    yield from installed(static=True)


def dynamic_needs(binary: Path) -> List[str]:
    out = run([need_tool("objdump"), "-p", binary])
    return [line.split()[1] for line in out.splitlines() if line.strip().startswith("NEEDED")]


def check_stamped(path: Path, word: str) -> None:
    proc = subprocess.run([need_tool("qpdf"), "--check", str(path)], capture_output=True,
                          text=True)
    assert proc.returncode in (0, 3), proc.stdout + proc.stderr
    text = run([need_tool("pdftotext"), "-enc", "UTF-8", path, "-"])
    assert word in "".join(text.split())


def test_installed_files(shared_prefix: Prefix) -> None:
    p = shared_prefix.path
    lib = shared_prefix.libdir
    for rel in ["include/reraruvozari.h", "bin/reraruvozari",
                "share/man/man1/reraruvozari.1"]:
        assert (p / rel).is_file(), rel
    real = lib / "libreraruvozari.so.0.1.0"
    assert real.is_file() and not real.is_symlink()
    assert os.readlink(lib / "libreraruvozari.so.0") == real.name
    assert (lib / "libreraruvozari.so").resolve() == real.resolve()
    soname = [line.split()[1] for line in run([need_tool("objdump"), "-p", real]).splitlines()
              if line.strip().startswith("SONAME")]
    assert soname == ["libreraruvozari.so.0"]
    for name in ("reraruvozariConfig.cmake", "reraruvozariConfigVersion.cmake",
                 "reraruvozariTargets.cmake"):
        assert (lib / "cmake" / "reraruvozari" / name).is_file(), name
    licences = sorted(f.name for f in (ROOT / "data" / "fonts").glob("*.LICENSE"))
    assert licences
    shipped = p / "share" / "doc" / "reraruvozari" / "fonts"
    assert sorted(f.name for f in shipped.iterdir()) == licences
    for name in licences:
        assert (shipped / name).read_bytes() == (ROOT / "data" / "fonts" / name).read_bytes()
    assert (p / "share/man/man1/reraruvozari.1").read_text().startswith(".TH RERARUVOZARI 1")


def test_installed_program_runs_from_its_prefix(shared_prefix: Prefix, tmp_path: Path) -> None:
    cli = shared_prefix.path / "bin" / "reraruvozari"
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    proc = subprocess.run([str(cli), "--version"], capture_output=True, text=True, env=env)
    assert proc.returncode == 0 and proc.stdout.startswith("reraruvozari "), proc.stderr
    out = tmp_path / "cli.pdf"
    proc = subprocess.run([str(cli), "text", str(SAMPLE), str(out), "PREFIXED"],
                          capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    check_stamped(out, "PREFIXED")


def test_pkg_config_flags(shared_prefix: Prefix) -> None:
    env = {"PKG_CONFIG_PATH": str(shared_prefix.libdir / "pkgconfig")}
    pc = need_tool("pkg-config")
    assert run([pc, "--modversion", "reraruvozari"], env).strip() == "0.1.0"
    flags = run([pc, "--cflags", "--libs", "reraruvozari"], env).split()
    include = [f for f in flags if f.startswith("-I")]
    libdir = [f for f in flags if f.startswith("-L")]
    assert "-lreraruvozari" in flags
    assert len(include) == 1 and Path(include[0][2:]).resolve() == shared_prefix.path / "include"
    assert len(libdir) == 1 and Path(libdir[0][2:]).resolve() == shared_prefix.libdir


# How a user's program finds the library; built from a copy of consumer/
# outside the source tree.
CONSUMERS = [
    ("c-pkg-config", False, "c"),
    ("cxx-find-package", False, "cmake"),
    ("cxx-cmake-pkg-config", False, "cmake-pkg-config"),
    ("c-pkg-config-static", True, "c"),
    ("cxx-find-package-static", True, "cmake"),
]


@pytest.mark.parametrize("name,static,how", CONSUMERS, ids=[c[0] for c in CONSUMERS])
def test_consumer_builds_and_stamps(request: pytest.FixtureRequest, tmp_path: Path,
                                    name: str, static: bool, how: str) -> None:
    prefix: Prefix = request.getfixturevalue("static_prefix" if static else "shared_prefix")
    src = tmp_path / "src"
    shutil.copytree(HERE / "consumer", src)
    env = {"PKG_CONFIG_PATH": str(prefix.libdir / "pkgconfig")}
    if how == "c":
        pc = need_tool("pkg-config")
        flags = run([pc, "--cflags", "--libs"] + (["--static"] if static else [])
                    + ["reraruvozari"], env).split()
        program = tmp_path / "stamp"
        run([need_tool("cc"), "-std=c99", "-Wall", "-Werror", src / "stamp.c", "-o", program]
            + flags)
    else:
        build = tmp_path / "build"
        args = [CMAKE, "-S", src, "-B", build, "-DCMAKE_PREFIX_PATH=" + str(prefix.path)]
        if how == "cmake-pkg-config":
            need_tool("pkg-config")
            args.append("-DUSE_PKG_CONFIG=ON")
        run(args, env)
        run([CMAKE, "--build", build], env)
        program = build / "stamp"
    needs = dynamic_needs(program)
    assert ("libreraruvozari.so.0" in needs) == (not static), needs
    out = tmp_path / "out.pdf"
    pages = run([program, SAMPLE, out, "INSTALLED"],
                {"LD_LIBRARY_PATH": str(prefix.libdir)})
    assert pages.strip() == "3"
    check_stamped(out, "INSTALLED")


def test_pip_install_into_a_fresh_venv(tmp_path: Path) -> None:
    # A copy of the tree without build trees or test data, installed with
    # Debian's setuptools (no network, no build isolation); the module's own
    # tests then run against the installed package from another directory.
    python = "/usr/bin/python3"
    if not Path(python).is_file():
        need_tool("/usr/bin/python3")
    probe = subprocess.run([python, "-c", "import venv, ensurepip, setuptools, wheel, pytest"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        if os.environ.get("RRV_REQUIRE_ORACLES") == "1":
            pytest.fail("python3-venv, -setuptools, -wheel, -pytest needed: " + probe.stderr)
        pytest.skip("python3-venv, -setuptools, -wheel or -pytest missing")
    src = tmp_path / "src"
    skip = {".git", "tests", "bench", "fuzz", "out"}
    shutil.copytree(ROOT, src, symlinks=True, ignore=lambda d, names: [
        n for n in names if Path(d) == ROOT and (n in skip or n.startswith("build"))])
    venv = tmp_path / "venv"
    run([python, "-m", "venv", "--system-site-packages", venv])
    vpy = venv / "bin" / "python"
    env = {"RRV_BUILD_JOBS": "2", "CMAKE": CMAKE, "PIP_NO_INDEX": "1"}
    run([vpy, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", src], env)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    clean = {k: v for k, v in os.environ.items()
             if k not in ("RERARUVOZARI_LIBRARY", "PYTHONPATH")}
    clean.update({"RRV_TEST_INSTALLED": "1", "PYTHONDONTWRITEBYTECODE": "1"})
    proc = subprocess.run([str(vpy), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "--import-mode=append", str(ROOT / "python" / "test_reraruvozari.py")],
                          capture_output=True, text=True, env=clean, cwd=elsewhere, timeout=900)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " passed" in proc.stdout, proc.stdout
    # A plain script from anywhere, without any environment variable.
    out = elsewhere / "plain.pdf"
    script = ("import reraruvozari, sys; reraruvozari.text(sys.argv[1], sys.argv[2], 'PIP'); "
              "print(reraruvozari.library_path())")
    proc = subprocess.run([str(vpy), "-c", script, str(SAMPLE), str(out)], capture_output=True,
                          text=True, env=clean, cwd=elsewhere)
    assert proc.returncode == 0, proc.stderr
    assert Path(proc.stdout.strip()).resolve().is_relative_to(venv.resolve())
    check_stamped(out, "PIP")
    run([vpy, "-m", "pip", "uninstall", "-y", "-q", "reraruvozari"])
    proc = subprocess.run([str(vpy), "-c", "import reraruvozari"], capture_output=True,
                          env=clean, cwd=elsewhere)
    assert proc.returncode != 0
    # The copy, its build tree and the venv are large: not left for pytest's
    # temporary-directory rotation.
    shutil.rmtree(src)
    shutil.rmtree(venv)
