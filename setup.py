"""The extension qef64._qef64 for pip and setuptools (metadata: pyproject.toml).

The extension is compiled together with the library's own sources, as the
CMake build compiles them (C++20, no exceptions, no RTTI), so that a
checkout builds with nothing but a compiler and the Python headers.
"""

import concurrent.futures
import glob
import os
import re

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

here = os.path.dirname(os.path.abspath(__file__))


def version():
    with open(os.path.join(here, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(qef64 VERSION ([0-9.]+)", f.read()).group(1)


def sources():
    # The library: its interface, the engines and the part of the runtime
    # the engines use (the standard streams and the fatal path belong to
    # the programs).
    def under(folder):
        found = glob.glob(os.path.join(here, folder, "*.cc"))
        return sorted(os.path.relpath(path, here) for path in found)

    return (
        under("python")
        + under("api")
        + under("db")
        + ["runtime/%s.cc" % name for name in ("bytes", "decimal", "seek", "stream")]
    )


class parallel_build_ext(build_ext):
    """Compiles the sources of the extension side by side."""

    def build_extension(self, ext):
        compile_one = self.compiler.compile

        def compile_all(sources, *args, **kwargs):
            workers = min(len(sources), os.cpu_count() or 1)
            with concurrent.futures.ThreadPoolExecutor(workers) as pool:
                parts = pool.map(lambda s: compile_one([s], *args, **kwargs), sources)
                return [obj for part in parts for obj in part]

        self.compiler.compile = compile_all
        try:
            super().build_extension(ext)
        finally:
            self.compiler.compile = compile_one


setup(
    version=version(),
    packages=["qef64"],
    package_dir={"": "python"},
    package_data={"qef64": ["py.typed", "*.pyi"]},
    ext_modules=[
        Extension(
            "qef64._qef64",
            sources=sources(),
            include_dirs=[".", "include"],
            # The sets' manifests and checksums (libcjson-dev, libssl-dev).
            libraries=["cjson", "crypto"],
            define_macros=[
                ("QEF64_VERSION_STRING", '"%s"' % version()),
                ("_FILE_OFFSET_BITS", "64"),
            ],
            extra_compile_args=[
                "-std=c++20",
                "-fno-exceptions",
                "-fno-rtti",
                "-fvisibility=hidden",
            ],
        )
    ],
    cmdclass={"build_ext": parallel_build_ext},
    # Beside CMake's files in build/, not among them.
    options={"build": {"build_base": "build/pip"}},
)
