"""qef64.dask.build on a local Dask cluster of two worker processes,
against one database built by qef64make from the same records."""

import os
import signal
import subprocess
import unittest
from unittest import mock

import qef64
from support import TempDirTest, framing, model_of, random_records, seeded, tool

try:
    import dask.bag
    import distributed

    import qef64.dask
except ImportError:  # pragma: no cover - depends on the machine
    dask = distributed = None


@unittest.skipIf(distributed is None,
                 "python3-dask and python3-distributed are not installed "
                 "(tests/python/deps.sh installs them as root)")
class DaskBuild(TempDirTest):
    @classmethod
    def setUpClass(cls):
        cls.cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True,
            dashboard_address=None, silence_logs=50)
        cls.client = distributed.Client(cls.cluster)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()

    def test_shards_hold_every_key_in_partition_order(self):
        rng = seeded(self.id())
        partitions = [random_records(rng, 700) for _ in range(4)]
        records = [r for part in partitions for r in part]
        bag = dask.bag.from_delayed([dask.delayed(p) for p in partitions])
        path = self.path("set")
        version = qef64.dask.build(bag, path, shards=3, memory=1 << 14)

        # One database of all records in partition order, by the program.
        one = self.path("one.db")
        made = subprocess.run([tool("qef64make"), one, one + ".tmp"],
                              input=framing(records), capture_output=True)
        self.assertEqual(made.returncode, 0, made.stderr)
        model = model_of(records)
        with qef64.open_sharded(path) as db, qef64.open(one) as single:
            self.assertEqual(db.version, version)
            self.assertEqual(len(db), len(single))
            for key in model:
                self.assertEqual(db.get_all(key), single.get_all(key))
            keys = list(model) + [b"absent"]
            self.assertEqual(db.get_many(keys), single.get_many(keys))

    def test_failed_task_publishes_nothing(self):
        path = self.path("set")
        qef64.build_sharded(path, [(b"k", b"old")], shards=2)
        current = os.readlink(os.path.join(path, "current"))
        # A str key fails its routing task, and with it the build.
        bag = dask.bag.from_sequence([(b"k", b"new"), ("str", b"v")], npartitions=2)
        with self.assertRaises(TypeError):
            qef64.dask.build(bag, path, shards=2)
        self.assertEqual(os.readlink(os.path.join(path, "current")), current)
        self.assertEqual(sorted(n for n in os.listdir(path) if n.startswith("v-")),
                         [current])
        with qef64.open_sharded(path) as db:
            self.assertEqual(db[b"k"], b"old")

    def test_lost_worker_publishes_nothing(self):
        path = self.path("set")
        qef64.build_sharded(path, [(b"k", b"old")], shards=2)
        current = os.readlink(os.path.join(path, "current"))
        # The worker making partition 1 dies in it, once; Dask would start
        # the partition again on a fresh worker.
        bag = dask.bag.from_sequence([0, 1, 2], npartitions=3).map_partitions(
            _die_once, self.path("died"))
        with self.assertRaises(qef64.dask.LostWorker):
            qef64.dask.build(bag, path, shards=2)
        self.assertTrue(os.path.exists(self.path("died")))
        self.assertEqual(os.readlink(os.path.join(path, "current")), current)
        with qef64.open_sharded(path) as db:
            self.assertEqual(db[b"k"], b"old")


@unittest.skipIf(dask is None, "python3-dask is not installed")
class Pieces(TempDirTest):
    def test_piece_read_in_small_reads_adds_every_record(self):
        pairs = random_records(seeded(self.id()), 300)
        piece = self.path("piece")
        with open(piece, "wb") as f:
            f.write(qef64._qef64.partition(pairs, 1)[0])
        with mock.patch.object(qef64.dask, "_PIECE_READ", 7):
            with qef64.Builder(self.path("p.db")) as b:
                self.assertEqual(qef64.dask._add_piece(b, piece), len(pairs))
            with open(piece, "ab") as f:
                f.write(b"\x09" + b"\0" * 15 + b"cut")
            with qef64.Builder(self.path("q.db")) as b, self.assertRaises(ValueError):
                qef64.dask._add_piece(b, piece)
        with qef64.open(self.path("p.db")) as db:
            self.assertEqual(list(db.items()), pairs)


def _die_once(items, marker):
    for i in items:
        if i == 1 and not os.path.exists(marker):
            open(marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        yield b"%d" % i, b"new"


if __name__ == "__main__":
    unittest.main()
