"""Builds the library and the command-line tool with CMake and puts them
inside the Python package:

    reraruvozari/lib/libreraruvozari.so.0   (the DLL goes to bin/ on Windows)
    reraruvozari/bin/reraruvozari           (run path $ORIGIN/../lib)
    reraruvozari/licenses/fonts/*.LICENSE

The metadata is in pyproject.toml; the version is the one of CMakeLists.txt.
Environment: CMAKE (the cmake program), RRV_CMAKE_ARGS (more configure
options), RRV_BUILD_JOBS (parallel compile jobs, default: processors).
"""

import os
import re
import shlex
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = Path(__file__).resolve().parent


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*reraruvozari\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("no project version in CMakeLists.txt")
    return match.group(1)


def copy_resolved(src_dir: Path, dest_dir: Path) -> None:
    """Copies a directory's files; a symbolic link becomes a copy of its
    target under the link's name (wheels hold no links) and the target
    itself is left out, so libreraruvozari.so.0 is the only library file."""
    if not src_dir.is_dir():
        return
    entries = sorted(src_dir.iterdir())
    targets = {e.resolve() for e in entries if e.is_symlink()}
    dest_dir.mkdir(parents=True, exist_ok=True)
    for entry in entries:
        if entry.is_dir() or (not entry.is_symlink() and entry.resolve() in targets):
            continue
        shutil.copyfile(entry.resolve(), dest_dir / entry.name)
        shutil.copymode(entry.resolve(), dest_dir / entry.name)


class BuildWithCMake(build_py):
    """build_py, then the native parts built and staged into the package."""

    def run(self) -> None:
        super().run()
        cmake = os.environ.get("CMAKE", "cmake")
        temp = Path(self.get_finalized_command("build").build_temp).resolve()
        build = temp / "cmake"
        stage = temp / "stage"
        configure = [cmake, "-S", str(ROOT), "-B", str(build),
                     "-DCMAKE_BUILD_TYPE=Release", "-DRRV_TESTS=OFF",
                     "-DCMAKE_INSTALL_LIBDIR=lib", "-DCMAKE_INSTALL_BINDIR=bin"]
        configure += shlex.split(os.environ.get("RRV_CMAKE_ARGS", ""))
        jobs = os.environ.get("RRV_BUILD_JOBS", str(os.cpu_count() or 1))
        subprocess.check_call(configure)
        subprocess.check_call([cmake, "--build", str(build), "--config", "Release",
                               "-j", jobs, "--target", "reraruvozari", "rrv_cli"])
        shutil.rmtree(stage, ignore_errors=True)
        for component in ("runtime", "cli"):
            subprocess.check_call([cmake, "--install", str(build), "--config", "Release",
                                   "--prefix", str(stage), "--component", component])
        package = Path(self.build_lib) / "reraruvozari"
        copy_resolved(stage / "lib", package / "lib")
        copy_resolved(stage / "bin", package / "bin")
        copy_resolved(stage / "share" / "doc" / "reraruvozari" / "fonts",
                      package / "licenses" / "fonts")


try:
    from wheel.bdist_wheel import bdist_wheel

    class PlatformWheel(bdist_wheel):
        """The module loads the library with ctypes: one wheel serves every
        Python 3 of the platform."""

        def get_tag(self):
            return ("py3", "none", super().get_tag()[2])

    WHEEL_COMMANDS = {"bdist_wheel": PlatformWheel}
except ImportError:
    WHEEL_COMMANDS = {}


class BinaryDistribution(Distribution):
    """The wheel carries a native library: tag it for this platform."""

    def has_ext_modules(self) -> bool:
        return True


setup(
    version=project_version(),
    cmdclass={"build_py": BuildWithCMake, **WHEEL_COMMANDS},
    distclass=BinaryDistribution,
)
