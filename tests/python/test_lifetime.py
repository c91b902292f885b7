"""Views outliving close, threads, fork, and what many cycles leave behind."""

import gc
import os
import sys
import threading

import qef64
from support import TempDirTest, build, mapped


def records(n):
    return [(b"key%d" % i, b"value%d" % i) for i in range(n)]


class Views(TempDirTest):
    def test_view_outlives_close_and_unmaps_with_the_last_one(self):
        path = self.path("v.db")
        db = build(path, records(10))
        view = db.view(b"key3")
        tail = view[2:]
        db.close()
        del db
        gc.collect()
        self.assertEqual(bytes(view), b"value3")
        self.assertEqual(mapped(path), 1)
        view.release()
        self.assertEqual(bytes(tail), b"lue3")
        self.assertEqual(mapped(path), 1)
        del tail
        self.assertEqual(mapped(path), 0)

    def test_close_without_views_unmaps_at_once(self):
        path = self.path("u.db")
        db = build(path, records(10))
        db.view(b"key1")  # released at once
        self.assertEqual(mapped(path), 1)
        db.close()
        self.assertEqual(mapped(path), 0)


class Threads(TempDirTest):
    def test_threads_share_one_database(self):
        db = build(self.path("t.db"), records(20000))
        self.addCleanup(db.close)
        keys = [b"key%d" % i for i in range(0, 20000, 7)] + [b"none"]
        expected = [b"value%d" % i for i in range(0, 20000, 7)] + [None]
        failures = []

        def work(seed):
            try:
                for _ in range(20):
                    if db.get_many(keys) != expected:
                        failures.append("get_many")
                    k = keys[seed * 31 % len(keys)]
                    if db.get(k) != expected[keys.index(k)]:
                        failures.append("get")
            except Exception as e:  # noqa: BLE001 (reported below)
                failures.append(repr(e))

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])

    def test_close_during_get_many_in_other_threads(self):
        path = self.path("c.db")
        db = build(path, records(50000))
        keys = [b"key%d" % i for i in range(50000)]
        expected = [b"value%d" % i for i in range(50000)]
        outcomes = []
        started = threading.Barrier(4)

        def work():
            started.wait()
            try:
                while True:
                    if db.get_many(keys) != expected:
                        outcomes.append("wrong")
            except ValueError:
                outcomes.append("closed")

        threads = [threading.Thread(target=work) for _ in range(3)]
        for t in threads:
            t.start()
        started.wait()
        db.get_many(keys)  # let the others get into theirs
        db.close()
        for t in threads:
            t.join()
        self.assertEqual(outcomes, ["closed"] * 3)
        self.assertEqual(mapped(path), 0)


class Fork(TempDirTest):
    def child(self, body):
        """Runs body in a child process: its result is the exit status."""
        pid = os.fork()
        if pid == 0:
            status = 3
            try:
                status = body()
            finally:
                os._exit(status)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status)

    def test_database_keeps_working_in_the_child(self):
        db = build(self.path("f.db"), records(1000))
        self.addCleanup(db.close)

        def body():
            ok = db[b"key7"] == b"value7" and db.get_many([b"key9"]) == [b"value9"]
            ok = ok and len(list(db.items())) == 1000
            db.close()
            return 0 if ok else 1

        self.assertEqual(self.child(body), 0)
        self.assertEqual(db[b"key7"], b"value7")

    def test_builder_refuses_in_the_child_and_leaves_the_build_alone(self):
        path = self.path("b.db")
        b = qef64.Builder(path)
        b.add(b"parent", b"1")

        def body():
            refused = 0
            for call in (lambda: b.add(b"child", b"2"),
                         lambda: b.add_many([(b"child", b"3")]), b.commit):
                try:
                    call()
                except OSError as e:
                    refused += e.errno == 16  # EBUSY
            b.abort()  # frees the child's copy only
            return 0 if refused == 3 else 1

        def entered():
            with b:  # refused by the commit at its end
                pass
            return 4

        self.assertEqual(self.child(body), 0)
        self.assertEqual(self.child(entered), 3)
        # The parent's build goes on as if no child had touched it.
        b.add(b"parent", b"3")
        b.commit()
        with qef64.open(path) as db:
            self.assertEqual(list(db.items()), [(b"parent", b"1"), (b"parent", b"3")])
        self.assertEqual(self.leftovers(), [])


class Cycles(TempDirTest):
    def test_open_and_build_cycles_leave_nothing_behind(self):
        path = self.path("l.db")
        build(path, records(100)).close()
        key, default = b"key5", object()
        missing = b"missing"
        fds = len(os.listdir("/proc/self/fd"))
        refs = [sys.getrefcount(o) for o in (key, default, missing)]
        for _ in range(300):
            db = qef64.open(path)
            db.get(key, default)
            db.get(missing, default)
            db.get_many([key, missing] * 40)
            db.get_all(key)
            view = db.view(key)
            db.close()
            try:
                db[missing]
            except ValueError:
                pass
            del view
        for i in range(100):
            with qef64.Builder(path) as b:
                b.add(key, b"v")
                b.add_many([(key, missing)])
            if i % 10 == 0:
                try:
                    qef64.build(path, [(key, "str")])
                except TypeError:
                    pass
        gc.collect()
        self.assertEqual(len(os.listdir("/proc/self/fd")), fds)
        self.assertEqual(mapped(path), 0)
        self.assertEqual([sys.getrefcount(o) for o in (key, default, missing)], refs)
        self.assertEqual(self.leftovers(), [])
