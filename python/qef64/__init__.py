"""Read-only, hash-indexed key-value database files.

A database maps bytes keys to bytes records; a key may hold several
records, which come back in the order they were added. It is built once,
into a temporary file beside its path, made durable and renamed over that
path, and never changed in place: a reader sees the old file or the new
one, and keeps the file it opened for as long as it keeps it open.

Reading::

    with qef64.open("colors.db") as db:
        db[b"red"]                  # b'#ff0000'; KeyError when none
        db.get(b"blue")             # None when none
        db.get_all(b"grey")         # [b'gray', b'#808080'], in order added
        db.get_many([b"red", b"x"]) # [b'#ff0000', None], in one call
        db.view(b"red")             # a memoryview into the file, no copy
        len(db)                     # number of records
        for key, value in db.items(): ...   # every record, file order

    qef64.open("big.db", warm="tables", lock_tables=True)  # for a cold file

Building::

    with qef64.Builder("colors.db") as b:   # commit at the end, abort on error
        b.add(b"red", b"#ff0000")
        b.add_many([(b"grey", b"gray"), (b"grey", b"#808080")])

    qef64.build("colors.db", pairs)         # the same in one call

Past one file, a sharded set spreads the records over several databases
(qef64.sharded), built in one process by ``qef64.build_sharded`` or on a
Dask cluster by ``qef64.dask.build``, and read by ``qef64.open_sharded``.

Keys and values are bytes-like objects (bytes, bytearray, memoryview,
mmap); str is refused with TypeError: encode it first. Failures raise
OSError with the system's errno (FileNotFoundError for a missing file),
and a file that is not a database, or a damaged one, raises OSError
with errno EPROTO; db.verify() checks a whole file.
"""

import collections
import collections.abc
import errno

from qef64 import _qef64
from qef64._qef64 import RecordIterator, __version__, shard_hash

__all__ = ["Builder", "Database", "Residency", "build", "open", "__version__",
           "ShardedDatabase", "build_sharded", "open_sharded", "shard_hash"]

_WARM = {None: 0, "tables": _qef64.QEF64_WARM_TABLES, "all": _qef64.QEF64_WARM_ALL}


def _open_flags(warm, background, lock_tables) -> int:
    """The flags of qef64_open_ex for open()'s keywords; ValueError or
    TypeError for values that mean nothing."""
    if not (warm is None or isinstance(warm, str)):
        raise TypeError("warm must be None, 'tables' or 'all', not %r"
                        % type(warm).__name__)
    if warm not in _WARM:
        raise ValueError("warm must be None, 'tables' or 'all', not %r" % warm)
    for name, value in (("background", background), ("lock_tables", lock_tables)):
        if not isinstance(value, bool):
            raise TypeError("%s must be True or False, not %r"
                            % (name, type(value).__name__))
    if background and warm is None and not lock_tables:
        raise ValueError("background=True needs something to warm: "
                         "warm='tables', warm='all' or lock_tables=True")
    return (_WARM[warm] | (_qef64.QEF64_WARM_BACKGROUND if background else 0)
            | (_qef64.QEF64_LOCK_TABLES if lock_tables else 0))


Residency = collections.namedtuple("Residency", ["tables", "records"])
Residency.__doc__ = """Residency(tables, records)

How much of a database is in memory (the page cache) now, in bytes:
tables of the header and the hash tables, records of the records. What
resident() returns."""


def _reopen(cls, path, flags):
    # What a pickled database becomes: the same open, in another process.
    return cls._opened(path, flags)


