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
 *   a positive errno  failure; EPROTO means a file that is not a database
 *                     or a damaged one (a header that does not fit the
 *                     file, a position or length that points outside it),
 *                     and qef64_strerror(EPROTO) says so.
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
 * Damaged files. Opening checks the header against the file (the tables
 * back to back after the records, ending at the end of the file, with slot
 * counts that fit the records), so that a file that is not a database is
 * refused with EPROTO at once. Every lookup, walk and count stays inside the
 * file, with every position and length checked against its size; damage
 * inside the records or the tables gives EPROTO or QEF64_NOTFOUND, never a
 * read outside the mapping and never an endless loop, and qef64_verify finds
 * it. (A file truncated or rewritten by someone else while it is mapped is
 * another matter: its readers see the new bytes, and the system raises
 * SIGBUS on access past its new end. Databases are replaced by rename, never
 * rewritten in place, which is what makes that safe; qef64(3) says what
 * replaces a file by rename and what does not.)
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
const char* qef64_version(void);

/* A text for any result of this interface: "success" for 0, "no such
 * record" for QEF64_NOTFOUND, "not a database, or a damaged one" for
 * EPROTO, strerror's text for any other errno value. The text is static;
 * it stays valid. */
const char* qef64_strerror(int rc);

/* ---- Reading ----------------------------------------------------------- */

/* Opens the database at path and maps the whole file read-only; the file's
 * descriptor is closed again before this returns. *db is the new handle on
 * success, NULL on failure. The header is checked against the file (256
 * descriptors, well under a microsecond); the records and the slots are
 * not read (qef64_verify reads them).
 * Results: 0; the errno of open(2), fstat(2) or mmap(2) (a file that cannot
 * be mapped fails here); EISDIR for a directory; EPROTO for a file that is
 * not a database: shorter than the 4096-byte header, or one whose header
 * does not describe it (a table outside the file, tables that do not follow
 * each other from the end of the records to the end of the file, an odd
 * slot count, more slots than the records have room for). */
int qef64_open(const char* path, qef64_db** db);

/* As qef64_open, on a descriptor open for reading. The descriptor is neither
 * taken nor closed: the caller keeps it and may close it at once. */
int qef64_open_fd(int fd, qef64_db** db);

/* Unmaps the file and frees the handle. Every pointer the database returned
 * becomes invalid. NULL is ignored. */
void qef64_close(qef64_db* db);

/* The number of records in the file (half its total slot count; equal to
 * what a qef64_iter walk visits in any database this library or qef64make
 * built). */
uint64_t qef64_count(const qef64_db* db);

/* 1 when the path the database was opened by now names another file, or no
 * file (it was replaced or removed: time to open it again), or when the file
 * is the same one but its size, mtime or ctime changed since the open (it
 * was written in place, by cp or rsync --inplace: its bytes under the
 * mapping may have changed; chmod, which changes the ctime alone, also
 * counts); 0 while it still names this file unchanged, and always 0 for
 * qef64_open_fd. A relative path is taken from the working directory at
 * qef64_open. Costs one stat(2). */
int qef64_replaced(const qef64_db* db);

/* The key's first record, in the order the records were added. On 0,
 * *data and *data_len are its data (a pointer into the mapping, valid until
 * qef64_close); otherwise they are NULL and 0.
 * Results: 0; QEF64_NOTFOUND; EPROTO for a damaged file. key may be NULL
 * when key_len is 0 (the empty key is a key like any other). */
int qef64_get(const qef64_db* db, const void* key, size_t key_len,
              const void** data, size_t* data_len);

/* The key's records one by one, in the order they were added: the first call
 * with a fresh cursor (QEF64_CURSOR_INIT) gives the first record, each
 * further call with the same cursor and the same key the next one, and
 * QEF64_NOTFOUND after the last (and on every call after that).
 * Results: 0 with *data, *data_len set; QEF64_NOTFOUND; EPROTO for a
 * damaged file; EINVAL for a cursor that no lookup could have left. */
int qef64_find_next(const qef64_db* db, qef64_cursor* cur, const void* key,
                    size_t key_len, const void** data, size_t* data_len);

