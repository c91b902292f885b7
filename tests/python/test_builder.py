"""Builder: commit, abort, and what an interrupted build leaves behind."""

import os

import qef64
from qef64 import _qef64
from support import TempDirTest, build


class Interrupted(TempDirTest):
    def setUp(self):
        super().setUp()
        self.target = self.path("t.db")
        build(self.target, [(b"k", b"old")]).close()
        with open(self.target, "rb") as f:
            self.before = f.read()

    def assert_untouched(self):
        with open(self.target, "rb") as f:
            self.assertEqual(f.read(), self.before)
        self.assertEqual(self.leftovers(), [])

    def test_exception_in_with_aborts_and_goes_on(self):
        error = RuntimeError("stop")
        with self.assertRaises(RuntimeError) as caught:
            with qef64.Builder(self.target) as b:
                b.add(b"k", b"new")
                raise error
        self.assertIs(caught.exception, error)
        self.assert_untouched()

    def test_failing_pairs_abort_build(self):
        def pairs():
            for i in range(5000):  # past one chunk of add_many
                yield b"%d" % i, b"v"
            raise KeyError("source failed")

        with self.assertRaises(KeyError):
            qef64.build(self.target, pairs())
        with self.assertRaises(TypeError):
            qef64.build(self.target, [(b"k", b"v"), (b"k",)])
        with self.assertRaises(TypeError):
            qef64.build(self.target, [(b"k", b"v"), b"kv"])
        self.assert_untouched()

    def test_explicit_abort(self):
        b = qef64.Builder(self.target)
        b.add(b"k", b"new")
        b.abort()
        b.abort()  # again: nothing to do
        self.assert_untouched()

    def test_dropped_builder_is_aborted(self):
        b = qef64.Builder(self.target)
        b.add(b"k", b"new")
        del b
        self.assert_untouched()


class Spent(TempDirTest):
    def test_finished_builder_refuses_further_use(self):
        for finish, word in ((qef64.Builder.commit, "committed"),
                             (qef64.Builder.abort, "aborted")):
            b = qef64.Builder(self.path("s.db"))
            finish(b)
            for call in (lambda: b.add(b"k", b"v"), lambda: b.add_many([]),
                         b.commit, b.__enter__):
                with self.assertRaisesRegex(ValueError, "already " + word):
                    call()
            b.abort()  # a no-op

    def test_commit_inside_with_is_enough(self):
        with qef64.Builder(self.path("c.db")) as b:
            b.add(b"k", b"v")
            b.commit()
        with qef64.open(self.path("c.db")) as db:
            self.assertEqual(db[b"k"], b"v")

    def test_pairs_that_commit_the_builder_stop_add_many(self):
        b = qef64.Builder(self.path("g.db"))

        def pairs():
            yield b"k", b"v"
            b.commit()

        with self.assertRaisesRegex(ValueError, "already committed"):
            b.add_many(pairs())

    def test_large_records_and_many_records(self):
        big = os.urandom(1 << 20)
        pairs = [(b"%d" % i, b"x" * (i % 7)) for i in range(20000)]
        with qef64.Builder(self.path("big.db")) as b:
            b.add(b"big", big)
            b.add_many(pairs)
        with qef64.open(self.path("big.db")) as db:
            self.assertEqual(db[b"big"], big)
            self.assertEqual(len(db), 20001)
            self.assertEqual(db.get_many([k for k, _ in pairs]), [v for _, v in pairs])


class Packed(TempDirTest):
    def test_add_packed_adds_whole_records_and_leaves_a_cut_one(self):
        pairs = [(b"k%d" % i, b"v" * i) for i in range(50)]
        run = _qef64.partition(pairs, 1)[0]
        # In pieces of 37 bytes, each record is added once it is whole.
        added, held = 0, b""
        with qef64.Builder(self.path("p.db")) as b:
            for cut in range(0, len(run), 37):
                held += run[cut:cut + 37]
                records, used = b.add_packed(held)
                added += records
                held = held[used:]
            self.assertEqual(b.add_packed(b"\x05" + b"\0" * 15 + b"abcd"), (0, 0))
        self.assertEqual((added, held), (len(pairs), b""))
        with qef64.open(self.path("p.db")) as db:
            self.assertEqual(list(db.items()), pairs)
