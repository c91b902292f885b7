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
and a damaged database file raises OSError with errno EPROTO.
"""

from qef64._qef64 import (Builder, Database, RecordIterator, RecordsView,
                          __version__, build, open, shard_hash)
from qef64.sharded import ShardedDatabase, build_sharded, open_sharded

__all__ = ["Builder", "Database", "build", "open", "__version__",
           "ShardedDatabase", "build_sharded", "open_sharded", "shard_hash"]
