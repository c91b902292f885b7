"""No call of the package crashes the interpreter: every public name called
bare and with wrong arguments, and every method racing close(), abort()
and commit() from another thread. Each group runs in a child interpreter
(this file as a script), under MALLOC_PERTURB_, so that a crash fails the
test instead of ending the run."""

import copy
import gc
import importlib
import inspect
import os
import pickle
import random
import subprocess
import sys
import threading
import time
import unittest

import qef64
import qef64.sharded

KEYS = [b"key%d" % i for i in range(2000)]  # past one chunk, and gil_free
PAIRS = [(k, b"v") for k in KEYS]
BIG = b"x" * (1 << 16)  # added without the GIL
CALLS = 200  # at most, by the racing thread in one round
WRONG = [(None,), (object(),), (-1,), ("str",), (2**70,), (None, None),
         (b"k", "str"), ([None],), ([(None, None)],), (b"k", 0), (None,) * 3,
         (b"",) * 4]


def public_callables(module):
    """The names a user of module may call: those its __all__ exports, and
    its own public classes and functions (exceptions aside)."""
    names = set(getattr(module, "__all__", ()))
    for name in dir(module):
        own = str(getattr(getattr(module, name), "__module__", "")).startswith("qef64")
        if own and not name.startswith("_"):
            names.add(name)
    for name in sorted(names):
        obj = getattr(module, name)
        if callable(obj) and not (inspect.isclass(obj) and issubclass(obj, BaseException)):
            yield "%s.%s" % (module.__name__, name), obj


def call_wrongly(name, fn):
    """Calls fn with every wrong argument list: each raises or returns."""
    for args in WRONG:
        try:
            fn(*args)
        except Exception:  # noqa: BLE001 (any exception is a fine answer)
            pass


def names_case(scratch):
    db_path = os.path.join(scratch, "n.db")
    qef64.build(db_path, PAIRS[:10])
    qef64.build_sharded(os.path.join(scratch, "set"), PAIRS[:10], shards=2)
    modules = [qef64, qef64._qef64, qef64.sharded]
    try:
        modules.append(importlib.import_module("qef64.dask"))
    except ImportError:
        pass
    for module in modules:
        for name, fn in public_callables(module):
            print(name, file=sys.stderr, flush=True)
            try:
                fn()
            except TypeError:
                pass
            else:
                sys.exit("%s() accepted no arguments" % name)
            call_wrongly(name, fn)
    made = {
        "Database": lambda: qef64.open(db_path),
        "closed Database": lambda: closed(qef64.open(db_path)),
        "RecordIterator": lambda: iter(qef64.open(db_path)),
        "keys": lambda: qef64.open(db_path).keys(),
        "values": lambda: qef64.open(db_path).values(),
        "items": lambda: qef64.open(db_path).items(),
        "Builder": lambda: qef64.Builder(os.path.join(scratch, "b.db")),
        "ShardedDatabase": lambda: qef64.open_sharded(os.path.join(scratch, "set")),
        "Publication": lambda: qef64.sharded.Publication(
            os.path.join(scratch, "pub"), 2).__enter__(),
    }
    dunders = {"__getitem__", "__contains__", "__len__", "__iter__", "__next__",
               "__enter__", "__exit__", "__reduce__", "__reduce_ex__", "__repr__",
               "__new__", "__init__"}
    for what, make in made.items():
        for attr in dir(make()):
            if attr.startswith("__") and attr not in dunders:
                continue
            print(what, attr, file=sys.stderr, flush=True)
            obj = make()
            method = getattr(obj, attr)
            if callable(method):
                call_wrongly(attr, method)
                try:
                    method()
                except Exception:  # noqa: BLE001
                    pass
            del obj, method
            gc.collect()
    # Types Python code may not create, and copies that would create them.
    walk = iter(qef64.open(db_path))
    for attempt in (lambda: type(walk)(), lambda: type(walk).__new__(type(walk)),
                    lambda: copy.copy(walk), lambda: pickle.dumps(walk),
                    lambda: memoryview(qef64.open(db_path))):
        try:
            attempt()
        except TypeError:
            continue
        sys.exit("a RecordIterator or a buffer was made")


