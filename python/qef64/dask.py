"""Building sharded sets on a Dask cluster.

``build(bag, path, shards)`` takes a Dask bag of (key, value) pairs and
builds the sharded set at path (see qef64.sharded) with whatever Dask
scheduler is active: a distributed Client's cluster, local or across
hosts, or Dask's own local schedulers. The data never passes through the
process that calls it:

1. for each partition of the bag, as a step of the task that makes it,
   its records are routed to the shards: each shard's records appended, in
   order and packed, to a piece file of its own in the new version's
   directory, a few MiB at a time;
2. one task per shard, once every partition is routed, reads its pieces in
   partition order and builds the shard file with a bounded-memory
   qef64.Builder, straight into the new version's directory;
3. the calling process removes the pieces and publishes the version:
   the library checks and checksums the shards, writes SHA256SUMS and the
   manifest and makes the version current (qef64.sharded.Publication).

Dask schedules the tasks and places them on the workers; the pieces go
through the file system rather than through the workers' memory, so that
a worker needs about one builder's memory whatever the size of the set.
On several hosts, path must be on storage they all share. A task that
fails fails the build, and nothing is published; so does the loss of a
worker that Dask would have to rerun a task of (LostWorker): run the
build again.

The records of a key end up in its shard in the order of the bag: by
partition, then by position within the partition.
"""

from __future__ import annotations

import os
import shutil
from typing import Any, Iterable, List, Optional

import dask
import dask.bag
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from qef64 import Builder
from qef64.sharded import DEFAULT_MEMORY, Publication, route

__all__ = ["build", "LostWorker"]


class LostWorker(RuntimeError):
    """A task of the build was started a second time: Dask lost the worker
    running it, or the result it held. The build stops, and nothing is
    published."""

# A piece is read this many bytes at a time.
_PIECE_READ = 4 << 20


def _piece(pieces: str, partition: int, shard: int) -> str:
    return os.path.join(pieces, "p%06d-s%06d" % (partition, shard))


def _first_run(pieces: str, task: str) -> None:
    # Dask reruns the tasks of a worker it has lost. A lost worker is not
    # always a dead one: cut off from the scheduler, it may still be
    # writing the same pieces or shard. So a task runs once per build, and
    # a second start fails the build rather than publish what two runs
    # might have mixed.
    try:
        os.close(os.open(os.path.join(pieces, ".ran-" + task),
                         os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644))
    except FileExistsError:
        raise LostWorker("qef64.dask.build: task %s started twice, after Dask "
                         "lost a worker; nothing is published" % task) from None


def _route(pairs: Iterable[Any], pieces: str, partition: int,
           shards: int) -> List[int]:
    _first_run(pieces, "route-%06d" % partition)
    files = [open(_piece(pieces, partition, s), "wb") for s in range(shards)]
    try:
        route(pairs, shards, lambda shard, run: files[shard].write(run))
    finally:
        for f in files:
            f.close()
    return [partition]


def _add_piece(builder: Builder, path: str) -> int:
    """Adds the packed records of one piece file: their number."""
    records = 0
    held = bytearray()  # a record that one read cut off waits for the next
    with open(path, "rb") as f:
        while True:
            piece = f.read(_PIECE_READ)
            if not piece:
                break
            held += piece
            added, used = builder.add_packed(held)
            records += added
            del held[:used]
    if held:
        raise ValueError("%s: not packed records" % path)
    return records


def _build_shard(path: str, pieces: str, shard: int, memory: int,
                 routed: List[List[int]]) -> int:
    # routed, the routing tasks' results, only orders this task after them.
    _first_run(pieces, "shard-%06d" % shard)
    records = 0
    with Builder(path, memory=memory) as b:
        for partition in range(len(routed)):
            records += _add_piece(b, _piece(pieces, partition, shard))
    return records


def build(bag: Any, path: Any, shards: int, memory: Optional[int] = None) -> str:
    """Builds and publishes a new version of the sharded set at path from
    a Dask bag of (key, value) pairs, one task per shard; returns the
    version's name. memory is each shard builder's index memory (default
    64 MiB, as qef64.Builder).

    Keys and values are bytes-like; a str raises TypeError in its task,
    which fails the build. A task that Dask starts again, because it lost
    the worker running it or holding its result, raises LostWorker and
    fails the build too.
    """
    memory = DEFAULT_MEMORY if memory is None else memory
    with Publication(path, shards) as pub:
        pieces = os.path.join(pub.directory, ".pieces")
        os.mkdir(pieces)
        # Routing as a step of the bag itself: one task for each partition
        # that depends on that partition alone, which Dask's optimiser fuses
        # into the task that makes the partition. So the pairs stream
        # through it, however the bag makes them (a generator included),
        # rather than wait whole in a worker's memory or cross the network.
        name = "qef64-route-" + tokenize(bag, pieces, shards)
        layer = {(name, i): (_route, key, pieces, i, shards)
                 for i, key in enumerate(bag.__dask_keys__())}
        graph = HighLevelGraph.from_collections(name, layer, dependencies=[bag])
        routed = dask.bag.Bag(graph, name, bag.npartitions).to_delayed()
        built = [dask.delayed(_build_shard, pure=False)(
                     pub.shard_path(s), pieces, s, memory, routed)
                 for s in range(shards)]
        dask.compute(*built)
        shutil.rmtree(pieces)
        pub.publish()
        return pub.version