class _Reader:
    """What Database and ShardedDatabase share above their C halves."""

    __slots__ = ()

    def __new__(cls, path, *, warm=None, background=False, lock_tables=False):
        return cls._opened(path, _open_flags(warm, background, lock_tables))

    @classmethod
    def _opened(cls, path, flags):
        self = super().__new__(cls, path, flags)
        self._flags = flags
        return self

    def _open(self):
        if self.closed:
            raise ValueError("operation on a closed database")
        return self

    def __len__(self) -> int:
        # Beyond sys.maxsize, as a damaged header may claim: OverflowError.
        return self._open()._count

    def __iter__(self) -> RecordIterator:
        return self._open()._walk(0)

    def keys(self) -> "KeysView":
        """A view of the key of every record, in file order (the order
        added): a key added twice comes twice. len() of it is len() of the
        database."""
        return KeysView(self._open())

    def values(self) -> "ValuesView":
        """A view of the data of every record, in file order."""
        return ValuesView(self._open())

    def items(self) -> "ItemsView":
        """A view of every record as a (key, data) pair of bytes, in file
        order: a key added twice gives two pairs."""
        return ItemsView(self._open())

    def resident(self) -> Residency:
        """How much of the file is in memory now, in bytes: a Residency
        (tables, records). For a service's health page: it costs one
        mincore(2) pass over the mapping, about a millisecond a gigabyte,
        and lets other threads run meanwhile."""
        return Residency(*self._resident())

    def verify(self) -> None:
        """Check the whole file: every record reachable by its key from its
        table, every slot naming a record of its hash, the records ending
        where the tables begin. Returns None when it is sound; raises
        OSError with errno EPROTO, naming what is wrong and its offset,
        when it is not. Reads the file once, front to back, and lets other
        threads run meanwhile."""
        problem = self._verify()
        if problem is not None:
            offset, shard, what, text = problem
            raise OSError(errno.EPROTO, "%s: %s, %s" % (text, what, self._place(offset, shard)),
                          self._path)

    def _place(self, offset: int, shard: int) -> str:
        return "at offset %d" % offset

    def __enter__(self):
        return self._open()

    def __exit__(self, *exc_info: object) -> None:
        """Close the database."""
        self.close()

    def __reduce__(self):
        """Pickle by path: unpickling opens the path again, in whatever
        process, as this one was opened (warming included), and sees what
        it names then."""
        return _reopen, (type(self), self._open()._path, self._flags)


class Database(_Reader, _qef64.Database):
    """Database(path, *, warm=None, background=False, lock_tables=False)

    An open database file, read-only: a mapping from bytes keys to the
    bytes data of their records. Use qef64.open(path), which documents the
    keywords that warm a cold file.

    db[key] and get() give the key's first record, get_all() all of them
    in the order added, get_many() the first record of many keys, view() a
    record without a copy. Keys are bytes-like (bytes, bytearray,
    memoryview, mmap); str is refused. len() is the number of records;
    iterating gives every record's key in file order, a key added twice
    coming twice. resident() says how much of the file is in memory, and
    verify() checks all of it.

    One Database may be used from any number of threads at once, and keeps
    working in a child process after fork(). A file that is not a
    database, or a damaged one, raises OSError with errno EPROTO.
    """

    __slots__ = ("_flags",)  # of the open, for pickling

    def __repr__(self) -> str:
        try:
            state = "records=%d" % len(self)
        except (ValueError, OverflowError):
            state = "closed" if self.closed else "damaged"
        return "<qef64.Database %r %s>" % (self._path, state)


class RecordsView(collections.abc.MappingView):
    """The keys, values or items of a Database: every record in file order,
    walked afresh by each iteration. len() is the number of records; `in`
    looks a key up, or the records of a (key, value) pair's key, or walks
    the values."""

    __slots__ = ()
    _part = 0  # what the walk gives: keys (0), values (1) or items (2)

    def __iter__(self) -> RecordIterator:
        return self._mapping._open()._walk(self._part)

    def __repr__(self) -> str:
        return "<qef64 %s of %r>" % (("keys", "values", "items")[self._part],
                                     self._mapping)


class KeysView(RecordsView, collections.abc.KeysView):
    __slots__ = ()


