"""Sharded sets: the shard hash, reading, and publication that either
completes or leaves the current version as it was."""

import errno
import json
import os
import subprocess
import sys
import unittest

import qef64
import qef64.sharded
from support import TempDirTest, model_of, random_records, seeded

FAULTS = os.environ.get("QEF64_FAULTS_LIB", "")

# A build of the set argv[1] over its old version, in a process whose
# writes fail with ENOSPC after argv[2] bytes; then the lock must be free
# and no descriptor left open.
BUILD_ON_A_FULL_DISK = r"""
import os, sys
import qef64, qef64.sharded
fds = len(os.listdir("/proc/self/fd"))
pairs = [(b"k", b"new")] + [(b"key%d" % i, b"v" * 40) for i in range(300)]
try:
    qef64.build_sharded(sys.argv[1], pairs, shards=3)
    print("published")
except OSError as e:
    print("failed", e.errno)
with qef64.sharded.Publication(sys.argv[1], 2):
    pass
if len(os.listdir("/proc/self/fd")) != fds:
    sys.exit("a descriptor was left open")
"""


class ShardHash(unittest.TestCase):
    def test_documented_vectors(self):
        # qef64(5) gives these; a change of the hash would strand every set.
        vectors = {b"": 17665956581633026203, b"a": 198367012849983736,
                   b"abc": 996580060897260808, b"red": 13534022786443685247,
                   "Asunción".encode(): 17274110151228271958}
        for key, h in vectors.items():
            self.assertEqual(qef64.shard_hash(key), h, key)
        self.assertEqual(qef64.shard_hash(b"red") % 32, 31)
        self.assertRaises(TypeError, qef64.shard_hash, "red")


class Reading(TempDirTest):
    def test_sharded_set_reads_like_one_database(self):
        records = random_records(seeded(self.id()), 3000)
        model = model_of(records)
        qef64.build_sharded(self.dir, records, shards=5, memory=1 << 16)
        absent = [b"absent", b"\xff" * 9]
        with qef64.open_sharded(self.dir) as db:
            self.assertEqual(len(db), len(records))
            self.assertEqual(db.shard_count, 5)
            for key, values in model.items():
                self.assertEqual(db.get_all(key), values)
                self.assertEqual(db[key], values[0])
                self.assertIn(key, db)
            keys = list(model) + absent
            self.assertEqual(db.get_many(keys),
                             [model[k][0] if k in model else None for k in keys])
            self.assertEqual(sorted(db.items()), sorted(records))
            self.assertIsNone(db.get(absent[0]))
            self.assertRaises(KeyError, db.__getitem__, absent[1])
        self.assertRaises(ValueError, len, db)
        # Each shard is an ordinary database holding exactly its keys.
        with open(os.path.join(self.dir, "current", "manifest.json")) as f:
            self.assertEqual(json.load(f)["shard_count"], 5)
        for i in range(5):
            with qef64.open(os.path.join(self.dir, "current", "shard-%05d.qef64" % i)) as shard:
                self.assertTrue(all(qef64.shard_hash(k) % 5 == i for k in shard.keys()))

    def test_reader_keeps_its_version_through_publications(self):
        qef64.build_sharded(self.dir, [(b"k", b"old")], shards=2)
        old = qef64.open_sharded(self.dir)
        first = old.version
        qef64.build_sharded(self.dir, [(b"k", b"new")], shards=3)
        qef64.build_sharded(self.dir, [(b"k", b"newer")], shards=3)
        # Two publications on, the first version is gone from the
        # directory, but the open reader still has every shard mapped.
        self.assertNotIn(first, os.listdir(self.dir))
        self.assertTrue(old.replaced())
        self.assertEqual(old[b"k"], b"old")
        old.close()
        with qef64.open_sharded(self.dir) as db:
            self.assertEqual(db[b"k"], b"newer")
            self.assertFalse(db.replaced())
        self.assertEqual(len([n for n in os.listdir(self.dir) if n.startswith("v-")]), 2)


