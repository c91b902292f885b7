"""Sharded sets: the shard hash, reading, and publication that either
completes or leaves the current version as it was."""

import errno
import os
import unittest
from unittest import mock

import qef64
import qef64.sharded
from support import TempDirTest, model_of, random_records, seeded


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
            self.assertIn('"shard_count": 5', f.read())
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

    def test_failure_at_each_step_publishes_all_or_nothing(self):  # noqa: C901
        """Every file system call of a build fails once, in turn: before the
        current link is replaced the old version stays current and no trace
        of the new one remains; after it the new one is current."""
        calls = ("mkdir", "open", "fsync", "rename", "symlink")

        def run(path, fail_at):
            count = [0]
            real = {name: getattr(os, name) for name in calls}

            def failing(name):
                def call(*args, **kwargs):
                    count[0] += 1
                    if count[0] == fail_at:
                        raise OSError(5, "injected at call %d (%s)" % (fail_at, name))
                    return real[name](*args, **kwargs)
                return call

            with mock.patch.multiple(os, **{n: failing(n) for n in calls}):
                try:
                    qef64.build_sharded(path, [(b"k", b"new")], shards=3)
                    return None, count[0]
                except OSError as e:
                    return e, count[0]

        # The calls of a build over an existing version, counted elsewhere.
        counted = self.path("counted")
        qef64.build_sharded(counted, [(b"k", b"old")], shards=2)
        steps = run(counted, 0)[1]
        self.assertGreaterEqual(steps, 8)
        for fail_at in range(1, steps + 1):
            before = os.readlink(os.path.join(self.dir, "current"))
            versions = self.versions()
            # A failure that a call absorbs (mkdir of the set's existing
            # directory) lets the build publish.
            error, _ = run(self.dir, fail_at)
            after = os.readlink(os.path.join(self.dir, "current"))
            if after == before:
                self.assertIsNotNone(error, fail_at)
                # Nothing published, nothing of the new version left.
                self.assert_current(b"old" if before == self.old_version else b"new")
                self.assertEqual(self.versions(), versions, fail_at)
            else:
                self.assert_current(b"new")
        self.assertEqual([n for n in os.listdir(self.dir) if ".tmp" in n], [])

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

    def test_failed_version_directory_releases_the_lock(self):
        real_mkdir = os.mkdir

        def mkdir(path, *args, **kwargs):
            if os.path.basename(path).startswith("v-"):
                raise OSError(errno.ENOSPC, "injected")
            return real_mkdir(path, *args, **kwargs)

        fds = len(os.listdir("/proc/self/fd"))
        with mock.patch.object(os, "mkdir", mkdir):
            with self.assertRaises(OSError):
                qef64.build_sharded(self.dir, [(b"k", b"new")], shards=2)
        self.assertEqual(len(os.listdir("/proc/self/fd")), fds)
        # Neither a held lock nor a lost descriptor stops the next build.
        qef64.build_sharded(self.dir, [(b"k", b"new")], shards=2)
        self.assert_current(b"new")

    def test_damaged_manifest_is_refused(self):
        manifest = os.path.join(self.dir, "current", "manifest.json")
        with open(manifest) as f:
            text = f.read()
        with open(manifest, "w") as f:
            f.write(text.replace("fnv1a64-splitmix64", "another-hash"))
        with self.assertRaises(OSError) as caught:
            qef64.open_sharded(self.dir)
        self.assertEqual(caught.exception.errno, qef64.sharded.errno.EPROTO)


if __name__ == "__main__":
    unittest.main()
