#include "db/entries.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "db/hash_lanes.h"

namespace qef64 {

namespace {

// The entries go out in 256 streams at once, one a table, more than the
// processor's prefetchers follow: stored one by one, each new cache line
// of a run would first be read from memory. They are gathered here, a
// line's worth for each table, and written a whole line at a time with
// stores that bypass the cache (on x86-64), which read nothing.
constexpr int line_entries = 4;
struct entry_stage {
  alignas(64) writer_entry staged[db_table_count][line_entries];
  unsigned char held[db_table_count];
};
static_assert(sizeof(writer_entry) * line_entries == 64);

// Writes table t's staged entries to the places they were given, just
// below next[t].
void stage_flush(db_entries* e, entry_stage* st, std::int64_t t) {
  int k = st->held[t];
  writer_entry* to = e->next[t] - k;
  for (int i = 0; i < k; i++) {
#if defined(__x86_64__)
    __m128i v;
    std::memcpy(&v, &st->staged[t][i], sizeof v);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + i), v);
#else
    to[i] = st->staged[t][i];
#endif
  }
  st->held[t] = 0;
}

// Counts and keeps the entry of the record at pos, whose key hashes to h:
// its place is taken now, its line written once full (or the run ends).
inline void keep_entry(db_entries* e, entry_stage* st, std::uint64_t h,
                       std::int64_t pos) {
  std::int64_t t = db_hash_table(h);
  e->found[t]++;
  if (e->next[t] == e->end[t]) return;
  st->staged[t][st->held[t]++] = {h, pos};
  e->next[t]++;
  // Runs start on 16-byte boundaries, so a line ends on an entry's end.
  if ((reinterpret_cast<std::uintptr_t>(e->next[t]) & 63) == 0 ||
      e->next[t] == e->end[t] || st->held[t] == line_entries)
    stage_flush(e, st, t);
}

// Writes out every staged entry and orders the streaming stores before
// the reads that follow.
void stage_finish(db_entries* e, entry_stage* st) {
  for (std::int64_t t = 0; t < db_table_count; t++) {
    if (st->held[t] > 0) stage_flush(e, st, t);
  }
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

// Short keys waiting to be hashed, in file order, eight groups of
// hash_lanes. The groups are hashed only when all are gathered: a group's
// lengths and pointers, stored one by one as the records were met, are
// read by db_hash_lanes as whole vectors, which stalls until those stores
// are done; by then, but for the last group, they long are. (Measured:
// 3.6 ns a key against 6.7 for a group hashed as soon as it is full.)
constexpr int batch_groups = 8;
constexpr int batch_keys = batch_groups * hash_lanes;
struct key_batch {
  const unsigned char* key[batch_keys];
  std::int64_t len[batch_keys];
  std::int64_t pos[batch_keys];  // of the record
  int n;
};

// What an empty lane, or an empty key, reads in place of key bytes.
constexpr unsigned char no_key[8] = {};

void batch_flush(db_entries* e, entry_stage* st, key_batch* b) {
  // The last group's unused lanes hash an empty key, kept nowhere.
  for (int j = b->n; j % hash_lanes != 0; j++) {
    b->key[j] = no_key;
    b->len[j] = 0;
  }
  std::uint64_t h[hash_lanes];
  for (int g = 0; g < b->n; g += hash_lanes) {
    db_hash_lanes(b->key + g, b->len + g, h);
    for (int j = 0; j < hash_lanes && g + j < b->n; j++)
      keep_entry(e, st, h[j], b->pos[g + j]);
  }
  b->n = 0;
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
  entry_stage stage;
  entry_stage* st = &stage;
  std::memset(stage.held, 0, sizeof stage.held);
  key_batch b;
  b.n = 0;
  std::int64_t pos = db_header_size;
  while (pos < end) {
    if (end - pos < db_record_header_size) {
      return problem_at(problem, pos,
                        "a record's lengths run past the end of the records");
    }
    // Moving the window would leave the batch's keys behind.
    if (b.n > 0 && !in_window(w, pos, db_record_header_size))
      batch_flush(e, st, &b);
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
      if (b.n > 0 && !in_window(w, key_pos, key_len)) batch_flush(e, st, &b);
      const unsigned char* k = window_view(w, key_pos, key_len);
      if (k == nullptr) return window_failed(w, problem);
      b.key[b.n] = key_len > 0 ? k : no_key;
      b.len[b.n] = key_len;
      b.pos[b.n] = pos;
      if (++b.n == batch_keys) batch_flush(e, st, &b);
    } else {
      batch_flush(e, st, &b);
      std::uint64_t h;
      if (hash_long_key(w, key_pos, key_len, &h) == -1)
        return window_failed(w, problem);
      keep_entry(e, st, h, pos);
    }
    pos = key_pos + key_len + data_len;
  }
  batch_flush(e, st, &b);
  stage_finish(e, st);
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
