"""The Python package against a dict, py-lmdb and sqlite3, in one process.

    python3 bench/python_bench.py SCRATCH PROFILE=DB ...   (bench/run.sh)

For each profile, the records of the database DB (built by qef64make from
the profile's record text) are read into a list of (key, value) pairs, and
then, all in this one interpreter:

  a  db.get(key) in a Python loop            e  sqlite3 SELECT by primary key
  b  db.get_many(keys), one call             f  qef64.build(path, pairs)
  c  dict.get(key) in a loop                 g  py-lmdb txn.put, one transaction
  d  py-lmdb txn.get(key), one transaction   h  sqlite3 executemany, one transaction

Lookups take the same random sample of the keys (every key present), in the
same random order, as new bytes objects made in that order, as keys read
from a file or a socket would be. Builds take every pair, and each one ends
durable (fsync, or the commit of LMDB and SQLite); f is also timed in its
two parts. Two floors show where a loop's time goes: the bare loop, and the
loop calling the cheapest C function there is (len). Every figure is the
median of BENCH_PY_RUNS runs (default 3, 1 for the builds of 10 million
records), with min and max.

Standard output: a Markdown section for bench/results.md. py-lmdb (Debian
python3-lmdb) rows are left out when it is not installed.

With BENCH_PY_BASELINE naming the extension module of another build (its
qef64/_qef64*.so), rows a and b are also timed with that module, loaded
beside this one, as a0 and b0: each run of a row is followed by a run of
its baseline row (the order swapped every other time), so that both see
the same machine.
"""

import gc
import importlib.util
import os
import random
import shutil
import sqlite3
import statistics
import sys
import time

import qef64

try:
    import lmdb
except ImportError:
    lmdb = None

LOOKUPS = int(os.environ.get("BENCH_PY_LOOKUPS", "1000000"))
SQL_LOOKUPS = int(os.environ.get("BENCH_PY_SQL_LOOKUPS", "200000"))
BASELINE = os.environ.get("BENCH_PY_BASELINE")


def say(*words):
    print("python bench:", *words, file=sys.stderr, flush=True)


def runs_for(n_records, build):
    default = "1" if build and n_records > 2_000_000 else "3"
    return int(os.environ.get("BENCH_PY_RUNS", default))


def timed(runs, work, setup=None):
    """(median, min, max) seconds of work() over runs runs."""
    times = []
    for _ in range(runs):
        if setup:
            setup()
        gc.collect()
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times), max(times)


def timed_together(runs, works):
    """(median, min, max) seconds of each of works, run in turn, the order
    reversed every other run."""
    times = [[] for _ in works]
    for run in range(runs):
        order = list(zip(times, works))
        for spent, work in order if run % 2 == 0 else reversed(order):
            gc.collect()
            start = time.perf_counter()
            work()
            spent.append(time.perf_counter() - start)
    return [(statistics.median(t), min(t), max(t)) for t in times]


