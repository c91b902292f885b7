"""Helpers shared by the tests of the Python package qef64."""

import os
import random
import shutil
import subprocess
import tempfile
import unittest

import qef64

BIN_DIR = os.environ.get("QEF64_BIN_DIR", "")
SOURCE_DIR = os.environ.get(
    "QEF64_SOURCE_DIR",
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
)


class TempDirTest(unittest.TestCase):
    """A test with a fresh directory, self.dir, removed afterwards."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qef64-py-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def leftovers(self):
        """Temporary files of builders left in the directory."""
        return [n for n in os.listdir(self.dir) if ".tmp." in n]


def random_records(rng, n, alphabet=b"ab\x00\xff\n", max_key=4):
    """n records with short keys over a small alphabet, so that keys repeat;
    the empty key comes first and again later."""
    records = [(b"", b"first empty")]
    for i in range(n - 2):
        key = bytes(rng.choice(alphabet) for _ in range(rng.randint(0, max_key)))
        value = bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 12)))
        records.append((key, value + str(i).encode()))
    records.append((b"", b"second empty"))
    return records


def model_of(records):
    """The records as a dict of lists, each key's data in the order added."""
    model = {}
    for key, value in records:
        model.setdefault(key, []).append(value)
    return model


def framing(records):
    """The record text that qef64make reads."""
    out = bytearray()
    for key, value in records:
        out += b"+%d,%d:%s->%s\n" % (len(key), len(value), key, value)
    return bytes(out + b"\n")


def tool(name):
    """The path of a built program, or a skip when there is none."""
    path = os.path.join(BIN_DIR, name)
    if not BIN_DIR or not os.access(path, os.X_OK):
        raise unittest.SkipTest("%s is not built (QEF64_BIN_DIR)" % name)
    return path


def run_tool(args, data=b"", stdin=None):
    """Runs a program on data, or on the open file stdin."""
    # A sanitized program carries its own sanitizer runtime, which must not
    # meet the one preloaded into the interpreter.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(args, input=None if stdin else data, stdin=stdin,
                          capture_output=True, env=env, check=False)


def mapped(path):
    """How many open databases of this process map the file at path: each
    maps it twice, once for lookups and once for walks."""
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        n = sum(1 for line in maps if line.rstrip("\n").endswith(" " + real))
    return (n + 1) // 2


def build(path, records):
    qef64.build(path, records)
    return qef64.open(path)


def seeded(test_id):
    return random.Random(test_id)
