"""The package qef64 for pip and setuptools (metadata: pyproject.toml).

The extension qef64._qef64 is built by CMake, as `make python` builds it:
the checkout is configured for the running interpreter into the build
directory, the target qef64_python is built, and the module it made is
packaged with the Python files. The sources, the C libraries they link
and the compiler flags are named once, in the CMake files. It needs cmake
(3.25 or later) and a C++20 compiler, and downloads nothing.
"""

import glob
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

here = os.path.dirname(os.path.abspath(__file__))


def version():
    with open(os.path.join(here, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(qef64 VERSION ([0-9.]+)", f.read()).group(1)


class cmake_build_ext(build_ext):
    """Builds the extension with CMake rather than with setuptools' compiler."""

    def build_extension(self, ext):
        cmake = os.environ.get("CMAKE") or shutil.which("cmake")
        if cmake is None:
            sys.exit("setup.py: the extension is built with cmake (3.25 or "
                     "later), which is not on PATH (apt-get install cmake)")
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = [cmake, "-S", here, "-B", build_dir,
                     "-DCMAKE_BUILD_TYPE=Release", "-DQEF64_TESTS=OFF",
                     "-DQEF64_PYTHON=" + sys.executable]
        # A generator is chosen once, when the directory is first configured.
        if shutil.which("ninja") and not os.path.exists(
                os.path.join(build_dir, "CMakeCache.txt")):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run([cmake, "--build", build_dir, "--target", "qef64_python",
                        "-j", str(os.cpu_count() or 1)], check=True)
        built = glob.glob(os.path.join(build_dir, "python", "qef64", "_qef64.*"))
        if len(built) != 1:
            sys.exit("setup.py: CMake made no extension for %s (are its headers, "
                     "python3-dev, installed?): %s" % (sys.executable, built))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    version=version(),
    packages=["qef64"],
    package_dir={"": "python"},
    package_data={"qef64": ["py.typed", "*.pyi"]},
    # No sources of its own: CMake knows them.
    ext_modules=[Extension("qef64._qef64", sources=[])],
    cmdclass={"build_ext": cmake_build_ext},
    # Beside CMake's files in build/, not among them.
    options={"build": {"build_base": "build/pip"}},
)
