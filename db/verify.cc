#include "db/verify.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "db/entries.h"
#include "db/format.h"
#include "db/window.h"
#include "db/writer.h"

namespace qef64 {

namespace {

constexpr std::int64_t entry_size = sizeof(writer_entry);

// One check of a file: the header it passed, and the entries of the group
// of tables being checked.
struct verify_pass {
  const unsigned char* map;  // for the header; the rest through window
  db_window* window;
  db_layout layout;
  db_problem* problem;
  db_entries entries;
};

int no_memory() {
  errno = ENOMEM;
  return -1;
}

std::int64_t table_position(const unsigned char* map, std::int64_t t) {
  return load_i64le(map + t * db_descriptor_size);
}
std::int64_t slot_count(const unsigned char* map, std::int64_t t) {
  return load_i64le(map + t * db_descriptor_size + 8);
}

int read_failed(verify_pass* v) {
  return window_failed(v->window, v->problem);
}

int walk_records(verify_pass* v) {
  return entries_walk(&v->entries, v->window, v->layout.records_end,
                      v->problem);
}

// Whether the n slots at file offset at are the slots the writer placed.
// 0 with *same set, or -1 after a failed read.
int same_slots(verify_pass* v, const writer_entry* slots, std::int64_t at,
               std::int64_t n, bool* same) {
  db_window* w = v->window;
  const auto* placed = reinterpret_cast<const unsigned char*>(slots);
  // Whole slots in every piece: the window's capacity is a multiple of 16.
  static_assert(window_capacity % db_slot_size == 0);
  *same = false;
  for (std::int64_t done = 0; done < n * db_slot_size;) {
    std::int64_t len = std::min(n * db_slot_size - done, w->capacity);
    const unsigned char* file = window_view(w, at + done, len);
    if (file == nullptr) return read_failed(v);
    if constexpr (std::endian::native == std::endian::little) {
      if (std::memcmp(placed + done, file, static_cast<std::size_t>(len)) != 0)
        return 0;
    } else {
      for (std::int64_t k = 0; k < len; k += db_slot_size) {
        const writer_entry& e = slots[(done + k) / db_slot_size];
        if (load_u64le(file + k) != e.hash ||
            load_i64le(file + k + 8) != e.record_position)
          return 0;
      }
    }
    done += len;
  }
  *same = true;
  return 0;
}

// The slots of a table in order, each with the start of the run of
// non-empty slots it lies in; a run may wrap from the last slot to the
// first. A lookup starting at slot s reaches slot j, and examines
// distance(s, j) + 1 slots to get there, when s lies in j's run at or
// before j. An empty slot is one whose record position is not positive,
// as lookups take it.
struct slot_runs {
  std::int64_t n;
  std::int64_t begin;  // of the run of the slot being looked at
  bool full;           // no empty slot: one run all round the table
};

bool slot_empty(const unsigned char* slot) {
  return load_i64le(slot + 8) <= 0;
}

// The runs of the n slots at file offset at, as they stand before slot 0:
// the last empty slot, looked for from the end back, a few slots at a time.
// 0, or -1 after a failed read.
int runs_start(db_window* w, std::int64_t at, std::int64_t n, slot_runs* r) {
  constexpr std::int64_t step = 64;
  unsigned char back[step * db_slot_size];
  for (std::int64_t end = n; end > 0;) {
    std::int64_t from = std::max(end - step, std::int64_t{0});
    if (window_copy(w, back, at + from * db_slot_size,
                    (end - from) * db_slot_size) == -1)
      return -1;
    for (std::int64_t s = end - 1; s >= from; s--) {
      if (slot_empty(back + (s - from) * db_slot_size)) {
        *r = {n, s + 1, false};
        return 0;
      }
    }
    end = from;
  }
  *r = {n, 0, true};
  return 0;
}

std::int64_t distance(const slot_runs& r, std::int64_t from, std::int64_t j) {
  return j >= from ? j - from : j - from + r.n;
}

bool reaches(const slot_runs& r, std::int64_t start, std::int64_t j) {
  return r.full || distance(r, start, j) <= distance(r, r.begin, j);
}

// Table t slot by slot against run, its c records in file order; named has
// room for c flags, all clear. 0 when sound, else -1 with its first
// problem.
int examine_table(verify_pass* v, std::int64_t t, const writer_entry* run,
                  std::int64_t c, unsigned char* named) {
  const std::int64_t at = table_position(v->map, t);
  const std::int64_t n = slot_count(v->map, t);
  slot_runs r;
  if (runs_start(v->window, at, n, &r) == -1) return read_failed(v);
  for (std::int64_t j = 0; j < n; j++) {
    const std::int64_t offset = at + db_slot_size * j;
    const unsigned char* slot = window_view(v->window, offset, db_slot_size);
    if (slot == nullptr) return read_failed(v);
    std::uint64_t h = load_u64le(slot);
    std::int64_t pos = load_i64le(slot + 8);
    if (slot_empty(slot)) {
      r.begin = j + 1;
      if (pos == 0 && h == 0) continue;
      return problem_at(v->problem, offset,
                        pos == 0 ? "an empty slot holds a hash"
                                 : "a slot names no record of its table");
    }
    if (db_hash_table(h) != t) {
      return problem_at(v->problem, offset,
                        "a slot's hash belongs to another table");
    }
    const writer_entry* e = std::lower_bound(
        run, run + c, pos, [](const writer_entry& x, std::int64_t p) {
          return x.record_position < p;
        });
    if (e == run + c || e->record_position != pos) {
      return problem_at(v->problem, offset,
                        "a slot names no record of its table");
    }
    if (e->hash != h) {
      return problem_at(v->problem, offset,
                        "a slot's hash differs from its record's key hash");
    }
    if (named[e - run] != 0)
      return problem_at(v->problem, offset, "two slots name the same record");
    named[e - run] = 1;
    if (!reaches(r, db_hash_start_slot(h, n), j)) {
      return problem_at(v->problem, offset,
                        "an empty slot lies between this slot and its start");
    }
  }
  for (std::int64_t k = 0; k < c; k++) {
    if (named[k] == 0) {
      return problem_at(v->problem, run[k].record_position,
                        "no slot of its table names this record");
    }
  }
  if (2 * c != n) {
    return problem_at(v->problem, t * db_descriptor_size + 8,
                      "a slot count is not twice its table's records");
  }
  return 0;
}

int examine(verify_pass* v, std::int64_t t, const writer_entry* run,
            std::int64_t c) {
  auto* named = static_cast<unsigned char*>(
      std::calloc(static_cast<std::size_t>(c > 0 ? c : 1), 1));
  if (named == nullptr) return no_memory();
  int rc = examine_table(v, t, run, c, named);
  int e = errno;
  std::free(named);
  errno = e;
  return rc;
}

// Table t, whose walk found more records than its slot count has room
// for: walked again on its own, with room for all of them.
int examine_overfull(verify_pass* v, std::int64_t t) {
  std::int64_t c = v->entries.found[t];
  auto* run = static_cast<writer_entry*>(
      std::malloc(static_cast<std::size_t>(c) * sizeof(writer_entry)));
  if (run == nullptr) return no_memory();
  std::int64_t room[db_table_count] = {};
  room[t] = c;
  entries_plan(&v->entries, t, t + 1, run, room);
  int rc = walk_records(v);
  if (rc == 0) rc = examine(v, t, run, c);
  int e = errno;
  std::free(run);
  errno = e;
  return rc;
}

// Tables [a, b) after a walk that kept their entries: each one placed as
// the writer places it and compared with the file, and examined slot by
// slot when it differs. A table with other than half as many records as
// slots always fails its examination, at its slot count if nowhere else.
int check_tables(verify_pass* v, std::int64_t a, std::int64_t b,
                 writer_table* table) {
  for (std::int64_t t = a; t < b; t++) {
    std::int64_t n = slot_count(v->map, t);
    std::int64_t kept = v->entries.next[t] - v->entries.first[t];
    if (v->entries.found[t] > kept) return examine_overfull(v, t);
    if (2 * kept != n) return examine(v, t, v->entries.first[t], kept);
    writer_table_begin(table, n);
    writer_table_place(table, v->entries.first[t], kept);
    bool same;
    if (same_slots(v, table->slots, table_position(v->map, t), n, &same) == -1)
      return -1;
    if (!same && examine(v, t, v->entries.first[t], kept) == -1) return -1;
  }
  return 0;
}

// The end of the group of tables that starts at a: as many as the budget
// keeps entries of, at least one.
std::int64_t group_end(const std::int64_t* room, std::int64_t a,
                       std::int64_t budget) {
  std::int64_t b = a;
  for (std::int64_t sum = 0; b < db_table_count; b++) {
    if (b > a && room[b] > budget - sum) break;
    sum += room[b];
  }
  return b;
}

int check_groups(verify_pass* v, std::int64_t memory, writer_table* table) {
  std::int64_t room[db_table_count];
  for (std::int64_t t = 0; t < db_table_count; t++)
    room[t] = slot_count(v->map, t) / 2;
  const std::int64_t largest = table->capacity / 2;
  const std::int64_t budget =
      (memory - writer_place_bytes * largest) / entry_size;
  std::int64_t most = 1;
  for (std::int64_t a = 0, b; a < db_table_count; a = b) {
    b = group_end(room, a, budget);
    std::int64_t sum = 0;
    for (std::int64_t t = a; t < b; t++)
      sum += room[t];
    most = std::max(most, sum);
  }
  writer_entry* runs = entries_alloc(most);
  if (runs == nullptr) return -1;
  int rc = 0;
  for (std::int64_t a = 0, b; a < db_table_count && rc == 0; a = b) {
    b = group_end(room, a, budget);
    entries_plan(&v->entries, a, b, runs, room);
    rc = walk_records(v);
    if (rc == 0) rc = check_tables(v, a, b, table);
  }
  int e = errno;
  entries_free(runs, most);
  errno = e;
  return rc;
}

// verify_file through the window w, open on the file.
int check_file(const unsigned char* map, std::int64_t size, db_window* w,
               std::int64_t memory, db_problem* problem) {
  if (size < db_header_size)
    return problem_at(problem, 0, "the file is shorter than its header");
  verify_pass v;
  v.map = map;
  v.window = w;
  v.problem = problem;
  if (check_header(map, size, &v.layout, problem) == -1) return -1;
  std::int64_t m = 1;
  for (std::int64_t t = 0; t < db_table_count; t++)
    m = std::max(m, slot_count(map, t));
  auto* slots = static_cast<writer_entry*>(
      std::malloc(static_cast<std::size_t>(m) * sizeof(writer_entry)));
  int rc = slots == nullptr ? no_memory() : 0;
  writer_table table = {slots, 0, nullptr, m, nullptr, false};
  if (rc == 0) rc = check_groups(&v, memory, &table);
  int e = errno;
  std::free(table.links);
  std::free(slots);
  errno = e;
  return rc;
}

}  // namespace

int verify_file(const unsigned char* map, std::int64_t size, std::int64_t fd,
                std::int64_t memory, db_problem* problem, db_tap* tap) {
  db_window w;
  if (window_open(&w, map, size, fd) == -1) return -1;
  w.tap = tap;
  int rc = check_file(map, size, &w, memory, problem);
  // The rest of the file, for a tap, after a check that read it all or
  // stopped at a problem; problem keeps the check's first one.
  if (tap != nullptr && (rc == 0 || errno == EPROTO)) {
    int e = errno;
    db_problem cut;
    if (window_move(&w, size) == -1) {
      bool sound = rc == 0;
      rc = window_failed(&w, &cut);
      if (errno == EPROTO && sound && problem != nullptr) *problem = cut;
    } else {
      errno = e;
    }
  }
  int e = errno;
  window_close(&w);
  errno = e;
  return rc;
}

std::int64_t verify_longest_probe(const unsigned char* map, std::int64_t size,
                                  std::int64_t fd) {
  db_window w;
  if (window_open(&w, map, size, fd) == -1) return -1;
  std::int64_t longest = 0;
  for (std::int64_t t = 0; t < db_table_count && longest >= 0; t++) {
    const std::int64_t n = slot_count(map, t);
    const std::int64_t at = table_position(map, t);
    slot_runs r;
    if (runs_start(&w, at, n, &r) == -1) {
      longest = -1;
      break;
    }
    for (std::int64_t j = 0; j < n; j++) {
      const unsigned char* slot = window_view(&w, at + db_slot_size * j, 16);
      if (slot == nullptr) {
        longest = -1;
        break;
      }
      if (slot_empty(slot)) {
        r.begin = j + 1;
        continue;
      }
      std::int64_t start = db_hash_start_slot(load_u64le(slot), n);
      if (reaches(r, start, j))
        longest = std::max(longest, distance(r, start, j) + 1);
    }
  }
  int e = errno;
  window_close(&w);
  errno = e;
  return longest;
}

}  // namespace qef64
