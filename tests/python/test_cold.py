"""Warming and residency: open()'s keywords reach the library's flags,
what they refuse, and resident() on databases and sharded sets."""

import errno
import os
import pickle
import struct
import subprocess
import sys
import unittest

import qef64
from support import TempDirTest

# Run as nobody with no RLIMIT_MEMLOCK room: locking the tables must fail
# the open, of a database and of a set, with the errno of mlock(2).
LOCK_AS_NOBODY = r"""
import errno, resource, sys
resource.setrlimit(resource.RLIMIT_MEMLOCK, (0, 0))
import qef64
for opener, path in ((qef64.open, sys.argv[1]), (qef64.open_sharded, sys.argv[2])):
    for background in (False, True):
        try:
            opener(path, lock_tables=True, background=background).close()
        except OSError as e:
            if e.errno not in (errno.ENOMEM, errno.EPERM):
                sys.exit("%s: %r" % (opener.__name__, e))
        else:
            sys.exit("%s locked the tables" % opener.__name__)
    opener(path, warm="tables").close()
"""


class Warming(TempDirTest):
    def setUp(self):
        super().setUp()
        self.db_path = self.path("c.db")
        # About 3 MB of records and 1 MB of tables.
        qef64.build(self.db_path, [(b"key%d" % i, b"v" * 90) for i in range(30000)])
        with open(self.db_path, "rb") as f:
            self.size = os.fstat(f.fileno()).st_size
            # The first table's position: where the records end.
            self.tables = 4096 + self.size - struct.unpack("<Q", f.read(8))[0]
        self.set_path = self.path("set")
        qef64.build_sharded(self.set_path, [(b"key%d" % i, b"v") for i in range(3000)],
                            shards=3)

    def evict(self, path):
        # Clean and mapped by nobody, the file's pages all leave the cache.
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)

    def test_warming_makes_the_parts_resident(self):
        self.evict(self.db_path)
        with qef64.open(self.db_path) as db:
            self.assertLess(db.resident().tables, self.tables)
        for warm, lock in (("tables", False), (None, True)):
            self.evict(self.db_path)
            with qef64.open(self.db_path, warm=warm, lock_tables=lock) as db:
                resident = db.resident()
                self.assertIsInstance(resident, qef64.Residency)
                self.assertEqual(resident.tables, self.tables)
                self.assertLess(resident.records, self.size - self.tables)
        self.evict(self.db_path)
        with qef64.open(self.db_path, warm="all") as db:
            self.assertEqual(sum(db.resident()), self.size)

    def test_sharded_set_warms_every_shard(self):
        shards = [os.path.join(self.set_path, "current", n)
                  for n in os.listdir(os.path.join(self.set_path, "current"))
                  if n.endswith(".qef64")]
        for shard in shards:
            self.evict(shard)
        with qef64.open_sharded(self.set_path, warm="all") as db:
            self.assertEqual(sum(db.resident()), sum(map(os.path.getsize, shards)))
        self.assertRaises(ValueError, db.resident)

    def test_keywords_that_mean_nothing_are_refused(self):
        for opener, path in ((qef64.open, self.db_path),
                             (qef64.open_sharded, self.set_path)):
            for kwargs, error in ((dict(warm="everything"), ValueError),
                                  (dict(warm=b"all"), TypeError),
                                  (dict(background=True), ValueError),
                                  (dict(warm="all", background=1), TypeError),
                                  (dict(lock_tables="yes"), TypeError)):
                self.assertRaises(error, opener, path, **kwargs)
        # Positional keywords would be easy to mix up.
        self.assertRaises(TypeError, qef64.open, self.db_path, "all")

    def test_locking_beyond_the_limit_fails_the_open(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to drop the privilege")
        os.chmod(self.dir, 0o755)
        child = subprocess.run(
            [sys.executable, "-c", LOCK_AS_NOBODY, self.db_path, self.set_path],
            user=65534, group=65534, extra_groups=[], capture_output=True,
            text=True, check=False)
        self.assertEqual(child.returncode, 0, child.stderr[-2000:])

    def test_pickle_opens_again_as_opened(self):
        with qef64.open(self.db_path, warm="all", background=True) as db:
            with pickle.loads(pickle.dumps(db)) as again:
                self.assertEqual(again._flags, db._flags)
                self.assertEqual(again[b"key7"], b"v" * 90)


if __name__ == "__main__":
    unittest.main()