class ValuesView(RecordsView, collections.abc.ValuesView):
    __slots__ = ()
    _part = 1

    def __contains__(self, value: object) -> bool:
        value = memoryview(value).tobytes()
        return any(data == value for data in self)


class ItemsView(RecordsView, collections.abc.ItemsView):
    __slots__ = ()
    _part = 2

    def __contains__(self, item: object) -> bool:
        # As for dict items: anything but a pair is simply not there.
        if not isinstance(item, tuple) or len(item) != 2:
            return False
        key, value = item
        return memoryview(value).tobytes() in self._mapping.get_all(key)


class Builder(_qef64.Builder):
    """Builder(path, *, memory=None)

    A new database for path, written into a temporary file in the same
    directory: one without a name until commit() where the file system can
    make one, ".NAME.tmp.*" elsewhere. Beyond memory bytes (default 64
    MiB), its index spills to another nameless file there, whatever the
    number of records. The database is the same, byte for byte, as
    qef64make builds from the same records.

        with qef64.Builder(path) as b:
            b.add(key, value)
            b.add_many(pairs)

    commits at the end of the block and aborts when the block raises. When
    path names a file already, the new one keeps its permission bits. A
    builder is used by one thread at a time, and only by the process that
    made it: in a child process after fork(), add() and commit() raise
    OSError (EBUSY) and the parent's build is left alone.
    """

    __slots__ = ()

    def __new__(cls, path, *, memory=None):
        if memory is None:
            return super().__new__(cls, path)
        if not isinstance(memory, int):
            raise TypeError("memory must be an int, not %r" % type(memory).__name__)
        if not 0 <= memory < (1 << 64) - 1:
            raise OverflowError("memory must be at least 0 and below 2**64 - 1")
        return super().__new__(cls, path, memory=memory)

    def __enter__(self) -> "Builder":
        # Refused as every call is: a builder already finished, or in
        # another thread's call.
        self.add_many(())
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> bool:
        """Commit when the block ended normally, abort when it raised; the
        exception goes on."""
        if self._ended is None:
            if exc_type is None:
                self.commit()
            else:
                self.abort()
        return False

    def __reduce__(self):
        raise TypeError("a Builder cannot be pickled: it is one process's file")

    def __repr__(self) -> str:
        return "<qef64.Builder %r %s>" % (self._path, self._ended or "open")


def open(path, /, *, warm=None, background=False, lock_tables=False) -> Database:
    """Open the database file at path (str, bytes or os.PathLike) and map
    it read-only; return a Database.

    For files read cold (a fresh machine, a restart, a file larger than
    memory), warm="tables" reads the header and the hash tables into
    memory before returning, so that a cold lookup needs one read, its
    record's; warm="all" reads the whole file. background=True warms in a
    thread of the library's own instead, and open returns at once.
    lock_tables=True locks the tables in memory (mlock), reading them in
    first, so that memory pressure never evicts them. Warming reads
    sequentially, at the device's speed; other threads run meanwhile.

    Raises FileNotFoundError for a missing file, OSError with errno EPROTO
    for a file that is not a database (the header is checked against the
    file; verify() checks the rest), OSError with errno ENOMEM or
    EPERM when RLIMIT_MEMLOCK forbids locking the tables, OSError with the
    system's errno for any other failure, and ValueError or TypeError for
    keywords that mean nothing (background=True with nothing to warm)."""
    return Database(path, warm=warm, background=background,
                    lock_tables=lock_tables)


def build(path, pairs, /) -> None:
    """Build the database at path from pairs, any iterable of (key, value)
    pairs of bytes-like objects, in one call: the same as adding them to a
    Builder(path) and committing it. On any failure, the exception
    included, path is left untouched and no temporary file remains."""
    with Builder(path) as b:
        b.add_many(pairs)


# Last: the sharded sets build on the classes above.
from qef64.sharded import ShardedDatabase, build_sharded, open_sharded  # noqa: E402
