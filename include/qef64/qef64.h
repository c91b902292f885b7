/* qef64: read-only, hash-indexed key-value database files.
 *
 * The C interface of the library: open a database and look keys up, walk
 * its records, build a new database and put it in place atomically. C99;
 * usable from C, C++ and any foreign-function interface that calls C.
 *
 * A database is built once, in one pass, into a file beside its final path,
 * made durable and renamed over that path. It is never changed
 * in place, so a reader that has a database open keeps its contents for as
 * long as it keeps it open, whatever replaces the file at the path.
 *
 * Results. Every function that returns int returns
 *   0                 success, or a record found;
 *   QEF64_NOTFOUND    (negative) no record, or no further record;
 *   a positive errno  failure; EPROTO means a damaged database file (a
 *                     position or length that points outside the file).
 * errno itself is not part of the interface: read the result.
 *
 * Threads. Every call that takes a `const qef64_db *` may run at the same
 * time from any number of threads on one database, each thread with its own
 * qef64_cursor or qef64_iter. qef64_close must not run while another call on
 * the same database is in flight. A qef64_builder is used by one thread at a
 * time; different builders are independent.
 *
 * Memory. Handles allocate; the call that ends a handle (qef64_close,
 * qef64_builder_commit, qef64_builder_abort) gives everything back. Key and
 * data pointers returned by lookups point into the read-only mapping of the
 * file and stay valid until qef64_close of that database.
 *
 * Damaged files. Every lookup, walk and count stays inside the file, with
 * every position and length checked against its size; a damaged or hostile
 * file gives EPROTO or QEF64_NOTFOUND, never a read outside the mapping and
 * never an endless loop. (A file truncated by someone else while it is mapped
 * is another matter: the system then raises SIGBUS on access. Databases are
 * replaced by rename, never rewritten in place, which is what makes that
 * safe.)
 */
#ifndef QEF64_QEF64_H
#define QEF64_QEF64_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An open database: the read-only mapping of one file. */
typedef struct qef64_db qef64_db;
/* A database being built into a temporary file. */
typedef struct qef64_builder qef64_builder;

/* The state of one lookup (the records of one key, one after the other).
 * Owned by the caller, on the stack or anywhere; start every lookup from
 * QEF64_CURSOR_INIT. The fields are private. */
typedef struct qef64_cursor {
  uint64_t qef64_private[6];
} qef64_cursor;
#define QEF64_CURSOR_INIT \
  {                       \
    { 0, 0, 0, 0, 0, 0 }  \
  }

/* The state of one walk over all records. Owned by the caller; start every
 * walk from QEF64_ITER_INIT. The fields are private. */
typedef struct qef64_iter {
  uint64_t qef64_private[2];
} qef64_iter;
#define QEF64_ITER_INIT \
  {                     \
    { 0, 0 }            \
  }

/* The result for "no record" and "no further record". */
#define QEF64_NOTFOUND (-1)

/* The library's version, "MAJOR.MINOR.PATCH". */
const char *qef64_version(void);

/* A text for any result of this interface: "success" for 0, "no such
 * record" for QEF64_NOTFOUND, strerror's text for an errno value. The text
 * is static; it stays valid. */
const char *qef64_strerror(int rc);

/* ---- Reading ----------------------------------------------------------- */

/* Opens the database at path and maps the whole file read-only; the file's
 * descriptor is closed again before this returns. *db is the new handle on
 * success, NULL on failure.
 * Results: 0; the errno of open(2), fstat(2) or mmap(2) (a file that cannot
 * be mapped fails here); EISDIR for a directory; EPROTO for a file shorter
 * than the 4096-byte header. */
int qef64_open(const char *path, qef64_db **db);

/* As qef64_open, on a descriptor open for reading. The descriptor is neither
 * taken nor closed: the caller keeps it and may close it at once. */
int qef64_open_fd(int fd, qef64_db **db);

/* Unmaps the file and frees the handle. Every pointer the database returned
 * becomes invalid. NULL is ignored. */
void qef64_close(qef64_db *db);

/* The number of records in the file (half its total slot count; equal to
 * what a qef64_iter walk visits in any database this library or qef64make
 * built). */
uint64_t qef64_count(const qef64_db *db);

/* 1 when the path the database was opened by now names another file, or no
 * file (it was replaced or removed: time to open it again); 0 while it still
 * names this one, and always 0 for qef64_open_fd. A relative path is taken
 * from the working directory at qef64_open. */
int qef64_replaced(const qef64_db *db);

/* The key's first record, in the order the records were added. On 0,
 * *data and *data_len are its data (a pointer into the mapping, valid until
 * qef64_close); otherwise they are NULL and 0.
 * Results: 0; QEF64_NOTFOUND; EPROTO for a damaged file. key may be NULL
 * when key_len is 0 (the empty key is a key like any other). */
int qef64_get(const qef64_db *db, const void *key, size_t key_len,
              const void **data, size_t *data_len);

/* The key's records one by one, in the order they were added: the first call
 * with a fresh cursor (QEF64_CURSOR_INIT) gives the first record, each
 * further call with the same cursor and the same key the next one, and
 * QEF64_NOTFOUND after the last (and on every call after that).
 * Results: 0 with *data, *data_len set; QEF64_NOTFOUND; EPROTO for a
 * damaged file; EINVAL for a cursor that no lookup could have left. */
int qef64_find_next(const qef64_db *db, qef64_cursor *cur, const void *key,
                    size_t key_len, const void **data, size_t *data_len);

