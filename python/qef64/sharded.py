"""Sharded sets: one table spread over several ordinary databases.

A sharded set is a directory. Each version lives in a subdirectory of its
own, ``v-<UTC time>-<random>``, holding ``manifest.json``, ``SHA256SUMS``
and the shard files ``shard-00000.qef64`` ...; the symbolic link
``current`` names the version in use and ``previous`` the one before it.
A key's records are all in shard ``shard_hash(key) % shard_count``, in the
order they were added. qef64(5) documents the layout, the manifest, the
checksums and the hash.

A new version is written completely, checksummed and made durable, and
becomes current by one rename of a new ``current`` link: the library's
one publication protocol (qef64_publication_* in qef64(3)), which
Publication, build_sharded and qef64.dask all go through. A reader that
opened the old version keeps reading it; the previous version stays until
the next publication, for rollback. A build that fails publishes nothing.
``sha256sum -c SHA256SUMS`` in a version's directory checks a copy of it.

Reading::

    with qef64.open_sharded("words") as db:
        db[b"key"], db.get_all(b"key"), db.get_many(keys), len(db)

Building in one process::

    qef64.build_sharded("words", pairs, shards=32)

and on a Dask cluster, ``qef64.dask.build(bag, "words", shards=32)``.
"""

from __future__ import annotations

import itertools
import os
from typing import Callable, Iterable, List, Optional, Sequence, Tuple, Union

from qef64 import Builder, _qef64, _Reader

Buffer = Union[bytes, bytearray, memoryview]
PathLike = Union[str, bytes, "os.PathLike[str]"]

shard_hash = _qef64.shard_hash

# The index memory of a build: all its shard builders together, as one
# qef64.Builder has by default.
DEFAULT_MEMORY = 64 << 20

# Pairs routed per round: enough to keep each shard's packed run long, few
# enough to hold only a little of the input at once.
_ROUTE_PAIRS = 1 << 16


class ShardedDatabase(_Reader, _qef64.ShardedDatabase):
    """ShardedDatabase(path, *, warm=None, background=False, lock_tables=False)

    A sharded set opened for reading, with the read interface of Database:
    [], get, get_all, get_many (one batch over every shard), view, in, len,
    keys, values and items (shard 0 first, each shard in file order),
    resident, verify, replaced and close. Use qef64.open_sharded(path).

    It holds the version that ``current`` named when it was opened (or the
    version whose directory path is), and keeps reading it whatever is
    published afterwards; ``replaced()`` says when reopening would give
    another version. Opening checks the manifest and every shard's size
    and record count; verify() checks the checksums and every shard's
    structure too.
    """

    __slots__ = ("_flags", "_name")

    @classmethod
    def _opened(cls, path, flags):
        self = super()._opened(path, flags)
        self._name = self._version
        return self

    @property
    def shard_count(self) -> int:
        """The number of shards."""
        return self._open()._shards

    @property
    def version(self) -> str:
        """The name of the version directory this reader holds."""
        return self._name

    def _place(self, offset: int, shard: int) -> str:
        if shard < 0:
            return "in version %s" % self._name
        place = "in shard %d of version %s" % (shard, self._name)
        # A size or checksum is the whole shard's: the library gives it 0.
        return place + (", at offset %d" % offset if offset else "")

    def __repr__(self) -> str:
        state = "closed" if self.closed else "%d shards" % self._shards
        return "<qef64.ShardedDatabase %r %s>" % (self._path, state)


def open_sharded(path: PathLike, *, warm: Optional[str] = None,
                 background: bool = False,
                 lock_tables: bool = False) -> ShardedDatabase:
    """Opens the sharded set at path: the version its ``current`` names,
    or the version whose directory path is. warm, background and
    lock_tables apply to every shard, as qef64.open() documents them.

    Raises FileNotFoundError for a missing set, version or shard, and
    OSError with errno EPROTO for a damaged manifest or a shard whose size
    or record count is not the manifest's."""
    return ShardedDatabase(path, warm=warm, background=background,
                           lock_tables=lock_tables)