class Publication(TempDirTest):
    def setUp(self):
        super().setUp()
        self.old_version = qef64.build_sharded(self.dir, [(b"k", b"old")], shards=2)

    def versions(self):
        return sorted(n for n in os.listdir(self.dir) if n.startswith("v-"))

    def assert_current(self, value):
        with qef64.open_sharded(self.dir) as db:
            self.assertEqual(db[b"k"], value)
            self.assertEqual(len(db), 1)

    def test_full_disk_at_each_step_publishes_all_or_nothing(self):
        """The build's writes fail from one point on, every 1,500 bytes
        into them until one build publishes, then every 100 bytes of the
        last stretch, where SHA256SUMS and the manifest are written: the
        old version stays current and no trace of the new one remains, and
        every build lets the lock and its descriptors go."""
        if not FAULTS:
            self.skipTest("no fault-injection library (QEF64_FAULTS_LIB)")
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        preload = [os.environ["LD_PRELOAD"]] if "LD_PRELOAD" in os.environ else []
        env["LD_PRELOAD"] = " ".join(preload + [FAULTS])

        def build(limit):
            current, versions = os.readlink(self.path("current")), self.versions()
            env["QEF64_FAULTS_ENOSPC"] = str(limit)
            child = subprocess.run([sys.executable, "-c", BUILD_ON_A_FULL_DISK, self.dir],
                                   env=env, capture_output=True, text=True, check=False)
            self.assertEqual(child.returncode, 0, child.stderr[-2000:])
            self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".")],
                             [".lock"], limit)
            if child.stdout.strip() == "published":
                with qef64.open_sharded(self.dir) as db:
                    self.assertEqual((db[b"k"], len(db)), (b"new", 301))
                return True
            self.assertEqual(child.stdout.strip(), "failed %d" % errno.ENOSPC)
            self.assertEqual(os.readlink(self.path("current")), current, limit)
            self.assertEqual(self.versions(), versions, limit)
            return False

        enough = next(n for n in range(0, 1 << 20, 1500) if build(n))
        self.assertGreater(enough, 3 * 4096)  # three shards come first
        for limit in range(enough - 1500, enough, 100):
            build(limit)

    def test_failing_input_publishes_nothing(self):
        def pairs():
            yield b"k", b"new"
            raise RuntimeError("source failed")

        with self.assertRaises(RuntimeError):
            qef64.build_sharded(self.dir, pairs(), shards=2)
        with self.assertRaises(TypeError):
            qef64.build_sharded(self.dir, [(b"k", b"v"), ("str", b"v")], shards=2)
        self.assertEqual(self.versions(), [self.old_version])
        self.assert_current(b"old")

    def test_second_build_of_the_same_set_waits_for_none(self):
        with qef64.sharded.Publication(self.dir, 2):
            with self.assertRaises(BlockingIOError):
                qef64.build_sharded(self.dir, [(b"k", b"new")], shards=2)
        self.assert_current(b"old")

    def test_damaged_manifest_is_refused(self):
        manifest = os.path.join(self.dir, "current", "manifest.json")
        with open(manifest) as f:
            text = f.read()
        with open(manifest, "w") as f:
            f.write(text.replace("fnv1a64-splitmix64", "another-hash"))
        with self.assertRaises(OSError) as caught:
            qef64.open_sharded(self.dir)
        self.assertEqual(caught.exception.errno, errno.EPROTO)


class Checksums(TempDirTest):
    def shard(self, i):
        return os.path.join(self.dir, "current", "shard-%05d.qef64" % i)

    def test_every_copy_checks_against_the_publication(self):
        version = qef64.build_sharded(self.dir, [(b"k%d" % i, b"v") for i in range(500)],
                                      shards=3)
        check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"],
                               cwd=os.path.join(self.dir, version),
                               capture_output=True, text=True, check=False)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(check.stdout.count(": OK"), 3)
        # A version opened by its own directory reads the same.
        with qef64.open_sharded(os.path.join(self.dir, version)) as db:
            self.assertIsNone(db.verify())
            self.assertEqual((db.version, db.shard_count, len(db)), (version, 3, 500))
            self.assertFalse(db.replaced())
        # One byte changed in a record, the size kept: only the checksum
        # of shard 2 tells.
        with open(self.shard(2), "r+b") as f:
            f.seek(4096 + 16)
            byte = f.read(1)
            f.seek(4096 + 16)
            f.write(bytes([byte[0] ^ 1]))
        with qef64.open_sharded(self.dir) as db:
            with self.assertRaises(OSError) as caught:
                db.verify()
        self.assertEqual(caught.exception.errno, errno.EPROTO)
        self.assertIn("shard 2 of version " + version, str(caught.exception))
        self.assertIn("SHA-256", str(caught.exception))

    def test_sets_built_before_checksums_open_unchanged(self):
        qef64.build_sharded(self.dir, [(b"k%d" % i, b"v%d" % i) for i in range(200)],
                            shards=2)
        # As earlier versions of the package wrote them: no SHA256SUMS,
        # no checksums in the manifest.
        current = os.path.join(self.dir, "current")
        os.unlink(os.path.join(current, "SHA256SUMS"))
        with open(os.path.join(current, "manifest.json")) as f:
            manifest = json.load(f)
        for entry in manifest["shards"]:
            del entry["sha256"]
        with open(os.path.join(current, "manifest.json"), "w") as f:
            json.dump(manifest, f, indent=1)
        with qef64.open_sharded(self.dir) as db:
            self.assertEqual(db[b"k7"], b"v7")
            self.assertIsNone(db.verify())


if __name__ == "__main__":
    unittest.main()