/* The first record of each of n keys, as n calls of qef64_get would give
 * them, but with the memory accesses of many lookups overlapped, and on a
 * file whose pages are not in memory with the device reads of a whole
 * batch started together (qef64(3) says how it decides): for key i,
 * data[i] and data_lens[i] are its first record's data, or NULL and 0 when
 * it has none or its lookup failed.
 * Results: 0 when no lookup failed (keys without records included); else
 * the result of the first key, in key order, whose lookup failed (EPROTO).
 * Every key is looked up either way. */
int qef64_get_many(const qef64_db* db, size_t n, const void* const keys[],
                   const size_t key_lens[], const void* data[],
                   size_t data_lens[]);

/* As qef64_get_many, but key i is looked up in dbs[i]: one batch over
 * several databases, such as the shards of a sharded set, with the lookups
 * of all of them in flight together. A database may appear any number of
 * times. Results: as qef64_get_many. */
int qef64_get_many_in(const qef64_db* const dbs[], size_t n,
                      const void* const keys[], const size_t key_lens[],
                      const void* data[], size_t data_lens[]);

/* Every record, in file order (the order added), a key added twice coming
 * twice: start with QEF64_ITER_INIT; each call gives the next record's key
 * and data, then QEF64_NOTFOUND at the end and on every call after it. The
 * pointers point into a second mapping of the file, which reads ahead for
 * walks: the bytes a lookup gives, at another address; valid until
 * qef64_close too.
 * Results: 0; QEF64_NOTFOUND; EPROTO for a damaged file (a record that runs
 * past the end of the file); EINVAL for an iterator no walk could have
 * left. */
int qef64_iter_next(const qef64_db* db, qef64_iter* it, const void** key,
                    size_t* key_len, const void** data, size_t* data_len);

/* ---- Cold files: warming and residency -------------------------------- */

/* Flags of qef64_open_ex. Every mapping the library makes is advised for
 * random access, so that a lookup on a cold file reads only the pages it
 * touches (two, mostly: a slot, then a record) rather than a read-around
 * window of megabytes. Warming reads sequentially, at the device's speed.
 *
 * QEF64_WARM_TABLES      reads the header and the hash tables (16 bytes a
 *                        slot, 32 a record) into memory: a cold lookup then
 *                        needs one read, its record's page.
 * QEF64_WARM_ALL         reads the whole file.
 * QEF64_WARM_BACKGROUND  warms in a thread of the library's own, so that
 *                        qef64_open_ex returns at once; lookups work
 *                        meanwhile. qef64_close stops the thread first.
 * QEF64_LOCK_TABLES      locks the header and the tables in memory
 *                        (mlock(2)), so that memory pressure never evicts
 *                        them; they are read in first. Fails the open with
 *                        ENOMEM or EPERM when RLIMIT_MEMLOCK forbids it. */
#define QEF64_WARM_TABLES 0x1u
#define QEF64_WARM_ALL 0x2u
#define QEF64_WARM_BACKGROUND 0x4u
#define QEF64_LOCK_TABLES 0x8u

/* As qef64_open, with the flags above (0 is qef64_open).
 * Results: those of qef64_open; EINVAL for an unknown flag, or
 * QEF64_WARM_BACKGROUND with nothing to warm (none of the other three);
 * ENOMEM or EPERM when RLIMIT_MEMLOCK does not allow the tables to be
 * locked; EAGAIN when the warming thread cannot start; the errno of
 * read(2) while warming in the foreground. */
int qef64_open_ex(const char* path, unsigned flags, qef64_db** db);

/* How much of the database is in memory now (the page cache), in bytes:
 * *table_bytes of the header and the hash tables, *record_bytes of the
 * records. For a service's health page; it costs one mincore(2) pass over
 * the mapping, about a millisecond a gigabyte. Either pointer may be NULL.
 * Results: 0; the errno of mincore(2) or ENOMEM. */
int qef64_resident(const qef64_db* db, uint64_t* table_bytes,
                   uint64_t* record_bytes);

/* ---- Structure and verification ---------------------------------------- */

/* The shape of a database, as qef64_get_info reports it. */
typedef struct qef64_info {
  uint64_t records;       /* as qef64_count */
  uint64_t file_bytes;    /* the size of the file */
  uint64_t record_bytes;  /* the records: from the header to the tables */
  uint64_t table_bytes;   /* the header and the hash tables */
  uint64_t slots;         /* all tables together */
  uint64_t longest_probe; /* the most slots a lookup of a present key
                             examines, its own slot included (1 when every
                             record sits in its start slot; 0 when empty) */
} qef64_info;