class Publication:
    """A new version of a sharded set, from its directory to publication.

    Entering it takes the set's lock (a second build of the same set at the
    same time, in any process, fails with BlockingIOError) and makes the
    version directory, and the set's directory when it is missing; the
    shards are then built at ``shard_path(i)``, by any means, and
    ``publish`` makes the version current. Leaving it without publishing,
    or with an exception, removes the version directory: nothing is
    published and ``current`` stays as it was. Under it all is the
    library's publication (qef64_publication_* in qef64(3)).
    """

    def __init__(self, path: PathLike, shards: int) -> None:
        if not isinstance(shards, int) or isinstance(shards, bool) or shards < 1:
            raise ValueError("shards must be a positive int")
        self.path = os.path.abspath(os.fspath(path))
        self.shards = shards
        self.version: Optional[str] = None
        self.directory: Optional[str] = None
        self._writer: Optional[_qef64.Publication] = None

    def __enter__(self) -> "Publication":
        if self._writer is not None:
            raise ValueError("a Publication is entered once")
        self._writer = _qef64.Publication(self.path, self.shards)
        self.directory = os.path.dirname(self._writer.shard_path(0))
        self.version = os.path.basename(self.directory)
        return self

    def _live(self) -> _qef64.Publication:
        if self._writer is None:
            raise ValueError("a Publication is used inside its with block")
        return self._writer

    def shard_path(self, index: int) -> str:
        """Where shard ``index`` of the new version is built."""
        if not 0 <= index < self.shards:
            raise IndexError("shard %r of a set of %d" % (index, self.shards))
        return self._live().shard_path(index)

    def publish(self, records: Optional[Sequence[int]] = None) -> None:
        """Checks and checksums the built shards, writes SHA256SUMS and the
        manifest, makes them durable and the version current. Each shard's
        records are counted from its file; records, which earlier callers
        passed, is not needed."""
        self._live().commit()

    def __exit__(self, exc_type: object, exc: object, tb: object) -> bool:
        # Nothing happens to a publication already published or failed.
        if self._writer is not None:
            self._writer.abort()
        return False


def route(pairs: Iterable[Tuple[Buffer, Buffer]], shards: int,
          add: Callable[[int, bytes], object]) -> None:
    """Routes (key, value) pairs to the shards that hold their keys,
    _ROUTE_PAIRS at a time: add(shard, run) for each shard's packed run of
    each round, in the order of the pairs, for Builder.add_packed()."""
    pairs = iter(pairs)
    while True:
        chunk = list(itertools.islice(pairs, _ROUTE_PAIRS))
        if not chunk:
            return
        for shard, run in enumerate(_qef64.partition(chunk, shards)):
            if run:
                add(shard, run)


def build_sharded(path: PathLike, pairs: Iterable[Tuple[Buffer, Buffer]],
                  shards: int, memory: Optional[int] = None) -> str:
    """Builds a new version of the sharded set at path from an iterable of
    (key, value) pairs, in this process, and publishes it; returns the
    version's name.

    Each shard is built by a qef64.Builder; memory is the index memory of
    all of them together (default 64 MiB, as one Builder), shared evenly.
    On any failure, the exception included, nothing is published and no
    file of the build remains.
    """
    memory = DEFAULT_MEMORY if memory is None else memory
    with Publication(path, shards) as pub:
        per_shard = max(1, memory // shards)
        builders: List[Builder] = []

        def add(shard: int, run: bytes) -> None:
            builders[shard].add_packed(run)

        try:
            for i in range(shards):
                builders.append(Builder(pub.shard_path(i), memory=per_shard))
            route(pairs, shards, add)
            for b in builders:
                b.commit()
        finally:
            # Aborting a committed builder does nothing; one not committed
            # gives its file up.
            for b in builders:
                b.abort()
        pub.publish()
        return pub.version