/* The first record of each of n keys, as n calls of qef64_get would give
 * them, but with the memory accesses of many lookups overlapped: for key i,
 * data[i] and data_lens[i] are its first record's data, or NULL and 0 when
 * it has none or its lookup failed.
 * Results: 0 when no lookup failed (keys without records included); else
 * the result of the first key, in key order, whose lookup failed (EPROTO).
 * Every key is looked up either way. */
int qef64_get_many(const qef64_db *db, size_t n, const void *const keys[],
                   const size_t key_lens[], const void *data[],
                   size_t data_lens[]);

/* As qef64_get_many, but key i is looked up in dbs[i]: one batch over
 * several databases, such as the shards of a sharded set, with the lookups
 * of all of them in flight together. A database may appear any number of
 * times. Results: as qef64_get_many. */
int qef64_get_many_in(const qef64_db *const dbs[], size_t n,
                      const void *const keys[], const size_t key_lens[],
                      const void *data[], size_t data_lens[]);

/* Every record, in file order (the order added), a key added twice coming
 * twice: start with QEF64_ITER_INIT; each call gives the next record's key
 * and data (pointers into the mapping), then QEF64_NOTFOUND at the end and
 * on every call after it.
 * Results: 0; QEF64_NOTFOUND; EPROTO for a damaged file (a record that runs
 * past the end of the file); EINVAL for an iterator no walk could have
 * left. */
int qef64_iter_next(const qef64_db *db, qef64_iter *it, const void **key,
                    size_t *key_len, const void **data, size_t *data_len);

/* ---- Sharded sets ------------------------------------------------------ */

/* The 64-bit hash that places a key in a sharded set: its records live in
 * shard qef64_shard_hash(key) % shard count. 64-bit FNV-1a over the key
 * bytes, then the splitmix64 finaliser; independent of the hash that picks
 * a table inside each shard. Documented, with test vectors, in qef64(5):
 * the empty key gives 17665956581633026203, "a" 198367012849983736. key
 * may be NULL when key_len is 0. */
uint64_t qef64_shard_hash(const void *key, size_t key_len);

/* ---- Building ---------------------------------------------------------- */

/* Starts a database that qef64_builder_commit will put at path. The records
 * go into a new file in the directory of path that has no name while it is
 * written (O_TMPFILE), so that a process killed at any moment leaves
 * nothing behind; where the file system cannot make such a file, into one
 * created under a unique name (".NAME.tmp.*", never following a symbolic
 * link) and removed after any failure. When path names an existing file,
 * the new file gets its permission bits, and its owner and group where the
 * process may set them; otherwise mode 0644 as reduced by the umask. *b is
 * the new handle, or NULL on failure.
 * Results: 0; the errno of creating the file (ENOENT when the directory
 * does not exist, EACCES, ...). */
int qef64_builder_open(const char *path, qef64_builder **b);

/* Sets the memory the builder may use for its index, in bytes: 64 MiB
 * (67108864) unless set. The index takes 16 bytes per record; what does not
 * fit goes, table by table in large writes, to a spill file without a name
 * in the directory of path (made when first needed), and is read back at
 * commit. The database is the same whatever the budget; a smaller one costs
 * disk space (about 16 bytes per record beyond it) and some time. The budget
 * covers the index while records are added and at commit, which builds one
 * of the 256 tables at a time and needs 48 bytes per record of the largest
 * one: a budget below that is exceeded by it. Below about 8 KiB, 0
 * included, the builder keeps one entry per table in memory and spills all
 * others: the least memory it can build in. The handle itself takes about
 * 30 KiB beside the budget.
 * Call it before the first qef64_builder_add.
 * Results: 0; EINVAL after a record was added (the builder stays usable);
 * EBUSY in another process; the builder's earlier failure. */
int qef64_builder_set_memory(qef64_builder *b, uint64_t bytes);

/* Appends one record. Records of one key are found later in the order
 * added. key and data may be NULL when their length is 0.
 * Results: 0; ENOMEM when a length or the file would pass 2^60 - 1 bytes, or
 * memory runs out; the errno of a failed write to the database or to the
 * spill file (ENOSPC, ...); EBUSY when the builder was made by another
 * process (inherited across fork). After a failure the builder only
 * reports that failure again: commit it or abort it to free it. */
int qef64_builder_add(qef64_builder *b, const void *key, size_t key_len,
                      const void *data, size_t data_len);

/* Finishes the database and puts it in place: reads back what was spilled,
 * writes the hash tables and the header, fsync(2)s the file, gives it a
 * temporary name if it has none, closes it, renames it onto path (readers
 * see the old file or the new one, never a mix) and fsync(2)s the
 * directory. The file is byte for byte what qef64make builds from the same
 * records in the same order, whatever the memory budget. Frees b in every
 * case.
 * Results: 0; the first failure of the builder or of these steps (ENOSPC,
 * or EIO from reading the spill file back, ...), after which no file of the
 * build is left and path is untouched; or the errno of the directory's
 * fsync(2), in which case path already names the new file but the rename
 * may not have reached the disk. */
int qef64_builder_commit(qef64_builder *b);

/* Abandons the build: removes the files of the build, leaves path untouched
 * and frees b. In a process that inherited the builder across fork, only frees
 * this process's copy. NULL is ignored. */
void qef64_builder_abort(qef64_builder *b);

#ifdef __cplusplus
}
#endif

#endif /* QEF64_QEF64_H */