def closed(db):
    db.close()
    return db


class Race:
    """One method called in a loop by a thread while the main thread ends
    the object. The loop stops by itself: at a ValueError (the object is
    closed or finished), at a RuntimeError (a builder in another thread's
    call), or when the main thread is done."""

    def __init__(self, make, call, finish):
        self.make, self.call, self.finish = make, call, finish

    def round(self, rng):
        obj = self.make()
        done = threading.Event()
        failures = []

        def loop():
            try:
                for _ in range(CALLS):
                    if done.is_set():
                        break
                    self.call(obj)
            except (ValueError, RuntimeError):
                pass
            except BaseException as e:  # noqa: BLE001 (reported below)
                failures.append(e)

        thread = threading.Thread(target=loop)
        thread.start()
        time.sleep(rng.random() / 2000)
        for attempt in range(2):
            try:
                self.finish(obj)
                break
            except RuntimeError:
                # A builder in the other thread's call: once that call is
                # over, the builder serves this thread.
                if attempt == 1:
                    raise
                done.set()
                thread.join()
            except ValueError:  # the other thread finished it
                break
        done.set()
        thread.join()
        if failures:
            raise failures[0]


def race_cases(scratch):
    db_path = os.path.join(scratch, "r.db")
    qef64.build(db_path, PAIRS)
    set_path = os.path.join(scratch, "set")
    qef64.build_sharded(set_path, PAIRS, shards=3)
    run = qef64._qef64.partition(PAIRS, 1)[0]
    views = []  # views of closed databases, read at the end

    def opened():
        return qef64.open(db_path)

    def walked(part):
        return lambda db: list(getattr(db, part)())

    database = {
        "get": lambda db: db.get(b"key1"),
        "getitem": lambda db: db[b"key1"],
        "contains": lambda db: b"key1" in db,
        "get_all": lambda db: db.get_all(bytearray(b"key1")),
        "get_many": lambda db: db.get_many(KEYS),
        "get_many_few": lambda db: db.get_many(KEYS[:9]),
        "view": lambda db: views.append(db.view(b"key1")),
        "len": len, "repr": repr, "replaced": lambda db: db.replaced(),
        "resident": lambda db: db.resident(), "verify": lambda db: db.verify(),
        "iter": list, "keys": walked("keys"), "values": walked("values"),
        "items": walked("items"),
        "in_values": lambda db: b"v" in db.values(),
        "in_items": lambda db: (b"key1", b"v") in db.items(),
        "pickle": lambda db: pickle.loads(pickle.dumps(db)).close(),
        "enter": lambda db: db.__enter__(),
    }
    for name, call in database.items():
        yield "Database." + name, Race(opened, call, lambda db: db.close())
    # The library's warming thread, still reading, when close() comes.
    for warm in ("all", None):
        yield ("Database warming in the background (%s)" % warm,
               Race(lambda warm=warm: qef64.open(db_path, warm=warm, background=True,
                                                 lock_tables=warm is None),
                    database["get_many"], lambda db: db.close()))

    paths = iter(range(1 << 30))

    def builder():
        return qef64.Builder(os.path.join(scratch, "b%d.db" % next(paths)))

    building = {
        "add": lambda b: b.add(b"k", b"v"),
        "add_big": lambda b: b.add(b"k", BIG),
        "add_many": lambda b: b.add_many(PAIRS),
        "add_many_generator": lambda b: b.add_many(p for p in PAIRS),
        "add_packed": lambda b: b.add_packed(run),
        "commit": lambda b: b.commit(),
        "abort": lambda b: b.abort(),
        "enter": lambda b: b.__enter__(),
        "repr": repr,
    }
    for name, call in building.items():
        for end in ("abort", "commit"):
            yield ("Builder.%s against %s" % (name, end),
                   Race(builder, call, lambda b, end=end: getattr(b, end)()))

    sharded = {
        "get": lambda s: s.get(b"key1"), "getitem": lambda s: s[b"key1"],
        "contains": lambda s: b"key1" in s, "get_all": lambda s: s.get_all(b"key1"),
        "get_many": lambda s: s.get_many(KEYS),
        "get_many_few": lambda s: s.get_many(KEYS[:9]),
        "len": len, "repr": repr, "replaced": lambda s: s.replaced(),
        "resident": lambda s: s.resident(), "verify": lambda s: s.verify(),
        "view": lambda s: views.append(s.view(b"key1")), "iter": list, "keys": walked("keys"), "values": walked("values"),
        "items": walked("items"), "shard_count": lambda s: s.shard_count,
    }
    for name, call in sharded.items():
        yield ("ShardedDatabase." + name,
               Race(lambda: qef64.open_sharded(set_path), call, lambda s: s.close()))
    yield ("ShardedDatabase warming in the background",
           Race(lambda: qef64.open_sharded(set_path, warm="all", background=True),
                sharded["get_many"], lambda s: s.close()))

    def quietly(call):
        # A publication without its shards: commit() fails with ENOENT.
        def run(p):
            try:
                call(p)
            except FileNotFoundError:
                pass
        return run

    publishing = {
        "shard_path": lambda p: p.shard_path(0),
        "commit": quietly(lambda p: p.commit()),
        "abort": lambda p: p.abort(),
        "repr": repr,
    }
    pub_path = os.path.join(scratch, "pub")
    for name, call in publishing.items():
        for end in ("abort", "commit"):
            yield ("Publication.%s against %s" % (name, end),
                   Race(lambda: qef64._qef64.Publication(pub_path, 1), call,
                        quietly(lambda p, end=end: getattr(p, end)())))
    # Every view taken while the database was being closed reads its record.
    yield "Database views", Race(lambda: views, lambda v: [bytes(x) for x in v],
                                 lambda v: v.clear())


