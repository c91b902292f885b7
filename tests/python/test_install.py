"""The package as make install (cmake --install) lays it out."""

import os
import subprocess
import sys
import sysconfig
import unittest

from support import TempDirTest


class MakeInstall(TempDirTest):
    def test_installs_where_the_interpreter_looks_under_the_prefix(self):
        build_dir = os.environ.get("QEF64_BUILD_DIR")
        prefix = os.environ.get("QEF64_INSTALL_PREFIX")
        site = os.environ.get("QEF64_PYTHON_SITE")
        if not (build_dir and prefix and site):
            raise unittest.SkipTest("run by ctest, which names the build")
        stage = self.path("stage")
        subprocess.run([os.environ.get("QEF64_CMAKE", "cmake"), "--install", build_dir,
                        "--component", "python", "--prefix", stage],
                       check=True, capture_output=True)
        installed = os.path.join(stage, site, "qef64")
        self.assertTrue({"__init__.py", "__init__.pyi", "py.typed"}
                        <= set(os.listdir(installed)))
        env = dict(os.environ, PYTHONPATH=os.path.join(stage, site))
        result = subprocess.run([sys.executable, "-c", "import qef64; print(qef64.__file__)"],
                                env=env, capture_output=True, text=True, check=False)
        self.assertEqual(result.stdout, os.path.join(installed, "__init__.py") + "\n",
                         result.stderr)
        # Under a prefix of its own (/usr/local, where make install goes by
        # default, and /usr for Debian's), the interpreter finds it unhelped.
        own = {sys.prefix}
        if "deb_system" in sysconfig.get_scheme_names():
            own |= {"/usr", "/usr/local"}
        if prefix in own:
            self.assertIn(os.path.join(prefix, site), sys.path)
