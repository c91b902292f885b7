// The reading half of the C interface: an open database is the reader
// engine's mapping, shared read-only by every thread; each lookup or walk
// keeps its own state in the caller's cursor or iterator, or on the stack.

#include "api/database.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "db/check.h"
#include "db/format.h"
#include "db/pages.h"
#include "db/reader.h"
#include "db/shard.h"
#include "qef64/qef64.h"

struct qef64_db {
  // The mapping (map_addr, map_size); the lookup fields of this copy are
  // never used, since every call works on a copy of its own.
  qef64::db_reader mapping;
  std::uint64_t count;
  // The file as the path named it at open, for qef64_replaced; path is null
  // for a database opened by descriptor. A file written in place keeps its
  // inode, but not its size, mtime and ctime.
  dev_t dev;
  ino_t ino;
  off_t size;
  timespec mtime;
  timespec ctime;
  char* path;
  // How the last batch found the file, for the next one's fetch: one of
  // the fetch_* values, read and written by any thread (std::atomic_ref).
  int fetch_hint;
  // Where the records end and the tables begin (descriptor 0's position,
  // clamped to the file).
  std::int64_t records_end;
  // The background warming: a thread reading through warm_fd (its own
  // descriptor) until it is done or stop_warming is set.
  bool warming;
  bool stop_warming;  // set by qef64_close, read by the thread: atomically
  pthread_t warmer;
  int warm_fd;
  unsigned warm_flags;
  // A second mapping of the file for walks, which read it front to back:
  // advised for sequential access, so that the kernel reads ahead in large
  // pieces (and maps them whole), while the lookups' mapping reads single
  // pages. Walks give their records at these addresses. Null when it could
  // not be made: walks then use the lookups' mapping.
  const unsigned char* walk_addr;
};

