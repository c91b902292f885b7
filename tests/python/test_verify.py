"""What the library finds in a file: damage by verify(), a file that is
not a database at open, and a file written in place by replaced()."""

import errno
import shutil
import struct

import qef64
from support import TempDirTest, build, random_records, seeded


def key_hash(key):
    h = 5381
    for byte in key:
        h = ((h * 33) ^ byte) & (2**64 - 1)
    return h


class Verify(TempDirTest):
    def test_a_sound_file_verifies(self):
        records = random_records(seeded(self.id()), 2000)
        with build(self.path("sound.db"), records) as db:
            self.assertIsNone(db.verify())

    def test_damage_is_named_with_its_offset(self):
        key = b"red"
        path = self.path("bad.db")
        build(path, [(key, b"#ff0000"), (b"blue", b"#0000ff")]).close()
        h = key_hash(key)
        with open(path, "r+b") as f:
            f.seek(h % 256 * 16)
            table, slots = struct.unpack("<qq", f.read(16))
            # The slot that names the record: another hash in it.
            slot = table + 16 * ((h >> 8) % slots)
            f.seek(slot)
            self.assertEqual(struct.unpack("<Q", f.read(8)), (h,))
            f.seek(slot)
            f.write(struct.pack("<Q", h ^ (1 << 40)))
        with qef64.open(path) as db:
            self.assertEqual(db[b"blue"], b"#0000ff")  # the rest still reads
            with self.assertRaises(OSError) as caught:
                db.verify()
        e = caught.exception
        self.assertEqual((e.errno, e.filename), (errno.EPROTO, path))
        self.assertIn("not a database, or a damaged one", e.strerror)
        self.assertIn("offset %d" % slot, e.strerror)

    def test_a_file_that_is_no_database_names_it(self):
        path = self.path("services")
        with open(path, "wb") as f:
            f.write(b"http            80/tcp   www   # WorldWideWeb HTTP\n" * 100)
        with self.assertRaises(OSError) as caught:
            qef64.open(path)
        self.assertEqual(caught.exception.errno, errno.EPROTO)
        self.assertEqual(caught.exception.strerror, "not a database, or a damaged one")


class Replaced(TempDirTest):
    def test_a_file_written_in_place_is_replaced(self):
        path, other = self.path("live.db"), self.path("other.db")
        db = build(path, [(b"k", b"old")])
        build(other, [(b"k", b"new, and longer")]).close()
        self.assertFalse(db.replaced())
        # As cp does: the same inode, truncated and written again. Nothing
        # is read through db afterwards: its bytes are the new file's now.
        shutil.copyfile(other, path)
        self.assertTrue(db.replaced())
        db.close()
        # By rename, as every builder does, the reader keeps its file.
        db = qef64.open(path)
        qef64.build(path, [(b"k", b"newest")])
        self.assertTrue(db.replaced())
        self.assertEqual(db[b"k"], b"new, and longer")
        db.close()