def races_case(scratch, group):
    # Switch threads often, so that close() comes at every point of a call.
    sys.setswitchinterval(1e-5)
    rng = random.Random(group)
    rounds = int(os.environ.get("QEF64_RACE_ROUNDS", "60"))
    for name, race in race_cases(scratch):
        if not name.startswith(group):
            continue
        print(name, file=sys.stderr, flush=True)
        for _ in range(rounds):
            race.round(rng)


class NoCrash(unittest.TestCase):
    def run_child(self, *case):
        import tempfile
        with tempfile.TemporaryDirectory(prefix="qef64-py-") as scratch:
            # Freed memory is overwritten at once, so that a use after free
            # reads garbage rather than what was there.
            env = dict(os.environ, MALLOC_PERTURB_="165")
            result = subprocess.run(
                [sys.executable, "-X", "dev", os.path.abspath(__file__), scratch] + list(case),
                cwd=scratch, env=env, capture_output=True, text=True, check=False)
        # The last lines name the call that failed.
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])

    def test_every_public_name_called_bare_and_wrongly(self):
        self.run_child("names")

    def test_database_methods_racing_close(self):
        self.run_child("races", "Database")

    def test_builder_methods_racing_abort_and_commit(self):
        self.run_child("races", "Builder")

    def test_sharded_methods_racing_close(self):
        self.run_child("races", "ShardedDatabase")

    def test_publication_methods_racing_abort_and_commit(self):
        self.run_child("races", "Publication")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[2] == "names":
        names_case(sys.argv[1])
    elif len(sys.argv) > 3 and sys.argv[2] == "races":
        races_case(sys.argv[1], sys.argv[3])
    else:
        unittest.main()