/* Fills *info. Reads every slot for longest_probe: one pass over the
 * tables, as qef64_verify reads them (about a third of a 10-million-record
 * file of short records; no record is read). A slot that no lookup of its
 * hash reaches, in a damaged table, is left out.
 * Results: 0; EPROTO for a header that does not describe the file (which
 * qef64_open refuses already); the errno of read(2). */
int qef64_get_info(const qef64_db* db, qef64_info* info);

/* Where a verification found the first problem. */
typedef struct qef64_problem {
  uint64_t offset;  /* byte offset in the file (a shard's, for a set) of
                       the record, slot or header field that is wrong; 0
                       for a problem of a set's manifest */
  size_t shard;     /* the shard it lies in; (size_t)-1 for one database,
                       or for the set's manifest and directory */
  const char* what; /* static text: what is wrong there, one line */
} qef64_problem;

/* The deep check of one file: every record lies inside the records and
 * can be reached by its key from its table; every non-empty slot names a
 * record whose key has the slot's hash and table, and no other slot names
 * it; the records end where the first table begins; each table has twice
 * as many slots as records. A table laid out otherwise than qef64make lays
 * it out passes when all of that holds.
 * Reads the whole file once, sequentially, by read(2) on the file opened
 * again by its path when it is still the same file, else through the
 * mapping. Memory: 16 bytes a record and 48 a record of the largest table,
 * up to 256 MiB; a file with more records has its records read once more
 * for every further 256 MiB (16 million records) or part of it, and a
 * single table larger than that takes what it needs.
 * Results: 0 when sound; EPROTO when damaged; ENOMEM; the errno of
 * read(2). */
int qef64_verify(const qef64_db* db);

/* As qef64_verify; on EPROTO, *problem (when not NULL) says where and
 * what: the first problem in the order the check goes, the header, then
 * the records front to back, then table by table (its slots in order, then
 * its records, then its slot count), with the file offset of the header
 * field, record or slot concerned. */
int qef64_verify_problem(const qef64_db* db, qef64_problem* problem);

/* ---- Sharded sets ------------------------------------------------------ */

/* The 64-bit hash that places a key in a sharded set: its records live in
 * shard qef64_shard_hash(key) % shard count. 64-bit FNV-1a over the key
 * bytes, then the splitmix64 finaliser; independent of the hash that picks
 * a table inside each shard. Documented, with test vectors, in qef64(5):
 * the empty key gives 17665956581633026203, "a" 198367012849983736. key
 * may be NULL when key_len is 0. */
uint64_t qef64_shard_hash(const void* key, size_t key_len);

/* ---- Sharded sets: reading --------------------------------------------- */

/* A sharded set is a directory: each version is a subdirectory holding
 * manifest.json, SHA256SUMS and the shard files shard-00000.qef64, ...;
 * the symbolic link `current` names the version in use and `previous` the
 * one before it. A key's records are all in shard
 * qef64_shard_hash(key) % shard count. qef64(5) documents the layout.
 *
 * An open set holds the version it opened, whatever is published later;
 * every reading call follows the rules of the same call on one database
 * (threads, pointers valid until qef64_set_close). */
typedef struct qef64_set qef64_set;

/* Opens a set's directory (the version `current` names) or one version's
 * directory. Checks the manifest and every shard's size and record count
 * against it, which reads nothing of the shards; each shard is opened as
 * qef64_open opens a file. A version removed by a publication between the
 * reading of `current` and the opening of its shards is followed to its
 * successor.
 * Results: 0; ENOENT for a missing set, a set never published, a version
 * without manifest.json or a missing shard; EPROTO for a damaged manifest
 * (unknown format, version or shard hash, counts that do not add up, a
 * shard file outside the version's directory), a shard of the wrong size
 * or record count, or a damaged shard; the errors of qef64_open. */
int qef64_set_open(const char* path, qef64_set** set);

/* As qef64_set_open, each shard opened with qef64_open_ex's flags. */
int qef64_set_open_ex(const char* path, unsigned flags, qef64_set** set);

/* Closes every shard and frees the handle. NULL is ignored. */
void qef64_set_close(qef64_set* set);

