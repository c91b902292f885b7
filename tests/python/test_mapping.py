"""Database as a mapping, checked against a dict of lists."""

import array
import errno
import mmap
import os
import pickle
import struct

import qef64
from support import TempDirTest, build, model_of, random_records, seeded


class MappingAgainstModel(TempDirTest):
    def setUp(self):
        super().setUp()
        rng = seeded(self.id())
        self.records = random_records(rng, 3000)
        self.model = model_of(self.records)
        self.missing = [b"absent", b"\x00" * 9, b"a" * 5]
        self.assertFalse(set(self.missing) & set(self.model))
        # Half by add, half by add_many from a generator.
        half = len(self.records) // 2
        with qef64.Builder(self.path("m.db")) as b:
            for key, value in self.records[:half]:
                b.add(key, value)
            b.add_many(pair for pair in self.records[half:])
        self.db = qef64.open(self.path("m.db"))
        self.addCleanup(self.db.close)

    def test_every_key_gives_its_records_in_order(self):
        db = self.db
        for key, values in self.model.items():
            self.assertEqual(db[key], values[0])
            self.assertEqual(db.get(key), values[0])
            self.assertEqual(db.get_all(key), values)
            self.assertIn(key, db)
            self.assertEqual(bytes(db.view(key)), values[0])

    def test_missing_keys_give_nothing(self):
        db = self.db
        for key in self.missing:
            with self.assertRaises(KeyError) as caught:
                db[key]
            self.assertEqual(caught.exception.args, (key,))
            self.assertIsNone(db.get(key))
            self.assertEqual(db.get(key, b"d"), b"d")
            self.assertEqual(db.get(key, default=7), 7)
            self.assertEqual(db.get_all(key), [])
            self.assertNotIn(key, db)
            self.assertIsNone(db.view(key))

    def test_walks_give_every_record_in_file_order(self):
        db = self.db
        self.assertEqual(len(db), len(self.records))
        self.assertEqual(list(db.items()), self.records)
        self.assertEqual(list(db), [k for k, _ in self.records])
        self.assertEqual(list(db.keys()), [k for k, _ in self.records])
        self.assertEqual(list(db.values()), [v for _, v in self.records])
        self.assertEqual(len(db.items()), len(self.records))
        # A view walks again each time.
        items = db.items()
        self.assertEqual(list(items), list(items))
        key, values = next((k, v) for k, v in self.model.items() if len(v) > 1)
        self.assertIn((key, values[-1]), items)
        self.assertNotIn((key, b"not a value"), items)
        self.assertIn(values[-1], db.values())
        self.assertIn(key, db.keys())
        self.assertEqual(dict(db), {k: v[0] for k, v in self.model.items()})

    def test_get_many_matches_get_key_by_key(self):
        rng = seeded(self.id())
        # Each key several times over: more keys than one chunk holds.
        keys = (list(self.model) + self.missing) * 5
        rng.shuffle(keys)
        expected = [self.model.get(k, [None])[0] for k in keys]
        self.assertGreater(len(keys), 2048)
        # Below and above the count that releases the GIL, and over several
        # of the chunks it looks keys up in.
        for n in (0, 1, 5, len(keys)):
            self.assertEqual(self.db.get_many(keys[:n]), expected[:n])
        self.assertEqual(self.db.get_many(iter(keys)), expected)
        # Buffer keys here and there, in some chunks and not others.
        mixed = [bytearray(k) if i % 7 == 3 else memoryview(k) if 1500 < i < 1600
                 else k for i, k in enumerate(keys)]
        self.assertEqual(self.db.get_many(mixed), expected)


class KeysAndValues(TempDirTest):
    def setUp(self):
        super().setUp()
        self.db = build(self.path("k.db"), [(b"k\xc3\xa9y", b"v"), (b"", b"e")])
        self.addCleanup(self.db.close)

    def test_any_bytes_like_key_is_taken(self):
        key = b"k\xc3\xa9y"
        with mmap.mmap(-1, len(key)) as m:
            m.write(key)
            for k in (bytearray(key), memoryview(key), m, array.array("B", key),
                      memoryview(b"xx" + key)[2:]):
                self.assertEqual(self.db[k], b"v")
                self.assertEqual(self.db.get_many([k, b""]), [b"v", b"e"])

    def test_str_is_refused_with_a_hint_to_encode(self):
        db = self.db
        calls = [lambda: db["key"], lambda: db.get("key"), lambda: db.get_all("key"),
                 lambda: db.view("key"), lambda: "key" in db,
                 lambda: db.get_many([b"", "key"])]
        with qef64.Builder(self.path("s.db")) as b:
            calls += [lambda: b.add("key", b"v"), lambda: b.add(b"k", "value"),
                      lambda: b.add_many([(b"k", "value")])]
            for call in calls:
                with self.assertRaisesRegex(TypeError, r"not str: encode"):
                    call()
        with self.assertRaisesRegex(TypeError, "not 'int'"):
            db.get(5)

    def test_values_are_bytes(self):
        self.assertIs(type(self.db[b""]), bytes)
        self.assertIs(type(self.db.get_all(b"")[0]), bytes)
        self.assertIs(type(self.db.view(b"")), memoryview)
        self.assertTrue(self.db.view(b"").readonly)


