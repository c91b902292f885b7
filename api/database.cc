// The reading half of the C interface: an open database is the reader
// engine's mapping, shared read-only by every thread; each lookup or walk
// keeps its own state in the caller's cursor or iterator, or on the stack.

#include "api/database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "db/check.h"
#include "db/format.h"
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

int open_mapped(int fd, const char* path, qef64_db** out) {
  auto* db = static_cast<qef64_db*>(std::calloc(1, sizeof(qef64_db)));
  if (db == nullptr) return ENOMEM;
  struct stat st;
  if (::fstat(fd, &st) == -1 || reader_map(&db->mapping, fd) == -1) {
    int e = errno;
    std::free(db);
    return e;
  }
  // A file whose header does not describe it is refused here, so that no
  // lookup meets a table outside the file or a count that means nothing.
  db_layout layout;
  if (check_header(db->mapping.map_addr, db->mapping.map_size, &layout,
                   nullptr) == -1) {
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
  if (path != nullptr) {
    db->path = absolute_path(path);
    if (db->path == nullptr) {
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

void qef64_close(qef64_db* db) {
  if (db == nullptr) return;
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
  std::size_t failed = qef64::reader_find_many(
      &db->mapping, nullptr, nullptr, n, keys, key_lens, data, data_lens);
  return failed == n ? 0 : EPROTO;
}

int qef64_get_many_in(const qef64_db* const dbs[], size_t n,
                      const void* const keys[], const size_t key_lens[],
                      const void* data[], size_t data_lens[]) {
  auto reader_of_key = [](const void* context, std::size_t i) {
    return &static_cast<const qef64_db* const*>(context)[i]->mapping;
  };
  std::size_t failed = qef64::reader_find_many(nullptr, reader_of_key, dbs, n,
                                               keys, key_lens, data, data_lens);
  return failed == n ? 0 : EPROTO;
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
  const db_reader& m = db->mapping;
  auto pos = static_cast<std::int64_t>(it->qef64_private[0]);
  if (pos == 0) pos = db_header_size;
  if (pos < db_header_size || pos > m.map_size || it->qef64_private[1] != 0)
    return EINVAL;
  // Descriptor 0 names the first table, which starts where the records end.
  std::int64_t records_end = load_i64le(m.map_addr);
  if (pos >= records_end) return QEF64_NOTFOUND;
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