uint64_t qef64_set_count(const qef64_set* set); /* records, all shards */
size_t qef64_set_shards(const qef64_set* set);
/* Shard i, valid until qef64_set_close (which closes it). */
const qef64_db* qef64_set_shard(const qef64_set* set, size_t i);
/* The name of the version directory this set holds ("v-..."). */
const char* qef64_set_version(const qef64_set* set);
/* 1 when `current` names another version now, or nothing; 0 otherwise,
 * and always 0 for a set opened by a version's directory. */
int qef64_set_replaced(const qef64_set* set);

/* As qef64_get, qef64_find_next, qef64_get_many and qef64_iter_next, over
 * the whole set; get_many is one batch over every shard. Iteration gives
 * shard 0 first, each shard in file order. */
int qef64_set_get(const qef64_set* set, const void* key, size_t key_len,
                  const void** data, size_t* data_len);
int qef64_set_find_next(const qef64_set* set, qef64_cursor* cur,
                        const void* key, size_t key_len, const void** data,
                        size_t* data_len);
int qef64_set_get_many(const qef64_set* set, size_t n, const void* const keys[],
                       const size_t key_lens[], const void* data[],
                       size_t data_lens[]);
int qef64_set_iter_next(const qef64_set* set, qef64_iter* it, const void** key,
                        size_t* key_len, const void** data, size_t* data_len);

/* As qef64_resident, summed over the shards. */
int qef64_set_resident(const qef64_set* set, uint64_t* table_bytes,
                       uint64_t* record_bytes);

/* Checks sizes, the SHA-256 of every shard against the manifest (where the
 * manifest has them: sets published before checksums have none) and each
 * shard's structure (qef64_verify), the first problem in that order; of
 * several damaged shards, the first is reported. Reads the file each
 * shard's mapping serves (by position, through a descriptor of the same
 * inode, where its path still names it), so it checks what lookups read,
 * and reads it once: the checksum is taken of the bytes the structure's
 * check reads. Two shards are checked at a time, in a second thread where
 * the machine has a second processor; each check uses the memory of
 * qef64_verify.
 * Results: 0; EPROTO; ENOMEM; the errno of reading a shard. */
int qef64_set_verify(const qef64_set* set);
/* As qef64_set_verify; on EPROTO, *problem (when not NULL) says where: the
 * shard, and for a wrong size or checksum offset 0. */
int qef64_set_verify_problem(const qef64_set* set, qef64_problem* problem);

/* ---- Sharded sets: publishing ------------------------------------------ */

/* The one way a version becomes current. Opening takes the set's lock
 * (EWOULDBLOCK while another publication of the set is open) and makes a
 * new, empty version directory, creating the set's directory when it is
 * missing. The shard files are then built into that directory, under the
 * names qef64_publication_shard_path gives, by any means (qef64_builder,
 * other processes, other machines sharing the file system). Commit checks
 * and checksums them, writes SHA256SUMS and the manifest, makes everything
 * durable and swaps `current`; every crash state holds the old version or
 * the whole new one. */
typedef struct qef64_publication qef64_publication;

/* Results: 0 with *p; EINVAL for 0 shards or more than 1048576;
 * EWOULDBLOCK while another publication of the set is open (the lock is
 * flock(2) on the file .lock in the set's directory, so it holds across
 * processes, and Python's publications take the same); the errno of
 * creating the directories (made with their parents) or the lock file. */
int qef64_publication_open(const char* path, size_t shards,
                           qef64_publication** p);
/* The new version's name ("v-...") and its directory's absolute path,
 * valid until commit or abort. */
const char* qef64_publication_version(const qef64_publication* p);
const char* qef64_publication_dir(const qef64_publication* p);
/* Writes the path of shard i into buf (len bytes, NUL included).
 * Results: 0; EINVAL for i out of range; ENAMETOOLONG when it does not
 * fit. */
int qef64_publication_shard_path(const qef64_publication* p, size_t i,
                                 char* buf, size_t len);