class Failures(TempDirTest):
    def test_missing_file(self):
        with self.assertRaises(FileNotFoundError) as caught:
            qef64.open(self.path("none.db"))
        self.assertEqual(caught.exception.filename, self.path("none.db"))
        with self.assertRaises(FileNotFoundError):
            qef64.Builder(self.path("no/such/dir.db"))

    def test_file_shorter_than_its_header(self):
        with open(self.path("short.db"), "wb") as f:
            f.write(b"\0" * 100)
        with self.assertRaises(OSError) as caught:
            qef64.open(self.path("short.db"))
        self.assertEqual(caught.exception.errno, errno.EPROTO)

    def test_file_that_is_no_database(self):
        with open(self.path("text.db"), "wb") as f:
            f.write(b"# a text file, much longer than a header\n" * 200)
        with self.assertRaises(OSError) as caught:
            qef64.open(self.path("text.db"))
        self.assertEqual(caught.exception.errno, errno.EPROTO)

    def test_slot_pointing_outside_the_file(self):
        key = b"red"
        h = 5381
        for byte in key:
            h = ((h * 33) ^ byte) & (2**64 - 1)
        path = self.path("bad.db")
        build(path, [(key, b"#ff0000")]).close()
        with open(path, "r+b") as f:
            f.seek(h % 256 * 16)
            table, slots = struct.unpack("<qq", f.read(16))
            self.assertEqual(slots, 2)
            # The slot that names the record, where the probe starts.
            f.seek(table + 16 * ((h >> 8) % slots) + 8)
            self.assertEqual(struct.unpack("<q", f.read(8)), (4096,))
            f.seek(-8, 1)
            f.write(struct.pack("<q", 1 << 40))
        with qef64.open(path) as db:
            for call in (lambda: db[key], lambda: db.get_all(key),
                         lambda: db.get_many([key] * 100), lambda: db.view(key)):
                with self.assertRaises(OSError) as caught:
                    call()
                self.assertEqual(caught.exception.errno, errno.EPROTO)
            self.assertEqual(list(db.items()), [(key, b"#ff0000")])

    def test_directory(self):
        with self.assertRaises(IsADirectoryError):
            qef64.open(self.dir)

    def test_closed_database_refuses_everything(self):
        db = build(self.path("c.db"), [(b"k", b"v")])
        walk = iter(db.items())
        with db:
            pass
        self.assertTrue(db.closed)
        db.close()  # again
        for call in (lambda: db[b"k"], lambda: db.get(b"k"), lambda: len(db),
                     lambda: db.get_all(b"k"), lambda: db.get_many([b"k"]),
                     lambda: db.view(b"k"), lambda: b"k" in db, lambda: list(db),
                     lambda: db.items(), lambda: next(walk), db.replaced,
                     lambda: pickle.dumps(db)):
            with self.assertRaisesRegex(ValueError, "closed database"):
                call()


class Lifecycle(TempDirTest):
    def test_replaced_after_a_rebuild_keeps_the_old_file(self):
        path = self.path("r.db")
        old = build(path, [(b"k", b"old")])
        self.assertFalse(old.replaced())
        qef64.build(path, [(b"k", b"new")])
        self.assertTrue(old.replaced())
        self.assertEqual(old[b"k"], b"old")
        with qef64.open(path) as new:
            self.assertEqual(new[b"k"], b"new")
        old.close()

    def test_pickled_database_opens_the_path_again(self):
        path = self.path("p.db")
        with build(path, [(b"k", b"v")]) as db:
            copy = pickle.loads(pickle.dumps(db))
        self.assertEqual(copy[b"k"], b"v")
        copy.close()
        self.assertEqual(qef64.open(os.fsencode(path))[b"k"], b"v")