def baseline_module(path):
    """The extension module at path, another build's qef64._qef64."""
    # Named _qef64, so that its init function, PyInit__qef64, is found.
    spec = importlib.util.spec_from_file_location("_qef64", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def per_key(t, n):
    return tuple(x / n for x in t)


def fresh(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def lookups(db_path, pairs, keys, scratch, results):
    n = len(keys)
    db = qef64.open(db_path)
    get = db.get

    def loop_pass():
        for k in keys:
            pass

    def loop_len():
        f = len
        for k in keys:
            f(k)

    def a():
        for k in keys:
            get(k)

    def b():
        db.get_many(keys)

    results["floor_loop"] = per_key(timed(3, loop_pass), n)
    results["floor_len"] = per_key(timed(3, loop_len), n)
    if BASELINE:
        old = baseline_module(BASELINE).Database(db_path)
        old_get = old.get

        def a0():
            for k in keys:
                old_get(k)

        def b0():
            old.get_many(keys)

        for row, works in (("a", (a, a0)), ("b", (b, b0))):
            for name, t in zip((row, row + "0"), timed_together(5, works)):
                results[name] = per_key(t, n)
        old.close()
    else:
        results["a"] = per_key(timed(3, a), n)
        results["b"] = per_key(timed(3, b), n)

    def b1000():
        many = db.get_many
        for i in range(0, n, 1000):
            many(keys[i:i + 1000])

    results["b1000"] = per_key(timed(3, b1000), n)
    assert db.get_many(keys[:1000]) == [get(k) for k in keys[:1000]]
    db.close()

    d = dict(pairs)
    dget = d.get

    def c():
        for k in keys:
            dget(k)

    results["c"] = per_key(timed(3, c), n)
    del d, dget

    env_dir = os.path.join(scratch, "lmdb")
    if lmdb is not None and os.path.isdir(env_dir):
        env = lmdb.open(env_dir, map_size=1 << 36, readonly=True, lock=False)

        def d_():
            with env.begin(buffers=False) as txn:
                tget = txn.get
                for k in keys:
                    tget(k)

        results["d"] = per_key(timed(3, d_), n)
        env.close()

    sql_path = os.path.join(scratch, "sqlite.db")
    if os.path.exists(sql_path):
        some = keys[:SQL_LOOKUPS]
        con = sqlite3.connect(sql_path)

        def e():
            cur = con.cursor()
            cur.execute("BEGIN")
            for k in some:
                cur.execute("SELECT v FROM kv WHERE k = ?", (k,))
                cur.fetchone()
            cur.execute("COMMIT")

        results["e"] = per_key(timed(3, e), len(some))
        con.close()


def builds(pairs, scratch, results):
    runs = runs_for(len(pairs), True)
    path = os.path.join(scratch, "built.db")
    results["f"] = timed(runs, lambda: qef64.build(path, pairs), lambda: fresh(path))
    fresh(path)
    builder = qef64.Builder(path)
    results["f_add"] = timed(1, lambda: builder.add_many(pairs))
    results["f_commit"] = timed(1, builder.commit)

    if lmdb is not None:
        env_dir = os.path.join(scratch, "lmdb")

        def g():
            env = lmdb.open(env_dir, map_size=1 << 36)
            with env.begin(write=True) as txn:
                put = txn.put
                for k, v in pairs:
                    put(k, v)
            env.close()

        results["g"] = timed(runs, g, lambda: fresh(env_dir))

    sql_path = os.path.join(scratch, "sqlite.db")

    def h():
        con = sqlite3.connect(sql_path)
        con.execute("CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID")
        with con:
            con.executemany("INSERT INTO kv VALUES (?, ?)", pairs)
        con.close()

    results["h"] = timed(runs, h, lambda: fresh(sql_path))


def fmt_ns(t):
    return "%.0f (%.0f-%.0f)" % tuple(x * 1e9 for x in t)


def fmt_s(t):
    return "%.3g (%.3g-%.3g)" % t


def report(all_results):
    print("## Python")
    print()
    print("%s, %s, %d cores." % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                                  " ".join(os.uname()[i] for i in (0, 2, 4)),
                                  os.cpu_count()))
    print("`bench/python_bench.py`: every row in one run of one interpreter (%s %s)."
          % (sys.implementation.name, sys.version.split()[0]))
    print("Lookups: %d keys of the file drawn at random, every one present, in"
          % LOOKUPS)
    print("one random order, as bytes objects made in that order (SQLite: the")
    print("first %d of them), nanoseconds per key." % SQL_LOOKUPS)
    print("Builds: every record, seconds, each ending durable. Median (min-max).")
    print("py-lmdb %s, SQLite %s." % (lmdb.__version__ if lmdb else "not installed",
                                       sqlite3.sqlite_version))
    print()
    names = [
        ("floor_loop", "`for k in keys: pass`", fmt_ns),
        ("floor_len", "`len(k)` in that loop (a call of C)", fmt_ns),
        ("a", "a `db.get(k)` in that loop", fmt_ns),
        ("b", "b `db.get_many(keys)`, one call", fmt_ns),
        ("a0", "a0 a with `BENCH_PY_BASELINE`'s module", fmt_ns),
        ("b0", "b0 b with `BENCH_PY_BASELINE`'s module", fmt_ns),
        ("b1000", "`db.get_many`, 1000 keys a call", fmt_ns),
        ("c", "c `dict.get(k)`", fmt_ns),
        ("d", "d py-lmdb `txn.get(k)`", fmt_ns),
        ("e", "e sqlite3 `SELECT` by primary key", fmt_ns),
        ("f", "f `qef64.build(path, pairs)`", fmt_s),
        ("f_add", "its `add_many`, once", fmt_s),
        ("f_commit", "its `commit` (tables, fsync, rename), once", fmt_s),
        ("g", "g py-lmdb `txn.put`, one transaction", fmt_s),
        ("h", "h sqlite3 `executemany`, one transaction", fmt_s),
    ]
    profiles = list(all_results)
    print("| row | " + " | ".join(profiles) + " |")
    print("|---|" + "---|" * len(profiles))
    for key, label, fmt in names:
        cells = [fmt(all_results[p][key]) if key in all_results[p] else "-"
                 for p in profiles]
        print("| %s | %s |" % (label, " | ".join(cells)))
    print()
    targets = [
        ("a", "d", 0.5, "a against d", None),
        ("a", "e", 0.1, "a against e", None),
        ("a", "c", 2.0, "a against c", None),
        ("b", "a", 0.2, "b against a", "tiny10m"),
        ("a", "a0", 1.05, "a against a0", None),
        ("b", "b0", 1.05, "b against b0", None),
        ("f", "g", 0.2, "f against g", None),
        ("f", "h", 0.05, "f against h", None),
    ]
    print("Ratio = time of the first / time of the second; lower is better.")
    print()
    print("| profile | ratio | value | target | met |")
    print("|---|---|---|---|---|")
    for p in profiles:
        r = all_results[p]
        for x, y, target, label, only in targets:
            if only and p != only or x not in r or y not in r:
                continue
            value = r[x][0] / r[y][0]
            print("| %s | %s | %.3f | <= %g | %s |"
                  % (p, label, value, target, "yes" if value <= target else "NO"))


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    scratch = sys.argv[1]
    os.makedirs(scratch, exist_ok=True)
    all_results = {}
    for arg in sys.argv[2:]:
        profile, db_path = arg.split("=", 1)
        say(profile + ": reading the records of", db_path)
        with qef64.open(db_path) as db:
            pairs = list(db.items())
        rng = random.Random(1)
        sample = rng.sample(pairs, min(LOOKUPS, len(pairs)))
        # New objects, laid out in the order of the lookups.
        keys = [bytes(memoryview(k)) for k, _ in sample]
        del sample
        results = {}
        say(profile + ": builds (f, g, h), %d records" % len(pairs))
        builds(pairs, scratch, results)
        say(profile + ": lookups (a to e)")
        lookups(db_path, pairs, keys, scratch, results)
        for name in ("built.db", "lmdb", "sqlite.db"):
            fresh(os.path.join(scratch, name))
        all_results[profile] = results
        del pairs, keys
    report(all_results)


if __name__ == "__main__":
    main()
