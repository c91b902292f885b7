"""Building sharded sets on a Dask cluster.

``build(bag, path, shards)`` takes a Dask bag of (key, value) pairs and
builds the sharded set at path (see qef64.sharded) with whatever Dask
scheduler is active: a distributed Client's cluster, local or across
hosts, or Dask's own local schedulers. The data never passes through the
process that calls it:

1. one task per partition of the bag routes its records to the shards,
   appending each shard's records, in order and packed, to a piece file of
   its own in the new version's directory;
2. one task per shard, once every partition is routed, reads its pieces in
   partition order and builds the shard file with a bounded-memory
   qef64.Builder, straight into the new version's directory;
3. the calling process removes the pieces, writes the manifest and
   publishes the version.

Dask schedules the tasks, places them on the workers and reruns those of a
worker that dies; the pieces go through the file system rather than
through the workers' memory, so that a worker needs about one builder's
memory whatever the size of the set. On several hosts, path must be on
storage they all share. A task that fails for good fails the build, and
nothing is published.

The records of a key end up in its shard in the order of the bag: by
partition, then by position within the partition.
"""

from __future__ import annotations

import itertools
import os
import shutil
from typing import Any, Iterable, List, Optional

import dask

from qef64 import _qef64
from qef64.sharded import DEFAULT_MEMORY, Publication

__all__ = ["build"]

# Pairs routed at a time: each round's packed runs are a few MiB.
_ROUTE_PAIRS = 1 << 16


def _piece(pieces: str, partition: int, shard: int) -> str:
    return os.path.join(pieces, "p%06d-s%06d" % (partition, shard))


def _route(pairs: Iterable[Any], pieces: str, partition: int, shards: int) -> int:
    # Written afresh when Dask reruns the task: "wb" cuts an earlier run's.
    files = [open(_piece(pieces, partition, s), "wb") for s in range(shards)]
    routed = 0
    try:
        it = iter(pairs)
        while True:
            chunk = list(itertools.islice(it, _ROUTE_PAIRS))
            if not chunk:
                break
            routed += len(chunk)
            for f, run in zip(files, _qef64.partition(chunk, shards)):
                f.write(run)
    finally:
        for f in files:
            f.close()
    return routed


def _build_shard(path: str, pieces: str, shard: int, memory: int,
                 routed: List[int]) -> int:
    # Built from the start again when Dask reruns the task: the unfinished
    # file of a lost run has no name, and a finished one is replaced.
    # routed, the routing tasks' results, only orders this task after them.
    records = 0
    with _qef64.Builder(path, memory=memory) as b:
        for partition in range(len(routed)):
            records += b.add_packed_file(_piece(pieces, partition, shard))
    return records


def build(bag: Any, path: Any, shards: int, memory: Optional[int] = None) -> str:
    """Builds and publishes a new version of the sharded set at path from
    a Dask bag of (key, value) pairs, one task per shard; returns the
    version's name. memory is each shard builder's index memory (default
    64 MiB, as qef64.Builder).

    Keys and values are bytes-like; a str raises TypeError in its task,
    which fails the build.
    """
    memory = DEFAULT_MEMORY if memory is None else memory
    with Publication(path, shards) as pub:
        pieces = os.path.join(pub.directory, ".pieces")
        os.mkdir(pieces)
        routed = [dask.delayed(_route, pure=False)(part, pieces, i, shards)
                  for i, part in enumerate(bag.to_delayed())]
        built = [dask.delayed(_build_shard, pure=False)(
                     pub.shard_path(s), pieces, s, memory, routed)
                 for s in range(shards)]
        counts = dask.compute(*built)
        shutil.rmtree(pieces)
        pub.publish(list(counts))
        return pub.version
