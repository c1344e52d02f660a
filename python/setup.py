"""Builds libnel_c with CMake (or takes the one in NEL_C_LIBRARY) and ships it inside the package."""
import os
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = Path(__file__).resolve().parent.parent


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        lib = os.environ.get("NEL_C_LIBRARY")
        if not lib:
            build = Path(os.environ.get("NEL_PYTHON_BUILD_DIR", ROOT / "build-python"))
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                            "-DNEL_BUILD_TESTS=OFF", "-DNEL_BUILD_BENCH=OFF", "-DNEL_BUILD_TOOLS=OFF"], check=True)
            subprocess.run(["cmake", "--build", str(build), "--target", "nel_c", "--parallel", "2"], check=True)
            lib = build / "capi" / "libnel_c.so"
        target = Path(self.build_lib) / "nel"
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy2(os.path.realpath(lib), target / "libnel_c.so.1")


class BinaryDistribution(Distribution):
    """The package carries a compiled library: its wheel is tied to this platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
