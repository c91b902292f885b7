// The reading half of sharded sets: a set is its version's shards, each an
// open database, and every call routes a key to its shard with
// qef64_shard_hash, the hash its builder routed it by.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api/checksum.h"
#include "api/database.h"
#include "api/manifest.h"
#include "api/parallel.h"
#include "db/reader.h"
#include "db/shard.h"
#include "qef64/qef64.h"

namespace {
struct set_shard {
  qef64_db* db;
  std::uint64_t size;  // from the manifest
  unsigned char sha256[qef64::sha256_size];
  bool has_sha256;
};
}  // namespace

struct qef64_set {
  std::size_t shards;
  std::uint64_t count;
  set_shard* shard;
  // The set's `current` link and what it named at open, for
  // qef64_set_replaced; both null for a version opened by its directory.
  char* link;
  char* target;
  char* version;  // the version directory's name
};

namespace qef64 {
namespace {

// Opens through `current` retry this often when a publication removes the
// version between the reading of the link and the opening of its shards.
constexpr int open_attempts = 8;

// The routing of qef64_shard_hash, inlined.
std::size_t shard_of(const qef64_set* set, const void* key,
                     std::size_t key_len) {
  // No object in memory is longer than the signed length can count.
  std::uint64_t h = db_shard_hash(static_cast<const unsigned char*>(key),
                                  static_cast<std::int64_t>(key_len));
  return static_cast<std::size_t>(h % set->shards);
}

// a + "/" + b, malloc'ed; null when memory runs out.
char* join(const char* a, const char* b) {
  std::size_t la = std::strlen(a);
  std::size_t lb = std::strlen(b);
  char* p = static_cast<char*>(std::malloc(la + lb + 2));
  if (p == nullptr) return nullptr;
  std::memcpy(p, a, la);
  p[la] = '/';
  std::memcpy(p + la + 1, b, lb + 1);
  return p;
}

// The last name of a path, without trailing slashes, malloc'ed.
char* last_name(const char* path) {
  std::size_t end = std::strlen(path);
  while (end > 1 && path[end - 1] == '/')
    end--;
  std::size_t start = end;
  while (start > 0 && path[start - 1] != '/')
    start--;
  char* name = static_cast<char*>(std::malloc(end - start + 1));
  if (name == nullptr) return nullptr;
  std::memcpy(name, path + start, end - start);
  name[end - start] = '\0';
  return name;
}

void destroy(qef64_set* set) {
  if (set->shard != nullptr) {
    for (std::size_t i = 0; i < set->shards; i++)
      qef64_close(set->shard[i].db);
  }
  std::free(set->shard);
  std::free(set->link);
  std::free(set->target);
  std::free(set->version);
  std::free(set);
}

// Opens shard i from its manifest entry and checks it against it: 0, or
// an errno (EPROTO for another size or record count).
int open_shard(qef64_set* set, const char* dir, const manifest_shard& m,
               std::size_t i, unsigned flags) {
  char* path = join(dir, m.file);
  if (path == nullptr) return ENOMEM;
  set_shard& s = set->shard[i];
  int rc =
      flags == 0 ? qef64_open(path, &s.db) : qef64_open_ex(path, flags, &s.db);
  std::free(path);
  if (rc != 0) return rc;
  s.size = m.size;
  s.has_sha256 = m.has_sha256;
  std::memcpy(s.sha256, m.sha256, sha256_size);
  auto size = static_cast<std::uint64_t>(database_mapping(s.db).map_size);
  if (size != m.size || qef64_count(s.db) != m.records) return EPROTO;
  set->count += m.records;
  return 0;
}

// Opens the version in directory dir: 0 with *out, or an errno.
int open_version(const char* dir, const char* link, const char* target,
                 unsigned flags, qef64_set** out) {
  int dir_fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd == -1) return errno;
  manifest_shard* m = nullptr;
  std::size_t n = 0;
  int rc = manifest_read(dir_fd, &m, &n);
  (void)::close(dir_fd);
  if (rc != 0) return rc;
  auto* set = static_cast<qef64_set*>(std::calloc(1, sizeof(qef64_set)));
  if (set == nullptr) {
    std::free(m);
    return ENOMEM;
  }
  set->shards = n;
  set->shard = static_cast<set_shard*>(std::calloc(n, sizeof(set_shard)));
  set->version = last_name(dir);
  if (link != nullptr) {
    set->link = ::strdup(link);
    set->target = ::strdup(target);
  }
  if (set->shard == nullptr || set->version == nullptr ||
      (link != nullptr && (set->link == nullptr || set->target == nullptr)))
    rc = ENOMEM;
  for (std::size_t i = 0; rc == 0 && i < n; i++)
    rc = open_shard(set, dir, m[i], i, flags);
  std::free(m);
  if (rc != 0) {
    destroy(set);
    return rc;
  }
  *out = set;
  return 0;
}

// What the link at path names, into buf (PATH_MAX bytes): 0, or an errno.
int read_link(const char* path, char* buf) {
  ssize_t n = ::readlink(path, buf, PATH_MAX - 1);
  if (n == -1) return errno;
  buf[n] = '\0';
  return 0;
}

// Opens the set whose directory is root (absolute, without symbolic
// links): the version its `current` names, or root itself as a version.
int open_root(const char* root, unsigned flags, qef64_set** out) {
  char* link = join(root, "current");
  if (link == nullptr) return ENOMEM;
  char target[PATH_MAX];
  int rc = read_link(link, target);
  if (rc == ENOENT) {
    rc = open_version(root, nullptr, nullptr, flags, out);
  } else if (rc == EINVAL) {
    rc = EPROTO;  // a `current` that is not a link: not a set of ours
  }
  for (int attempt = 0; rc == 0 && *out == nullptr; attempt++) {
    char* dir = target[0] == '/' ? ::strdup(target) : join(root, target);
    rc = dir == nullptr ? ENOMEM : open_version(dir, link, target, flags, out);
    std::free(dir);
    if (rc != ENOENT || attempt == open_attempts - 1) break;
    // A version removed by a publication since the link was read is no
    // missing shard: the link names its successor by now.
    char again[PATH_MAX];
    if (read_link(link, again) != 0 || std::strcmp(again, target) == 0) break;
    std::memcpy(target, again, sizeof again);
    rc = 0;
  }
  std::free(link);
  return rc;
}

// Keys routed at a time by qef64_set_get_many: their shards fit on the
// stack and their keys in the first-level cache, and each batch is long
// enough that its tail, where fewer lookups are in flight, costs nothing
// to speak of.
constexpr std::size_t route_chunk = 512;

int set_problem(qef64_problem* problem, std::size_t shard, const char* what) {
  if (problem != nullptr) *problem = qef64_problem{0, shard, what};
  return EPROTO;
}

void take_digest(void* ctx, const unsigned char* p, std::int64_t len) {
  sha256_add(static_cast<sha256_stream*>(ctx), p, len);
}

// Shard i of set checked whole: its size, its SHA-256 where the manifest
// has one, its structure; the first problem in that order. The digest is
// taken of the bytes the structure's check reads, as it reads them, so
// that the shard is read once.
int verify_shard(const qef64_set* set, std::size_t i, qef64_problem* problem) {
  const set_shard& s = set->shard[i];
  if (static_cast<std::uint64_t>(database_mapping(s.db).map_size) != s.size)
    return set_problem(problem, i,
                       "the shard's size differs from the manifest");
  sha256_stream digest;
  if (s.has_sha256 && sha256_begin(&digest) != 0) return ENOMEM;
  db_tap tap = {take_digest, &digest, 0};
  qef64_problem p;
  int rc = database_verify(s.db, s.has_sha256 ? &tap : nullptr, &p);
  if (s.has_sha256) {
    unsigned char got[sha256_size];
    int hashed = sha256_end(&digest, got);
    if (rc != 0 && rc != EPROTO) return rc;
    if (hashed != 0) return hashed;
    // Short of the whole shard only when it was cut since it was opened,
    // which the structure's problem then says.
    if (static_cast<std::uint64_t>(tap.at) == s.size &&
        std::memcmp(got, s.sha256, sha256_size) != 0)
      return set_problem(problem, i,
                         "the shard's SHA-256 differs from the manifest");
  }
  if (rc == EPROTO && problem != nullptr) {
    *problem = p;
    problem->shard = i;
  }
  return rc;
}

// The shards of a set verified two at a time (each check may hold its
// memory budget, verify_default_memory), with the result a walk in shard
// order would give: that of the first shard with a problem, which the
// shards after it, never started, do not change.
constexpr std::size_t verify_threads = 2;

struct verify_run {
  const qef64_set* set;
  int* rc;                 // a result for each shard, 0 until checked
  qef64_problem* problem;  // and its problem
};

bool verify_one(void* context, std::size_t i) {
  auto* run = static_cast<verify_run*>(context);
  run->rc[i] = verify_shard(run->set, i, &run->problem[i]);
  return run->rc[i] == 0;
}

int verify_set(const qef64_set* set, qef64_problem* problem) {
  const std::size_t n = set->shards;
  auto* rc = static_cast<int*>(std::calloc(n > 0 ? n : 1, sizeof(int)));
  auto* problems = static_cast<qef64_problem*>(
      std::calloc(n > 0 ? n : 1, sizeof(qef64_problem)));
  int result = rc == nullptr || problems == nullptr ? ENOMEM : 0;
  if (result == 0) {
    verify_run run{set, rc, problems};
    for_each_index(n, verify_threads, verify_one, &run);
    for (std::size_t i = 0; i < n && result == 0; i++) {
      result = rc[i];
      if (result == EPROTO && problem != nullptr) *problem = problems[i];
    }
  }
  std::free(rc);
  std::free(problems);
  return result;
}

}  // namespace
}  // namespace qef64

