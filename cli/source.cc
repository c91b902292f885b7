#include "cli/source.h"

#include "cli/fail.h"

namespace qef64::cli {

void source_open(source* s, const char* path) {
  s->path = path;
  s->db = nullptr;
  int rc = qef64_open(path, &s->db);
  if (rc != 0) fail("unable to open " + s->path + ": " + error_text(rc));
}

void source_close(source* s) {
  qef64_close(s->db);
  s->db = nullptr;
}

int source_get_many(const source* s, std::size_t n, const void* const keys[],
                    const std::size_t key_lens[], const void* data[],
                    std::size_t data_lens[]) {
  return qef64_get_many(s->db, n, keys, key_lens, data, data_lens);
}

int source_find_next(const source* s, qef64_cursor* cur, const void* key,
                     std::size_t key_len, const void** data,
                     std::size_t* data_len) {
  return qef64_find_next(s->db, cur, key, key_len, data, data_len);
}

int source_iter_next(const source* s, qef64_iter* it, const void** key,
                     std::size_t* key_len, const void** data,
                     std::size_t* data_len) {
  return qef64_iter_next(s->db, it, key, key_len, data, data_len);
}

void source_fail(const source* s, int rc) {
  fail("unable to read " + s->path + ": " + error_text(rc));
}

}  // namespace qef64::cli