namespace qef64 {
namespace {

constexpr std::int64_t max_int64 = std::numeric_limits<std::int64_t>::max();

// The path made absolute with the working directory of this moment, so that
// a later chdir does not change which file qef64_replaced looks at. Null
// when there is no memory; the working directory unknown, the path as given.
char* absolute_path(const char* path) {
  char cwd[4096];
  bool relative = path[0] != '/' && ::getcwd(cwd, sizeof cwd) != nullptr;
  std::size_t head = relative ? std::strlen(cwd) + 1 : 0;
  std::size_t len = std::strlen(path);
  auto* p = static_cast<char*>(std::malloc(head + len + 1));
  if (p == nullptr) return nullptr;
  if (relative) {
    std::memcpy(p, cwd, head - 1);
    p[head - 1] = '/';
  }
  std::memcpy(p + head, path, len + 1);
  return p;
}

// Where the records end, as the header says: descriptor 0's position, the
// first table's; clamped to the file, so that any header gives stretches
// inside it.
std::int64_t records_end_of(const unsigned char* header, std::int64_t size) {
  std::int64_t end = load_i64le(header);
  if (end < db_header_size) return db_header_size;
  return end > size ? size : end;
}

// The header, read into buf (db_header_size bytes). Read from the
// descriptor, not through the mapping: a fault there would bring the first
// page in alone, and the kernel then reads ahead in small pieces for the
// walks that start at that page (twice as slow a cold walk, measured).
void read_header(int fd, const db_reader& r, unsigned char* buf) {
  std::int64_t got = 0;
  while (got < db_header_size) {
    ssize_t n = ::pread(fd, buf + got,
                        static_cast<std::size_t>(db_header_size - got), got);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  if (got < db_header_size)
    std::memcpy(buf, r.map_addr, static_cast<std::size_t>(db_header_size));
}

int open_mapped(int fd, const char* path, qef64_db** out) {
  auto* db = static_cast<qef64_db*>(std::calloc(1, sizeof(qef64_db)));
  if (db == nullptr) return ENOMEM;
  struct stat st;
  if (::fstat(fd, &st) == -1 || reader_map(&db->mapping, fd) == -1) {
    int e = errno;
    std::free(db);
    return e;
  }
  // A lookup touches a page or two: a fault should read those, not the
  // megabytes of read-around that the default advice reads with each (the
  // header's, should a lookup bring it in).
  pages_advise_random(&db->mapping);
  unsigned char header[db_header_size];
  read_header(fd, db->mapping, header);
  // A file whose header does not describe it is refused here, so that no
  // lookup meets a table outside the file or a count that means nothing.
  // check_header reads nothing past the header of the map it is given.
  db_layout layout;
  if (check_header(header, db->mapping.map_size, &layout, nullptr) == -1) {
    reader_free(&db->mapping);
    std::free(db);
    return EPROTO;
  }
  db->dev = st.st_dev;
  db->ino = st.st_ino;
  db->size = st.st_size;
  db->mtime = st.st_mtim;
  db->ctime = st.st_ctim;
  db->count = static_cast<std::uint64_t>(layout.records);
  db->records_end = records_end_of(header, db->mapping.map_size);
  db->warm_fd = -1;
  db->walk_addr = pages_map_sequential(fd, db->mapping.map_size);
  if (path != nullptr) {
    db->path = absolute_path(path);
    if (db->path == nullptr) {
      pages_unmap(db->walk_addr, db->mapping.map_size);
      reader_free(&db->mapping);
      std::free(db);
      return ENOMEM;
    }
  }
  *out = db;
  return 0;
}

// The data of the record a lookup on r found, as pointers into the mapping:
// 0, or EPROTO when the record's data does not lie inside the file.
int found_data(const db_reader& r, const void** data, std::size_t* data_len) {
  std::int64_t pos = r.data_pos;
  std::int64_t len = r.data_len;
  if (pos < 0 || len < 0 || pos > r.map_size || r.map_size - pos < len)
    return EPROTO;
  *data = r.map_addr + pos;
  *data_len = static_cast<std::size_t>(len);
  return 0;
}

// One call of reader_find_next on a lookup state of the caller's, turned
// into an interface result with the data located.
int find_next(db_reader* r, const void* key, std::size_t key_len,
              const void** data, std::size_t* data_len) {
  *data = nullptr;
  *data_len = 0;
  // No record of a file that fits in the 64-bit file space has a longer key.
  if (key_len > static_cast<std::size_t>(max_int64)) return QEF64_NOTFOUND;
  int found = reader_find_next(r, static_cast<const unsigned char*>(key),
                               static_cast<std::int64_t>(key_len));
  if (found == -1) return errno;
  if (found == 0) return QEF64_NOTFOUND;
  int rc = found_data(*r, data, data_len);
  if (rc != 0) *data = nullptr;
  return rc;
}

// A cursor is the lookup fields of a reader. One that is not fresh must be
// one a lookup could have left behind: a table that fits the 64-bit file
// space and a next slot inside it, or the engine's slot arithmetic could
// overflow.
bool cursor_valid(const std::uint64_t* c) {
  auto probes = static_cast<std::int64_t>(c[0]);
  auto next = static_cast<std::int64_t>(c[2]);
  auto table = static_cast<std::int64_t>(c[3]);
  auto slots = static_cast<std::int64_t>(c[4]);
  if (probes == 0) return true;
  if (probes < 0 || slots <= 0 || table < 0 ||
      slots > (max_int64 - table) / db_slot_size)
    return false;
  return next >= table && next - table < slots * db_slot_size &&
         (next - table) % db_slot_size == 0;
}

// ---- Warming ----

constexpr unsigned known_flags = QEF64_WARM_TABLES | QEF64_WARM_ALL |
                                 QEF64_WARM_BACKGROUND | QEF64_LOCK_TABLES;

// Reads [pos, pos + len) in through fd and maps it into the lookups' mapping
// a piece at a time, each piece while it is still in memory, so that a
// lookup then takes no fault on it either: on a virtual machine a fault that
// maps a page already in memory costs several microseconds, a sixth of what
// a cold lookup with warm tables spends on the processor. Pages locked as
// they fault in stay.
int read_in_mapped(qef64_db* db, int fd, std::int64_t pos, std::int64_t len,
                   const bool* stop) {
  constexpr std::int64_t piece = std::int64_t{32} << 20;
  while (len > 0) {
    std::int64_t n = len < piece ? len : piece;
    if (pages_read_in(fd, pos, n, stop) == -1) return -1;
    pages_populate(&db->mapping, pos, n, stop);
    pos += n;
    len -= n;
  }
  return 0;
}

// Reads in what the flags ask for, through fd, with the header and the tables
// mapped in as well: the work of the open, or of the background thread.
int warm(qef64_db* db, int fd, const bool* stop) {
  const db_reader& m = db->mapping;
  int rc = read_in_mapped(db, fd, 0, db_header_size, stop);
  if (rc == 0 && (db->warm_flags & QEF64_WARM_ALL) != 0)
    rc = pages_read_in(fd, db_header_size, db->records_end - db_header_size,
                       stop);
  if (rc == 0)
    rc = read_in_mapped(db, fd, db->records_end, m.map_size - db->records_end,
                        stop);
  return rc == -1 ? errno : 0;
}

void* warm_in_background(void* arg) {
  auto* db = static_cast<qef64_db*>(arg);
  // A failed warming costs only speed; nobody is left to report it to.
  (void)warm(db, db->warm_fd, &db->stop_warming);
  (void)::close(db->warm_fd);
  db->warm_fd = -1;
  return nullptr;
}

// The flags' work on a freshly opened database, whose file is open on fd:
// 0 or an errno, the database still to be closed by the caller on failure.
int start_warming(qef64_db* db, int fd, unsigned flags) {
  db->warm_flags = flags;
  if ((flags & QEF64_LOCK_TABLES) != 0) {
    // Checked before anything is read: RLIMIT_MEMLOCK fails the open here.
    if (pages_lock(&db->mapping, 0, db_header_size) == -1 ||
        pages_lock(&db->mapping, db->records_end,
                   db->mapping.map_size - db->records_end) == -1)
      return errno;
  }
  if ((flags & QEF64_WARM_BACKGROUND) == 0) return warm(db, fd, nullptr);
  db->warm_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (db->warm_fd == -1) return errno;
  int rc = ::pthread_create(&db->warmer, nullptr, warm_in_background, db);
  if (rc != 0) {
    (void)::close(db->warm_fd);
    db->warm_fd = -1;
    return rc;
  }
  db->warming = true;
  return 0;
}

void stop_warming(qef64_db* db) {
  if (!db->warming) return;
  __atomic_store_n(&db->stop_warming, true, __ATOMIC_RELAXED);
  (void)::pthread_join(db->warmer, nullptr);
  db->warming = false;
}

// ---- Batches on cold files ----
//
// A batch's lookups are fetched from memory (prefetch instructions) while
// the file is in the page cache, and read in from the device (madvise
// WILLNEED, deeper ring) while it is not. Each database remembers what the
// last batch met:
//   fetch_memory   the last batch ran at memory speed: go on, at no cost;
//   fetch_device   it waited on the device, or the file is new to us: the
//                  next batch samples a few of its keys' first pages with
//                  mincore(2), a microsecond or two each, and reads in
//                  unless all of them are in memory.
// A batch fetched from memory is timed (two clock reads); one slower per key
// than a page fault can be at memory speed hands the next batch to the
// sampling. A batch reads in for nothing only when a few faults made it
// slow, and a cold batch fetched from memory runs at one fault at a time,
// at worst one batch long.

constexpr int fetch_device = 0;  // also the state of a new database
constexpr int fetch_memory = 1;
// Keys decided on together: small enough that a change is met soon, large
// enough that deciding costs nothing beside the batch, and that the ring's
// filling and draining at its ends (lookups not overlapped) stay a sliver
// of it.
constexpr std::size_t fetch_batch = 1024;
// Keys sampled per batch; one is enough to find a cold file, several keep a
// file that is partly in memory on the device's path.
constexpr std::size_t fetch_samples = 8;
// Nanoseconds per key beyond which a batch fetched from memory waited on
// the device: a read takes tens of microseconds, while a warm lookup takes
// a fraction of one and a page fault on a page in memory about one.
constexpr std::int64_t slow_key_ns = 4000;

std::int64_t now_ns() {
  struct timespec t;
  (void)::clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000 + t.tv_nsec;
}

struct batch_source {
  const db_reader* r;  // all keys in r, unless each is not null
  reader_of each;
  const void* context;
};

const db_reader* reader_for(const batch_source& src, std::size_t i) {
  return src.each == nullptr ? src.r : src.each(src.context, i);
}

batch_fetch sample_fetch(const batch_source& src, std::size_t at, std::size_t n,
                         const void* const keys[],
                         const std::size_t key_lens[]) {
  std::size_t samples = n < fetch_samples ? n : fetch_samples;
  for (std::size_t s = 0; s < samples; s++) {
    std::size_t i = at + s * n / samples;
    if (key_lens[i] > static_cast<std::size_t>(max_int64)) continue;
    if (!reader_in_memory(reader_for(src, i),
                          static_cast<const unsigned char*>(keys[i]),
                          static_cast<std::int64_t>(key_lens[i])))
      return batch_fetch::device;
  }
  return batch_fetch::memory;
}

// reader_find_many over the keys, batch by batch, each fetched as hint
// (a database's fetch_hint) says: the C interface's result.
int find_batches(int* hint, const batch_source& src, std::size_t n,
                 const void* const keys[], const std::size_t key_lens[],
                 const void* data[], std::size_t data_lens[]) {
  std::atomic_ref<int> last(*hint);
  int rc = 0;
  for (std::size_t at = 0; at < n; at += fetch_batch) {
    std::size_t k = n - at < fetch_batch ? n - at : fetch_batch;
    batch_fetch fetch = batch_fetch::memory;
    if (last.load(std::memory_order_relaxed) != fetch_memory)
      fetch = sample_fetch(src, at, k, keys, key_lens);
    std::int64_t start = fetch == batch_fetch::memory ? now_ns() : 0;
    // Key i of this batch is key at + i of the call.
    batch_source part = {src.r, src.each, src.context};
    struct shifted {
      const batch_source* src;
      std::size_t at;
    } shift = {&src, at};
    if (src.each != nullptr) {
      part.each = [](const void* context, std::size_t i) {
        const auto* s = static_cast<const shifted*>(context);
        return s->src->each(s->src->context, s->at + i);
      };
      part.context = &shift;
    }
    std::size_t failed =
        reader_find_many(part.r, part.each, part.context, k, keys + at,
                         key_lens + at, data + at, data_lens + at, fetch);
    if (failed != k && rc == 0) rc = EPROTO;
    int met = fetch_device;
    if (fetch == batch_fetch::memory &&
        now_ns() - start <= slow_key_ns * static_cast<std::int64_t>(k))
      met = fetch_memory;
    if (last.load(std::memory_order_relaxed) != met)
      last.store(met, std::memory_order_relaxed);
  }
  return rc;
}

}  // namespace

const db_reader& database_mapping(const qef64_db* db) {
  return db->mapping;
}

int database_reopen(const qef64_db* db) {
  if (db->path == nullptr) return -1;
  int e = errno;
  int fd = ::open(db->path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd != -1 &&
      (::fstat(fd, &st) == -1 || st.st_dev != db->dev || st.st_ino != db->ino ||
       st.st_size != db->mapping.map_size)) {
    (void)::close(fd);
    fd = -1;
  }
  errno = e;
  return fd;
}

}  // namespace qef64

using qef64::db_reader;

extern "C" {

const char* qef64_version(void) {
  return QEF64_VERSION_STRING;
}

const char* qef64_strerror(int rc) {
  if (rc == 0) return "success";
  if (rc == QEF64_NOTFOUND) return "no such record";
  if (rc < 0) return "unknown result";
  if (rc == EPROTO) return "not a database, or a damaged one";
  return std::strerror(rc);
}

int qef64_open(const char* path, qef64_db** db) {
  *db = nullptr;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return errno;
  int rc = qef64::open_mapped(fd, path, db);
  // The mapping keeps the file; the descriptor has done its work.
  (void)::close(fd);
  return rc;
}

int qef64_open_fd(int fd, qef64_db** db) {
  *db = nullptr;
  return qef64::open_mapped(fd, nullptr, db);
}

int qef64_open_ex(const char* path, unsigned flags, qef64_db** db) {
  *db = nullptr;
  constexpr unsigned warming =
      QEF64_WARM_TABLES | QEF64_WARM_ALL | QEF64_LOCK_TABLES;
  if ((flags & ~qef64::known_flags) != 0 ||
      ((flags & QEF64_WARM_BACKGROUND) != 0 && (flags & warming) == 0))
    return EINVAL;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return errno;
  int rc = qef64::open_mapped(fd, path, db);
  if (rc == 0 && flags != 0) {
    rc = qef64::start_warming(*db, fd, flags);
    if (rc != 0) {
      qef64_close(*db);
      *db = nullptr;
    }
  }
  (void)::close(fd);
  return rc;
}

void qef64_close(qef64_db* db) {
  if (db == nullptr) return;
  qef64::stop_warming(db);
  qef64::pages_unmap(db->walk_addr, db->mapping.map_size);
  qef64::reader_free(&db->mapping);
  std::free(db->path);
  std::free(db);
}

uint64_t qef64_count(const qef64_db* db) {
  return db->count;
}

int qef64_replaced(const qef64_db* db) {
  if (db->path == nullptr) return 0;
  struct stat st;
  if (::stat(db->path, &st) == -1) return 1;
  auto same_time = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  bool same = st.st_dev == db->dev && st.st_ino == db->ino &&
              st.st_size == db->size && same_time(st.st_mtim, db->mtime) &&
              same_time(st.st_ctim, db->ctime);
  return same ? 0 : 1;
}

int qef64_get(const qef64_db* db, const void* key, size_t key_len,
              const void** data, size_t* data_len) {
  db_reader r = db->mapping;
  qef64::reader_find_start(&r);
  return qef64::find_next(&r, key, key_len, data, data_len);
}

int qef64_find_next(const qef64_db* db, qef64_cursor* cur, const void* key,
                    size_t key_len, const void** data, size_t* data_len) {
  std::uint64_t* c = cur->qef64_private;
  if (!qef64::cursor_valid(c)) {
    *data = nullptr;
    *data_len = 0;
    return EINVAL;
  }
  db_reader r = db->mapping;
  r.probe_count = static_cast<std::int64_t>(c[0]);
  r.key_hash = c[1];
  r.next_slot_pos = static_cast<std::int64_t>(c[2]);
  r.table_pos = static_cast<std::int64_t>(c[3]);
  r.table_slots = static_cast<std::int64_t>(c[4]);
  int rc = qef64::find_next(&r, key, key_len, data, data_len);
  c[0] = static_cast<std::uint64_t>(r.probe_count);
  c[1] = r.key_hash;
  c[2] = static_cast<std::uint64_t>(r.next_slot_pos);
  c[3] = static_cast<std::uint64_t>(r.table_pos);
  c[4] = static_cast<std::uint64_t>(r.table_slots);
  return rc;
}

int qef64_get_many(const qef64_db* db, size_t n, const void* const keys[],
                   const size_t key_lens[], const void* data[],
                   size_t data_lens[]) {
  qef64::batch_source src = {&db->mapping, nullptr, nullptr};
  // The hint is advice shared by the threads of a const database.
  int* hint = const_cast<int*>(&db->fetch_hint);
  return qef64::find_batches(hint, src, n, keys, key_lens, data, data_lens);
}

int qef64_get_many_in(const qef64_db* const dbs[], size_t n,
                      const void* const keys[], const size_t key_lens[],
                      const void* data[], size_t data_lens[]) {
  if (n == 0) return 0;
  auto reader_of_key = [](const void* context, std::size_t i) {
    return &static_cast<const qef64_db* const*>(context)[i]->mapping;
  };
  qef64::batch_source src = {nullptr, reader_of_key, dbs};
  // The databases of one batch, such as a set's shards, are mostly all
  // cold or all warm together: the first key's remembers for all of them.
  int* hint = const_cast<int*>(&dbs[0]->fetch_hint);
  return qef64::find_batches(hint, src, n, keys, key_lens, data, data_lens);
}

int qef64_resident(const qef64_db* db, uint64_t* table_bytes,
                   uint64_t* record_bytes) {
  using namespace qef64;
  const db_reader& m = db->mapping;
  std::uint64_t tables = 0, records = 0;
  if (pages_resident(&m, 0, db_header_size, &tables) == -1 ||
      pages_resident(&m, db->records_end, m.map_size - db->records_end,
                     &tables) == -1 ||
      pages_resident(&m, db_header_size, db->records_end - db_header_size,
                     &records) == -1)
    return errno;
  if (table_bytes != nullptr) *table_bytes = tables;
  if (record_bytes != nullptr) *record_bytes = records;
  return 0;
}

uint64_t qef64_shard_hash(const void* key, size_t key_len) {
  // No object in memory is longer than the signed length can count.
  const auto* p = static_cast<const unsigned char*>(key);
  return qef64::db_shard_hash(p, static_cast<std::int64_t>(key_len));
}

int qef64_iter_next(const qef64_db* db, qef64_iter* it, const void** key,
                    size_t* key_len, const void** data, size_t* data_len) {
  using namespace qef64;
  *key = nullptr;
  *data = nullptr;
  *key_len = 0;
  *data_len = 0;
  // Measured on 10M records cold: a walk of this mapping takes a quarter of
  // the CPU time of the same walk through the lookups' one, and madvise
  // MADV_WILLNEED windows there, which bring the file in as single pages,
  // take half again.
  db_reader m = db->mapping;
  if (db->walk_addr != nullptr) m.map_addr = db->walk_addr;
  auto pos = static_cast<std::int64_t>(it->qef64_private[0]);
  if (pos == 0) pos = db_header_size;
  if (pos < db_header_size || pos > m.map_size || it->qef64_private[1] != 0)
    return EINVAL;
  // Descriptor 0 names the first table, which starts where the records end.
  if (pos >= db->records_end) return QEF64_NOTFOUND;
  if (m.map_size - pos < db_record_header_size) return EPROTO;
  std::int64_t klen = load_i64le(m.map_addr + pos);
  std::int64_t dlen = load_i64le(m.map_addr + pos + 8);
  std::int64_t room = m.map_size - pos - db_record_header_size;
  if (klen < 0 || dlen < 0 || klen > room || dlen > room - klen) return EPROTO;
  const unsigned char* k = m.map_addr + pos + db_record_header_size;
  *key = k;
  *key_len = static_cast<size_t>(klen);
  *data = k + klen;
  *data_len = static_cast<size_t>(dlen);
  it->qef64_private[0] =
      static_cast<std::uint64_t>(pos + db_record_header_size + klen + dlen);
  return 0;
}

}  // extern "C"
