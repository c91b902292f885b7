"""Sharded sets: one table spread over several ordinary databases.

A sharded set is a directory. Each version lives in a subdirectory of its
own, ``v-<UTC time>-<random>``, holding ``manifest.json`` and the shard
files ``shard-00000.qef64`` ...; the symbolic link ``current`` names the
version in use and ``previous`` the one before it. A key's records are all
in shard ``shard_hash(key) % shard_count``, in the order they were added.
qef64(5) documents the layout, the manifest and the hash.

A new version is written completely, every file made durable, and becomes
current by one rename of a new ``current`` link, after which the directory
is made durable. A reader that opened the old version keeps reading it;
the previous version stays until the next publication, for rollback. A
build that fails publishes nothing.

Reading::

    with qef64.open_sharded("words") as db:
        db[b"key"], db.get_all(b"key"), db.get_many(keys), len(db)

Building in one process::

    qef64.build_sharded("words", pairs, shards=32)

and on a Dask cluster, ``qef64.dask.build(bag, "words", shards=32)``.
"""

from __future__ import annotations

import datetime
import errno
import fcntl
import itertools
import json
import os
import secrets
import shutil
from typing import Callable, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from qef64 import Builder, Database, Residency, _open_flags, _qef64

Buffer = Union[bytes, bytearray, memoryview]
PathLike = Union[str, bytes, "os.PathLike[str]"]

FORMAT = "qef64-sharded"
FORMAT_VERSION = 1
SHARD_HASH = "fnv1a64-splitmix64"

shard_hash = _qef64.shard_hash

# The index memory of a build: all its shard builders together, as one
# qef64.Builder has by default.
DEFAULT_MEMORY = 64 << 20

# Pairs routed per round: enough to keep each shard's packed run long, few
# enough to hold only a little of the input at once.
_ROUTE_PAIRS = 1 << 16

# How many times an open retries when a publication removes the version it
# was reading the link of: each retry reads the link again.
_OPEN_ATTEMPTS = 8


def shard_file(index: int) -> str:
    """The file name of shard ``index`` inside a version directory."""
    return "shard-%05d.qef64" % index


def _fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _read_manifest(version_dir: str) -> dict:
    with open(os.path.join(version_dir, "manifest.json"), "rb") as f:
        manifest = json.load(f)
    if (not isinstance(manifest, dict)
            or manifest.get("format") != FORMAT
            or manifest.get("version") != FORMAT_VERSION
            or manifest.get("shard_hash") != SHARD_HASH):
        raise OSError(errno.EPROTO, "not a sharded set this version reads",
                      os.path.join(version_dir, "manifest.json"))
    shards = manifest.get("shards")
    count = manifest.get("shard_count")
    if (not isinstance(shards, list) or not isinstance(count, int)
            or count < 1 or len(shards) != count):
        raise OSError(errno.EPROTO, "manifest lists no shards or the wrong count",
                      os.path.join(version_dir, "manifest.json"))
    return manifest


class ShardedDatabase:
    """A sharded set opened for reading: the read interface of Database.

    It holds the version that ``current`` named when it was opened, and
    keeps reading it whatever is published afterwards; ``replaced()`` says
    when reopening would give another version.
    """

    def __init__(self, path: PathLike, *, warm: Optional[str] = None,
                 background: bool = False, lock_tables: bool = False) -> None:
        self._path = os.path.abspath(os.fspath(path))
        self._shards: Tuple[Database, ...] = ()
        # Refused before any shard is opened.
        _open_flags(warm, background, lock_tables)
        self._warming = {"warm": warm, "background": background,
                         "lock_tables": lock_tables}
        for attempt in range(_OPEN_ATTEMPTS):
            version = os.readlink(os.path.join(self._path, "current"))
            try:
                self._open_version(version)
                return
            except FileNotFoundError:
                # A publication removed this version between the readlink
                # and the open; the link names a newer one now.
                if attempt == _OPEN_ATTEMPTS - 1:
                    raise

    def _open_version(self, version: str) -> None:
        version_dir = os.path.join(self._path, version)
        manifest = _read_manifest(version_dir)
        shards = []
        try:
            for entry in manifest["shards"]:
                file = os.path.join(version_dir, entry["file"])
                db = Database(file, **self._warming)
                shards.append(db)
                if os.stat(file).st_size != entry["size"]:
                    raise OSError(errno.EPROTO, "shard size differs from the manifest", file)
        except BaseException:
            for db in shards:
                db.close()
            raise
        self._version = version
        self._shards = tuple(shards)
        self._records = sum(len(db) for db in shards)

    def _shard(self, key: Buffer) -> Database:
        shards = self._live()
        return shards[_qef64.shard_of(key, len(shards))]

    def __getitem__(self, key: Buffer) -> bytes:
        return self._shard(key)[key]

    def get(self, key: Buffer, default: object = None) -> object:
        """The first record of key, or default when it has none."""
        return self._shard(key).get(key, default)

    def get_all(self, key: Buffer) -> List[bytes]:
        """Every record of key, in the order added ([] when none)."""
        return self._shard(key).get_all(key)

    def get_many(self, keys: Iterable[Buffer]) -> List[Optional[bytes]]:
        """The first record of each key, or None: one batched call over
        all shards."""
        return _qef64.get_many_sharded(self._live(), keys)

    def __contains__(self, key: Buffer) -> bool:
        return key in self._shard(key)

    def __len__(self) -> int:
        self._live()
        return self._records

    def items(self) -> Iterator[Tuple[bytes, bytes]]:
        """Every record as (key, value), shard by shard, each in file order."""
        for db in self._live():
            yield from db.items()

    def keys(self) -> Iterator[bytes]:
        """The key of every record, shard by shard; repeated keys repeat."""
        for db in self._live():
            yield from db.keys()

    def values(self) -> Iterator[bytes]:
        """The value of every record, in the order of keys()."""
        for db in self._live():
            yield from db.values()

    __iter__ = keys

    def _live(self) -> Tuple[Database, ...]:
        shards = self._shards
        if not shards:
            raise ValueError("operation on a closed sharded set")
        return shards

    def resident(self) -> Residency:
        """How much of every shard is in memory now, in bytes, summed: a
        Residency (tables, records), as Database.resident()."""
        tables = records = 0
        for db in self._live():
            part = db.resident()
            tables += part.tables
            records += part.records
        return Residency(tables, records)

    @property
    def shard_count(self) -> int:
        return len(self._live())

    @property
    def version(self) -> str:
        """The name of the version directory this reader holds."""
        return self._version

    def replaced(self) -> bool:
        """True when ``current`` now names another version, or nothing."""
        try:
            return os.readlink(os.path.join(self._path, "current")) != self._version
        except OSError:
            return True

    def close(self) -> None:
        """Closes every shard; views taken from them stay valid."""
        shards, self._shards = self._shards, ()
        for db in shards:
            db.close()

    @property
    def closed(self) -> bool:
        return not self._shards

    def __enter__(self) -> "ShardedDatabase":
        return self

    def __exit__(self, *exc: object) -> bool:
        self.close()
        return False

    def __repr__(self) -> str:
        state = "closed" if not self._shards else "%d shards" % len(self._shards)
        return "<qef64.ShardedDatabase %r %s>" % (self._path, state)