/* Publishes: every shard must be a complete database. Checking and
 * checksumming them, most of the work, runs on up to four threads. Frees
 * p in every case. Results: 0; ENOENT for a missing shard; EPROTO for a damaged
 * one; the errno of a failed write, fsync or rename, after which nothing is
 * published and the version directory is gone; EBUSY in a process other
 * than the one that opened it (inherited across fork), which only frees
 * its copy. One exception: the errno of the fsync(2) of the set's
 * directory that follows the swap, when `current` already names the new
 * version but the swap may not be on disk yet. */
int qef64_publication_commit(qef64_publication* p);
/* Removes the version directory, publishes nothing, releases the lock and
 * frees p. NULL is ignored. */
void qef64_publication_abort(qef64_publication* p);

/* A whole set built in this process: a publication and one qef64_builder
 * per shard, records routed by qef64_shard_hash. Each shard builder keeps
 * its file open (and its spill file, once it spills) and a handle of
 * about 30 KiB, and records wait for it in a stage of up to 64 KiB (8 MiB
 * for all shards together); they commit one after the other, so that one
 * at a time needs its commit-time memory, while a thread of the commit
 * checksums the shards already committed. */
typedef struct qef64_set_builder qef64_set_builder;

/* Results: those of qef64_publication_open (EWOULDBLOCK, ...) and of
 * qef64_builder_open for the shards' files (EMFILE for too many shards
 * for the process's descriptor limit, ...). */
int qef64_set_builder_open(const char* path, size_t shards,
                           qef64_set_builder** b);
/* The index memory of the whole set, all shard builders together (64 MiB
 * unless set), split evenly among them; call it before the first add.
 * Results as qef64_builder_set_memory. */
int qef64_set_builder_set_memory(qef64_set_builder* b, uint64_t bytes);
/* Adds the record to the builder of its key's shard. Results as
 * qef64_builder_add, except that a failure to write a staged record (a
 * full disk, ...) comes from a later add or from the commit; after a
 * failure the builder only reports it again. */
int qef64_set_builder_add(qef64_set_builder* b, const void* key, size_t key_len,
                          const void* data, size_t data_len);
/* Commits every shard, then the publication. Frees b in every case.
 * Results: 0; the builder's first failure, or that of a shard's commit or
 * of the publication's, after which nothing is published and no file of
 * the build remains (with the publication's one exception). */
int qef64_set_builder_commit(qef64_set_builder* b);
/* Publishes nothing, removes every file of the build, frees b. NULL is
 * ignored. */
void qef64_set_builder_abort(qef64_set_builder* b);

/* ---- Building ---------------------------------------------------------- */

/* Starts a database that qef64_builder_commit will put at path. The records
 * go into a new file in the directory of path that has no name while it is
 * written (O_TMPFILE), so that a process killed at any moment leaves
 * nothing behind; where the file system cannot make such a file, into one
 * created under a unique name (".NAME.tmp.*", never following a symbolic
 * link) and removed after any failure. When path names an existing file,
 * the new file gets its permission bits (never set-user-ID, set-group-ID or
 * sticky), and its owner and group where the process may set them, or the
 * group alone where it may set only that, as qef64make does; otherwise mode
 * 0644 as reduced by the umask. *b is the new handle, or NULL on failure.
 * Results: 0; EISDIR when path is a directory (or ends in "/"); ENOENT when
 * its directory does not exist, or path is empty; the errno of creating
 * the file (EACCES, ...). */
int qef64_builder_open(const char* path, qef64_builder** b);

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
int qef64_builder_set_memory(qef64_builder* b, uint64_t bytes);

/* Appends one record. Records of one key are found later in the order
 * added. key and data may be NULL when their length is 0.
 * Results: 0; ENOMEM when a length or the file would pass 2^60 - 1 bytes, or
 * memory runs out; the errno of a failed write to the database or to the
 * spill file (ENOSPC, ...); EBUSY when the builder was made by another
 * process (inherited across fork). After a failure the builder only
 * reports that failure again: commit it or abort it to free it. */
int qef64_builder_add(qef64_builder* b, const void* key, size_t key_len,
                      const void* data, size_t data_len);

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
int qef64_builder_commit(qef64_builder* b);

/* Abandons the build: removes the files of the build, leaves path untouched
 * and frees b. In a process that inherited the builder across fork, only frees
 * this process's copy. NULL is ignored. */
void qef64_builder_abort(qef64_builder* b);

#ifdef __cplusplus
}
#endif

#endif /* QEF64_QEF64_H */