extern "C" {

int qef64_set_open(const char* path, qef64_set** set) {
  return qef64_set_open_ex(path, 0, set);
}

int qef64_set_open_ex(const char* path, unsigned flags, qef64_set** set) {
  *set = nullptr;
  // Resolved once: a later chdir, or a symbolic link on the way moved
  // afterwards, changes nothing about which set this is.
  char* root = ::realpath(path, nullptr);
  if (root == nullptr) return errno;
  int rc = qef64::open_root(root, flags, set);
  std::free(root);
  return rc;
}

void qef64_set_close(qef64_set* set) {
  if (set != nullptr) qef64::destroy(set);
}

uint64_t qef64_set_count(const qef64_set* set) {
  return set->count;
}

size_t qef64_set_shards(const qef64_set* set) {
  return set->shards;
}

const qef64_db* qef64_set_shard(const qef64_set* set, size_t i) {
  return i < set->shards ? set->shard[i].db : nullptr;
}

const char* qef64_set_version(const qef64_set* set) {
  return set->version;
}

int qef64_set_replaced(const qef64_set* set) {
  if (set->link == nullptr) return 0;
  char target[PATH_MAX];
  if (qef64::read_link(set->link, target) != 0) return 1;
  return std::strcmp(target, set->target) != 0 ? 1 : 0;
}

int qef64_set_get(const qef64_set* set, const void* key, size_t key_len,
                  const void** data, size_t* data_len) {
  const qef64_db* db = set->shard[qef64::shard_of(set, key, key_len)].db;
  return qef64_get(db, key, key_len, data, data_len);
}

int qef64_set_find_next(const qef64_set* set, qef64_cursor* cur,
                        const void* key, size_t key_len, const void** data,
                        size_t* data_len) {
  // Every record of the key is in one shard: the cursor is that shard's.
  const qef64_db* db = set->shard[qef64::shard_of(set, key, key_len)].db;
  return qef64_find_next(db, cur, key, key_len, data, data_len);
}

int qef64_set_get_many(const qef64_set* set, size_t n, const void* const keys[],
                       const size_t key_lens[], const void* data[],
                       size_t data_lens[]) {
  // The shards of a chunk first, in loops of their own. Inside the batch's
  // ring, whose branches follow the data, the hash of each key (four
  // cycles a byte, one after the other) would delay the lookup it starts;
  // here the hashes of different keys overlap. The chunk's keys are all
  // asked for before the first is hashed, so that their cache misses
  // overlap too, and the batch then finds them in the cache.
  const qef64_db* route[qef64::route_chunk];
  int result = 0;
  for (std::size_t start = 0; start < n; start += qef64::route_chunk) {
    std::size_t m = std::min(qef64::route_chunk, n - start);
    for (std::size_t i = 0; i < m; i++)
      __builtin_prefetch(keys[start + i]);
    for (std::size_t i = 0; i < m; i++) {
      std::size_t k = start + i;
      route[i] = set->shard[qef64::shard_of(set, keys[k], key_lens[k])].db;
    }
    int rc = qef64_get_many_in(route, m, keys + start, key_lens + start,
                               data + start, data_lens + start);
    if (result == 0) result = rc;
  }
  return result;
}

int qef64_set_iter_next(const qef64_set* set, qef64_iter* it, const void** key,
                        size_t* key_len, const void** data, size_t* data_len) {
  // Field 0 is the position in the shard that field 1 names; shards ends.
  std::uint64_t* state = it->qef64_private;
  *key = *data = nullptr;
  *key_len = *data_len = 0;
  if (state[1] > set->shards) return EINVAL;
  while (state[1] < set->shards) {
    qef64_iter one = {{state[0], 0}};
    int rc = qef64_iter_next(set->shard[state[1]].db, &one, key, key_len, data,
                             data_len);
    if (rc != QEF64_NOTFOUND) {
      if (rc == 0) state[0] = one.qef64_private[0];
      return rc;
    }
    state[0] = 0;
    state[1]++;
  }
  return QEF64_NOTFOUND;
}

int qef64_set_resident(const qef64_set* set, uint64_t* table_bytes,
                       uint64_t* record_bytes) {
  std::uint64_t tables = 0;
  std::uint64_t records = 0;
  for (std::size_t i = 0; i < set->shards; i++) {
    std::uint64_t t = 0;
    std::uint64_t r = 0;
    int rc = qef64_resident(set->shard[i].db, &t, &r);
    if (rc != 0) return rc;
    tables += t;
    records += r;
  }
  if (table_bytes != nullptr) *table_bytes = tables;
  if (record_bytes != nullptr) *record_bytes = records;
  return 0;
}

int qef64_set_verify(const qef64_set* set) {
  return qef64_set_verify_problem(set, nullptr);
}

int qef64_set_verify_problem(const qef64_set* set, qef64_problem* problem) {
  return qef64::verify_set(set, problem);
}

}  // extern "C"
