#include "db/entries.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>

#include "db/hash_lanes.h"

namespace qef64 {

namespace {

// Counts and keeps the entry of the record at pos, whose key hashes to h.
inline void keep_entry(db_entries* e, std::uint64_t h, std::int64_t pos) {
  std::int64_t t = db_hash_table(h);
  e->found[t]++;
  if (e->next[t] != e->end[t]) *e->next[t]++ = {h, pos};
}

// Short keys waiting to be hashed together, in file order.
struct key_batch {
  const unsigned char* key[hash_lanes];
  std::int64_t len[hash_lanes];
  std::int64_t pos[hash_lanes];  // of the record
  int n;
};

// What an empty lane, or an empty key, reads in place of key bytes.
constexpr unsigned char no_key[8] = {};

void batch_clear(key_batch* b) {
  for (int j = 0; j < hash_lanes; j++) {
    b->key[j] = no_key;
    b->len[j] = 0;
    b->pos[j] = 0;
  }
  b->n = 0;
}

void batch_flush(db_entries* e, key_batch* b) {
  std::uint64_t h[hash_lanes];
  db_hash_lanes(b->key, b->len, h);
  for (int j = 0; j < b->n; j++)
    keep_entry(e, h[j], b->pos[j]);
  batch_clear(b);
}

// db_hash of a key longer than hash_lanes_key, a window at a time. 0, or -1
// after a failed read.
int hash_long_key(db_window* w, std::int64_t pos, std::int64_t len,
                  std::uint64_t* hash) {
  std::uint64_t h = db_hash_start;
  for (std::int64_t done = 0; done < len;) {
    std::int64_t n = std::min(len - done, w->capacity);
    const unsigned char* p = window_view(w, pos + done, n);
    if (p == nullptr) return -1;
    for (std::int64_t i = 0; i < n; i++)
      h = db_hash_step(h, p[i]);
    done += n;
  }
  *hash = h;
  return 0;
}

bool in_window(const db_window* w, std::int64_t pos, std::int64_t len) {
  return pos >= w->start && pos - w->start <= w->held - len;
}

}  // namespace

void entries_plan(db_entries* e, std::int64_t a, std::int64_t b,
                  writer_entry* runs, const std::int64_t* room) {
  for (std::int64_t t = 0; t < db_table_count; t++) {
    e->found[t] = 0;
    e->first[t] = e->next[t] = e->end[t] = nullptr;
    if (t < a || t >= b) continue;
    e->first[t] = e->next[t] = runs;
    runs += room[t];
    e->end[t] = runs;
  }
}

int entries_walk(db_entries* e, db_window* w, std::int64_t records_end,
                 db_problem* problem) {
  const std::int64_t end = records_end;
  key_batch b;
  batch_clear(&b);
  std::int64_t pos = db_header_size;
  while (pos < end) {
    if (end - pos < db_record_header_size) {
      return problem_at(problem, pos,
                        "a record's lengths run past the end of the records");
    }
    // Moving the window would leave the batch's keys behind.
    if (b.n > 0 && !in_window(w, pos, db_record_header_size))
      batch_flush(e, &b);
    const unsigned char* r = window_view(w, pos, db_record_header_size);
    if (r == nullptr) return window_failed(w, problem);
    std::int64_t key_len = load_i64le(r);
    std::int64_t data_len = load_i64le(r + 8);
    std::int64_t room = end - pos - db_record_header_size;
    if (key_len < 0) return problem_at(problem, pos, "a negative key length");
    if (key_len > room) {
      return problem_at(problem, pos,
                        "a record's key runs past the end of the records");
    }
    if (data_len < 0)
      return problem_at(problem, pos + 8, "a negative data length");
    if (data_len > room - key_len) {
      return problem_at(problem, pos + 8,
                        "a record's data runs past the end of the records");
    }
    const std::int64_t key_pos = pos + db_record_header_size;
    if (key_len <= hash_lanes_key) {
      // The 7 bytes db_hash_lanes may read past the key are inside the
      // file, where the data and at least the record's two slots follow,
      // and inside a buffered window's slack.
      if (b.n > 0 && !in_window(w, key_pos, key_len)) batch_flush(e, &b);
      const unsigned char* k = window_view(w, key_pos, key_len);
      if (k == nullptr) return window_failed(w, problem);
      if (key_len > 0) b.key[b.n] = k;
      b.len[b.n] = key_len;
      b.pos[b.n] = pos;
      if (++b.n == hash_lanes) batch_flush(e, &b);
    } else {
      batch_flush(e, &b);
      std::uint64_t h;
      if (hash_long_key(w, key_pos, key_len, &h) == -1)
        return window_failed(w, problem);
      keep_entry(e, h, pos);
    }
    pos = key_pos + key_len + data_len;
  }
  batch_flush(e, &b);
  return 0;
}

writer_entry* entries_alloc(std::int64_t n) {
  auto bytes = static_cast<std::size_t>(n) * sizeof(writer_entry);
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    errno = ENOMEM;
    return nullptr;
  }
  (void)::madvise(p, bytes, MADV_HUGEPAGE);  // a hint; refused, costs time
  return static_cast<writer_entry*>(p);
}

void entries_free(writer_entry* p, std::int64_t n) {
  if (p != nullptr)
    (void)::munmap(p, static_cast<std::size_t>(n) * sizeof(writer_entry));
}

}  // namespace qef64
