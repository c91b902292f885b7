"""The package as installed: by make install (cmake --install), and by pip
install --no-build-isolation of a clean copy of the sources, offline, into a
fresh virtual environment, as a user of a checkout would."""

import os
import shutil
import subprocess
import sys
import sysconfig
import unittest

from support import SOURCE_DIR, TempDirTest


def importable(module):
    result = subprocess.run([sys.executable, "-c", "import " + module],
                            capture_output=True, check=False)
    return result.returncode == 0


class PipInstall(TempDirTest):
    def test_installs_offline_from_a_clean_checkout(self):
        for module, package in (("ensurepip", "python3-venv"),
                                ("setuptools", "python3-setuptools")):
            if not importable(module):
                raise unittest.SkipTest("%s is missing (apt-get install %s)"
                                        % (module, package))
        source = self.path("src")
        # Everything but builds and version control: nothing built beforehand.
        def ignore(folder, names):
            at_top = os.path.samefile(folder, SOURCE_DIR)
            return [n for n in names
                    if (at_top and (n.startswith("build") or n in (".git", "demo-out")))
                    or n.endswith(".egg-info") or n == "__pycache__"]

        shutil.copytree(SOURCE_DIR, source, symlinks=True, ignore=ignore)
        env_dir = self.path("env")
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", env_dir],
                       check=True)
        python = os.path.join(env_dir, "bin", "python")
        env = {k: v for k, v in os.environ.items()
               if k not in ("PYTHONPATH", "PYTHONDEVMODE")}
        env["PIP_NO_INDEX"] = "1"  # offline: nothing but what is here
        env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
        result = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation",
                                 source], cwd=self.dir, env=env,
                                capture_output=True, text=True, check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        check = (
            "import os, qef64\n"
            "assert qef64.__file__.startswith(%r), qef64.__file__\n"
            "here = os.path.dirname(qef64.__file__)\n"
            "assert {'py.typed', '__init__.pyi'} <= set(os.listdir(here))\n"
            "qef64.build('p.db', [(b'k', b'v'), (b'k', b'w')])\n"
            "assert qef64.open('p.db').get_all(b'k') == [b'v', b'w']\n"
            "print(qef64.__version__)\n" % env_dir)
        result = subprocess.run([python, "-c", check], cwd=self.dir, env=env,
                                capture_output=True, text=True, check=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^\d+\.\d+\.\d+\n$")


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
