"""The build step behind `pip install .` and `pip wheel .`.

setuptools gives the metadata (pyproject.toml) and the wheel; the module
itself is built by CMake: a configure without the test suites and the
benchmarks, a build of the module target alone, and an install of the
`python` component (the module, its stub and py.typed) into the directory
that the wheel is made from. The module is built for the interpreter that
runs this script. The CMake build directory stays under build-pip/ so that a
second run only rebuilds what changed.

Environment: CMAKE_BUILD_PARALLEL_LEVEL sets the build's jobs (default: the
processors this process may run on); QUOR_CMAKE_ARGS adds configure
arguments (split at white space).
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if shutil.which("cmake") is None:
            raise RuntimeError("building quor_engine needs cmake (Debian: make deps)")
        module_path = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        site_dir = module_path.parent
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DQUOR_TESTS=OFF", "-DQUOR_BENCH=OFF", "-DQUOR_PYTHON=ON",
            f"-DPYTHON={sys.executable}",
            f"-DQUOR_PYTHON_SITE={site_dir}",
        ]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        configure += os.environ.get("QUOR_CMAKE_ARGS", "").split()
        build = ["cmake", "--build", str(build_dir), "--target", "quor_engine_py"]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["-j", str(len(os.sched_getaffinity(0)))]
        install = ["cmake", "--install", str(build_dir), "--component", "python", "--strip"]
        for command in (configure, build, install):
            print(" ".join(command), flush=True)
            subprocess.run(command, check=True)
        if not module_path.exists():
            raise RuntimeError(f"the CMake install did not produce {module_path}")


class Install(install):
    # Debian's setuptools (also its wheel file in /usr/share/python-wheels)
    # asks the install command for the options `install_layout` and
    # `prefix_option`, which only Debian's own interpreter defines; without
    # them a wheel build on another CPython (pyenv's, say) fails with
    # AttributeError: install_layout.
    def initialize_options(self):
        super().initialize_options()
        for option in ("install_layout", "prefix_option"):
            if not hasattr(self, option):
                setattr(self, option, None)


setup(
    packages=[],
    py_modules=[],
    ext_modules=[CMakeExtension("quor_engine")],
    cmdclass={"build_ext": CMakeBuild, "install": Install},
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
)
