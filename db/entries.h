#pragma once

#include <cstdint>

#include "db/check.h"
#include "db/format.h"
#include "db/window.h"
#include "db/writer.h"

namespace qef64 {

// The entry (key hash, record position) of every record of a file, as the
// writer registered them, gathered by one walk over the records front to
// back and kept table by table in file order, for the tables a pass wants.
// The caller owns the runs the entries go into.
struct db_entries {
  std::int64_t found[db_table_count];   // records of each table walked
  writer_entry* first[db_table_count];  // its kept entries, in file order
  writer_entry* next[db_table_count];   // where its next entry goes
  writer_entry* end[db_table_count];    // next == end: no room (left)
};

// Sets up a walk that keeps the entries of tables [a, b), room[t] of table
// t, one run after another from runs on, and none of the others.
void entries_plan(db_entries* e, std::int64_t a, std::int64_t b,
                  writer_entry* runs, const std::int64_t* room);

// Walks the records from db_header_size to records_end, read through w:
// counts each table's records, keeps the entries there is room for. 0, or
// -1 with errno: EPROTO with *problem at the first record that does not
// lie inside the records (or where the file ended while read), or the
// errno of reading it. Short keys are hashed eight at a time
// (db_hash_lanes).
[[nodiscard]] int entries_walk(db_entries* e, db_window* w,
                               std::int64_t records_end, db_problem* problem);

// Room for n entries, in huge pages where the system gives them: a walk
// fills it in 256 streams at once, which would otherwise take a page fault
// and a TLB miss every 256 entries. Null with ENOMEM. entries_free(p, n)
// gives it back.
writer_entry* entries_alloc(std::int64_t n);
void entries_free(writer_entry* p, std::int64_t n);

}  // namespace qef64
