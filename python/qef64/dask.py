"""Building sharded sets on a Dask cluster.

``build(bag, path, shards)`` takes a Dask bag of (key, value) pairs and
builds the sharded set at path (see qef64.sharded) with whatever Dask
scheduler is active: a distributed Client's cluster, local or across
hosts, or Dask's own local schedulers. The data never passes through the
process that calls it:

1. one task per partition of the bag routes its records to the shards,
   packing each shard's records, in order, into one bytes object;
2. one task per shard takes that shard's piece of every partition, in
   partition order, and builds the shard file with a bounded-memory
   qef64.Builder, straight into the new version's directory;
3. the calling process writes the manifest and publishes the version.

Dask moves the pieces from the routing tasks to the building tasks (and
spills them to disk when a worker runs short of memory); it also reruns
the tasks of a worker that dies. The shard files are written where the
workers are, so on several hosts path must be on storage they all share.
A task that fails for good fails the build, and nothing is published.

The records of a key end up in its shard in the order of the bag: by
partition, then by position within the partition.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

import dask

from qef64 import _qef64
from qef64.sharded import DEFAULT_MEMORY, Publication

__all__ = ["build"]


def _route(partition: Any, shards: int) -> Sequence[bytes]:
    # One packed bytes object per shard, which Dask ships cheaply.
    return _qef64.partition(partition, shards)


def _build_shard(path: str, memory: int, *pieces: bytes) -> int:
    # Built from the start again when Dask reruns the task: the unfinished
    # file of a lost run has no name, and a finished one is replaced.
    records = 0
    with _qef64.Builder(path, memory=memory) as b:
        for piece in pieces:
            records += b.add_packed(piece)
    return records


def build(bag: Any, path: Any, shards: int, memory: Optional[int] = None) -> str:
    """Builds and publishes a new version of the sharded set at path from
    a Dask bag of (key, value) pairs, one task per shard; returns the
    version's name. memory is each shard builder's index memory (default
    that of qef64.Builder).

    Keys and values are bytes-like; a str raises TypeError in the task,
    which fails the build.
    """
    memory = DEFAULT_MEMORY if memory is None else memory
    with Publication(path, shards) as pub:
        partitions = bag.to_delayed()
        routed = [dask.delayed(_route, nout=shards, pure=False)(p, shards)
                  for p in partitions]
        built = [
            dask.delayed(_build_shard, pure=False)(
                pub.shard_path(i), memory, *[r[i] for r in routed])
            for i in range(shards)
        ]
        counts = dask.compute(*built)
        pub.publish(list(counts))
        return pub.version