def open_sharded(path: PathLike, *, warm: Optional[str] = None,
                 background: bool = False,
                 lock_tables: bool = False) -> ShardedDatabase:
    """Opens the current version of the sharded set at path. warm,
    background and lock_tables apply to every shard, as qef64.open()
    documents them."""
    return ShardedDatabase(path, warm=warm, background=background,
                           lock_tables=lock_tables)


class Publication:
    """A new version of a sharded set, from its directory to publication.

    Entering it takes the set's lock (a second build of the same set at the
    same time fails with BlockingIOError) and makes the version directory;
    ``publish`` writes the manifest and makes the version current. Leaving
    it without publishing, or with an exception, removes the version
    directory: nothing is published and ``current`` stays as it was.
    """

    def __init__(self, path: PathLike, shards: int) -> None:
        if not isinstance(shards, int) or shards < 1:
            raise ValueError("shards must be a positive int")
        self.path = os.path.abspath(os.fspath(path))
        self.shards = shards
        self.version: Optional[str] = None
        self.directory: Optional[str] = None
        self._lock: Optional[int] = None
        self._published = False

    def __enter__(self) -> "Publication":
        os.makedirs(self.path, exist_ok=True)
        lock = os.open(os.path.join(self.path, ".lock"),
                       os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        # Until __enter__ returns, no __exit__ will release the lock.
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            now = datetime.datetime.now(datetime.timezone.utc)
            version = "v-%s-%s" % (now.strftime("%Y%m%dT%H%M%SZ"), secrets.token_hex(3))
            directory = os.path.join(self.path, version)
            os.mkdir(directory)
        except BaseException:
            os.close(lock)
            raise
        self._lock, self.version, self.directory = lock, version, directory
        return self

    def shard_path(self, index: int) -> str:
        """Where shard ``index`` of the new version is built."""
        return os.path.join(self.directory, shard_file(index))

    def publish(self, records: Sequence[int]) -> None:
        """Writes the manifest of the built shards (records[i] records in
        shard i) and makes the version current."""
        shards = []
        for i in range(self.shards):
            size = os.stat(self.shard_path(i)).st_size
            shards.append({"file": shard_file(i), "records": records[i], "size": size})
        manifest = {"format": FORMAT, "version": FORMAT_VERSION,
                    "shard_hash": SHARD_HASH, "shard_count": self.shards,
                    "records": sum(records), "shards": shards}
        staged = os.path.join(self.directory, ".manifest.json.tmp")
        with open(staged, "w") as f:
            json.dump(manifest, f, indent=1)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.rename(staged, os.path.join(self.directory, "manifest.json"))
        _fsync_dir(self.directory)

        current = os.path.join(self.path, "current")
        try:
            old = os.readlink(current)
        except FileNotFoundError:
            old = None
        self._swap_link("current", self.version)
        self._published = True
        _fsync_dir(self.path)
        # From here on the version is published; what follows only tidies.
        if old is not None and old != self.version:
            self._swap_link("previous", old)
            _fsync_dir(self.path)
        keep = {self.version, old}
        for name in os.listdir(self.path):
            if name.startswith("v-") and name not in keep:
                shutil.rmtree(os.path.join(self.path, name), ignore_errors=True)

    def _swap_link(self, name: str, target: str) -> None:
        staged = os.path.join(self.path, ".%s.tmp-%s" % (name, secrets.token_hex(4)))
        os.symlink(target, staged)
        try:
            os.rename(staged, os.path.join(self.path, name))
        except BaseException:
            os.unlink(staged)
            raise

    def __exit__(self, exc_type: object, exc: object, tb: object) -> bool:
        try:
            if not self._published and self.directory is not None:
                shutil.rmtree(self.directory, ignore_errors=True)
        finally:
            os.close(self._lock)
            self._lock = None
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
        counts = [0] * shards

        def add(shard: int, run: bytes) -> None:
            counts[shard] += builders[shard].add_packed(run)[0]

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
        pub.publish(counts)
        return pub.version
