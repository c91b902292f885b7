#include "cli/source.h"

#include <sys/stat.h>

#include <cerrno>

#include "cli/fail.h"

namespace qef64::cli {

int source_try_open(source* s, const char* path, unsigned flags) {
  s->path = path;
  s->db = nullptr;
  s->set = nullptr;
  struct stat st;
  if (::stat(path, &st) == -1) return errno;
  // A directory replaced by a file in between, or the reverse, fails the
  // open (ENOTDIR, EISDIR): no harm done.
  if (S_ISDIR(st.st_mode)) return qef64_set_open_ex(path, flags, &s->set);
  return qef64_open_ex(path, flags, &s->db);
}

void source_open(source* s, const char* path) {
  int rc = source_try_open(s, path, 0);
  if (rc != 0) fail("unable to open " + s->path + ": " + error_text(rc));
}

void source_close(source* s) {
  qef64_close(s->db);
  qef64_set_close(s->set);
  s->db = nullptr;
  s->set = nullptr;
}

std::size_t source_shards(const source* s) {
  return s->set != nullptr ? qef64_set_shards(s->set) : 1;
}

const qef64_db* source_shard(const source* s, std::size_t i) {
  return s->set != nullptr ? qef64_set_shard(s->set, i) : s->db;
}

std::uint64_t source_count(const source* s) {
  return s->set != nullptr ? qef64_set_count(s->set) : qef64_count(s->db);
}

int source_get_many(const source* s, std::size_t n, const void* const keys[],
                    const std::size_t key_lens[], const void* data[],
                    std::size_t data_lens[]) {
  if (s->set != nullptr)
    return qef64_set_get_many(s->set, n, keys, key_lens, data, data_lens);
  return qef64_get_many(s->db, n, keys, key_lens, data, data_lens);
}

int source_find_next(const source* s, qef64_cursor* cur, const void* key,
                     std::size_t key_len, const void** data,
                     std::size_t* data_len) {
  if (s->set != nullptr)
    return qef64_set_find_next(s->set, cur, key, key_len, data, data_len);
  return qef64_find_next(s->db, cur, key, key_len, data, data_len);
}

int source_verify_problem(const source* s, qef64_problem* problem) {
  if (s->set != nullptr) return qef64_set_verify_problem(s->set, problem);
  return qef64_verify_problem(s->db, problem);
}

int source_walk_next(const source* s, source_walk* w, const void** key,
                     std::size_t* key_len, const void** data,
                     std::size_t* data_len) {
  // Shard by shard, in the order of qef64_set_iter_next, so that the
  // caller knows the shard, and with it the file offset, of each record.
  std::size_t shards = source_shards(s);
  for (;;) {
    int rc = qef64_iter_next(source_shard(s, w->shard), &w->it, key, key_len,
                             data, data_len);
    if (rc != QEF64_NOTFOUND || w->shard + 1 >= shards) return rc;
    w->shard++;
    w->it = QEF64_ITER_INIT;
  }
}

std::string source_place(const source* s, std::size_t shard,
                         std::uint64_t offset) {
  if (s->set == nullptr) return "byte offset " + std::to_string(offset);
  std::string version = qef64_set_version(s->set);
  if (shard == static_cast<std::size_t>(-1))
    return "the manifest of version " + version;
  return "byte offset " + std::to_string(offset) + " of shard " +
         std::to_string(shard) + " of version " + version;
}

void source_fail(const source* s, int rc) {
  fail("unable to read " + s->path + ": " + error_text(rc));
}

}  // namespace qef64::cli
