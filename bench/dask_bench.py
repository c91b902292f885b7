"""Sharded sets: a Dask build against one process and one qef64make.

    python3 bench/dask_bench.py SCRATCH RECORDS QEF64MAKE   (bench/run.sh)

RECORDS is record text with one record per line (qef64gen's profiles).
It is cut into BENCH_DASK_PARTITIONS (16) consecutive parts, each made an
ordinary database, which are the input in that order. Then, in one run:

  make     qef64make of all records, the single database to compare with
  local    qef64.build_sharded in this process, BENCH_DASK_SHARDS (32) shards
  dask     qef64.dask.build on a LocalCluster of BENCH_DASK_WORKERS (2)
           worker processes of one thread, the same shards
  empty    the same graph of tasks doing nothing: Dask's own cost per task

then checks that the Dask set holds, for every key of the single database,
what that database holds (the profiles' keys are distinct, so the first
record and the count settle every key's records), and times get_many over
BENCH_DASK_LOOKUPS (1,000,000) random present keys, in batches of 1000, on
the sharded set and on the single database. Memory: each worker's peak RSS
after the build, against its RSS when idle (Dask's own footprint) and the
builder's budget. Standard output: a Markdown section for bench/results.md.
"""

import gc
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

import dask.bag
import distributed

import qef64
import qef64.dask

PARTITIONS = int(os.environ.get("BENCH_DASK_PARTITIONS", "16"))
SHARDS = int(os.environ.get("BENCH_DASK_SHARDS", "32"))
WORKERS = int(os.environ.get("BENCH_DASK_WORKERS", "2"))
LOOKUPS = int(os.environ.get("BENCH_DASK_LOOKUPS", "1000000"))
MEMORY = 64 << 20


def say(*words):
    print("dask bench:", *words, file=sys.stderr, flush=True)


def read_pairs(paths):
    """The records of the databases at paths, in file order: a partition of
    the input, read in the worker as it is consumed."""
    for path in paths:
        with qef64.open(path) as db:
            yield from db.items()


def split(records, scratch, make):
    """The parts of the record text as databases, in input order."""
    with open(records, "rb") as f:
        lines = [line for line in f if line != b"\n"]
    per = -(-len(lines) // PARTITIONS)
    parts = []
    for i in range(PARTITIONS):
        path = os.path.join(scratch, "part-%02d.db" % i)
        text = b"".join(lines[i * per:(i + 1) * per]) + b"\n"
        subprocess.run([make, path, path + ".tmp"], input=text, check=True)
        parts.append(path)
    return parts, len(lines)


def timed(work):
    gc.collect()
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def peak_rss_kib():
    # VmHWM, not getrusage's ru_maxrss: Linux carries ru_maxrss across
    # exec, so a worker would report the peak of the process that spawned
    # it.
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def current_rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def empty_graph(n_parts, shards):
    """The graph of qef64.dask.build with tasks that do nothing."""
    routed = [dask.delayed(lambda i: i, pure=False)(i) for i in range(n_parts)]
    built = [dask.delayed(lambda s, r: s, pure=False)(s, routed) for s in range(shards)]
    return built


def lookup_time(db, keys):
    def work():
        found = 0
        for at in range(0, len(keys), 1000):
            found += sum(v is not None for v in db.get_many(keys[at:at + 1000]))
        return found
    seconds, found = timed(work)
    assert found == len(keys), (found, len(keys))
    return seconds / len(keys) * 1e9


def main():
    scratch, records, make = sys.argv[1:4]
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    say("cutting %s into %d parts" % (records, PARTITIONS))
    parts, n = split(records, scratch, make)

    one = os.path.join(scratch, "one.db")
    with open(records, "rb") as f:
        t_make, _ = timed(lambda: subprocess.run(
            [make, one, one + ".tmp"], stdin=f, check=True))
    say("qef64make: %.2f s" % t_make)

    local = os.path.join(scratch, "local")
    t_local, _ = timed(lambda: qef64.build_sharded(
        local, read_pairs(parts), shards=SHARDS))
    say("build_sharded: %.2f s" % t_local)

    cluster = distributed.LocalCluster(
        n_workers=WORKERS, threads_per_worker=1, processes=True,
        dashboard_address=None, silence_logs=50)
    client = distributed.Client(cluster)
    try:
        idle = client.run(current_rss_kib)
        t_empty = min(timed(lambda: dask.compute(*empty_graph(PARTITIONS, SHARDS)))[0]
                      for _ in range(5))
        tasks = PARTITIONS + SHARDS
        sharded = os.path.join(scratch, "dask")
        bag = dask.bag.from_sequence(parts, npartitions=len(parts)).map_partitions(
            read_pairs)
        t_dask, _ = timed(lambda: qef64.dask.build(bag, sharded, shards=SHARDS))
        peaks = client.run(peak_rss_kib)
        say("dask build: %.2f s" % t_dask)
    finally:
        client.close()
        cluster.close()

    say("checking every key")
    with qef64.open_sharded(sharded) as s, qef64.open(one) as d:
        assert len(s) == len(d) == n, (len(s), len(d), n)
        keys = list(d.keys())
        for at in range(0, len(keys), 100000):
            chunk = keys[at:at + 100000]
            assert s.get_many(chunk) == d.get_many(chunk), at
        rng = random.Random(7)
        sample = [bytes(k) for k in rng.sample(keys, min(LOOKUPS, len(keys)))]
        del keys
        ns_one = statistics.median(lookup_time(d, sample) for _ in range(3))
        ns_sharded = statistics.median(lookup_time(s, sample) for _ in range(3))

    worst = max(peaks.values())
    footprint = max(idle.values())
    print("## Sharded sets on Dask")
    print()
    print("%s, %s, %d cores. %d records (%s) in %d partitions into %d shards; "
          "LocalCluster of %d worker processes of one thread. Seconds of one "
          "run each; the Dask set checked key by key against the single "
          "database of qef64make. Rerun this section alone with "
          "`BENCH_ONLY=dask make bench-run`." % (
              time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
              " ".join(os.uname()[i] for i in (0, 2, 4)), os.cpu_count(),
              n, os.path.basename(records), PARTITIONS, SHARDS, WORKERS))
    print()
    print("| what | value | against | ratio | target | met |")
    print("|---|---|---|---|---|---|")
    r = t_dask / t_local
    print("| qef64.dask.build | %.2f s | build_sharded, one process: %.2f s | %.3f "
          "| <= 1.5 | %s |" % (t_dask, t_local, r, "yes" if r <= 1.5 else "NO"))
    print("| qef64.dask.build | %.2f s | qef64make, one database: %.2f s | %.3f "
          "| | |" % (t_dask, t_make, t_dask / t_make))
    print("| build_sharded | %.2f s | qef64make: %.2f s | %.3f | | |" % (
        t_local, t_make, t_local / t_make))
    print("| scheduler, per task | %.2f ms | %d tasks of nothing: %.3f s | | | |" % (
        t_empty / tasks * 1000, tasks, t_empty))
    limit = 2 * MEMORY // 1024 + footprint
    print("| worker peak RSS | %d KiB | 2 x budget + idle worker (%d KiB): %d KiB "
          "| %.3f | <= 1 | %s |" % (worst, footprint, limit, worst / limit,
                                     "yes" if worst <= limit else "NO"))
    r = ns_sharded / ns_one
    print("| get_many, sharded set | %.0f ns/key | one database: %.0f ns/key "
          "| %.3f | <= 1.3 | %s |" % (ns_sharded, ns_one, r,
                                     "yes" if r <= 1.3 else "NO"))
    print("| correctness | every key | single database | | equal | yes |")
    shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
