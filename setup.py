"""Builds the compiled part of `orvterdep` with the project's CMake build.

The library is configured for the interpreter that runs the build, and installed into a staging
folder with the package as its library folder: the extension and the shared libraries it needs
then sit side by side and find each other through $ORIGIN.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(OrvTerDep VERSION ([0-9.]+)", text).group(1)


def pybind11_dir():
    """pybind11's CMake files from the pip package when there is one (an isolated build)."""
    try:
        import pybind11
    except ImportError:
        return None
    return pybind11.get_cmake_dir()


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        stage = build / "stage"
        args = ["-DCMAKE_BUILD_TYPE=Release", f"-DPython3_EXECUTABLE={sys.executable}",
                "-DORV_BUILD_TESTS=OFF", "-DORV_BUILD_BENCH=OFF", "-DORV_BUILD_TOOLS=OFF",
                "-DORV_BUILD_PYTHON=ON", "-DORV_PYTHON_REQUIRED=ON", "-DORV_INSTALL=ON",
                "-DORV_PYTHON_INSTALL_DIR=.", "-DCMAKE_INSTALL_LIBDIR=orvterdep"]
        if pybind11_dir():
            args.append(f"-Dpybind11_DIR={pybind11_dir()}")
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), *args], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "-j", jobs], check=True)
        shutil.rmtree(stage, ignore_errors=True)
        subprocess.run(["cmake", "--install", str(build), "--prefix", str(stage)], check=True,
                       stdout=subprocess.DEVNULL)
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).parent
        target.mkdir(parents=True, exist_ok=True)
        # The extension and the libraries under their run-time names (the SONAME links).
        for built in (stage / "orvterdep").iterdir():
            if built.name.startswith("_core") or re.fullmatch(r"lib\w+\.so\.\d+", built.name):
                shutil.copyfile(built, target / built.name)


setup(version=project_version(), ext_modules=[Extension("orvterdep._core", sources=[])],
      cmdclass={"build_ext": CMakeBuild})
