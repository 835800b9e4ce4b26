"""Builds the package kaltro with the project's CMake tree: the extension
module kaltro._core is the CMake target kaltro_python, built for the
interpreter that runs this; the pure-Python part comes from python/kaltro.
The version is the one in CMakeLists.txt."""

import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"project\(kaltro\s+VERSION\s+([0-9.]+)", f.read())
    if not m:
        raise RuntimeError("no project version in CMakeLists.txt")
    return m.group(1)


class CMakeBuild(build_ext):
    """Configures a tree of its own (no tests, no sanitizer) and builds the
    extension target there, then copies it where setuptools wants it."""

    def build_extension(self, ext):
        tree = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        os.makedirs(tree, exist_ok=True)
        subprocess.run(["cmake", "-S", HERE, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKALTRO_TESTS=OFF", "-DKALTRO_PYTHON=ON",
                        f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", tree, "--target", "kaltro_python", "-j", jobs],
                       check=True)
        built = os.path.join(tree, "python", "kaltro", self.get_ext_filename("_core"))
        if not os.path.exists(built):
            raise RuntimeError(f"the build made no {built}: are python3-dev, pybind11-dev and "
                               "python3-numpy installed?")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


# Out of the way of the CMake trees in build/ (KALTRO_BUILD_BASE: elsewhere).
BUILD_BASE = os.environ.get("KALTRO_BUILD_BASE") or os.path.join(HERE, "build-pip")
os.makedirs(BUILD_BASE, exist_ok=True)
setup(
    version=project_version(),
    packages=["kaltro"],
    package_dir={"": "python"},
    ext_modules=[Extension("kaltro._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
    zip_safe=False,
)
