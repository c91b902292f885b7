#pragma once

#include <cstdint>

#include "db/check.h"
#include "db/window.h"

namespace qef64 {

// The memory verify_file may use unless told otherwise: a file of up to
// 16 million records is checked in one pass over its records.
constexpr std::int64_t verify_default_memory = std::int64_t{256} << 20;

// The deep check of a whole file. It checks, and reports the first problem
// in this order:
//   the header (check_header);
//   the records, front to back: each lies inside the records, which end
//   where table 0 begins;
//   then each table, 0 to 255: its slots in order (every non-empty slot
//   names a record of that table whose key has the slot's hash, no other
//   slot names that record, and no empty slot lies between the key's start
//   slot and it, so that a lookup of the key reaches it); then its records
//   in file order (each one named by a slot); last its slot count (twice
//   its records).
// The file is read front to back (db_window: by pread(2) on fd, a
// descriptor of the same file, or from the mapping when fd is -1): the
// records once, keeping the hash and position of each (16 bytes), then
// each table once, compared with the table the writer's placement makes of
// its records. A table that differs is examined slot by slot, so that one
// laid out otherwise but sound passes. Data is skipped where it is larger
// than the window.
// Memory: 16 bytes a record, plus 48 bytes a record of the largest table
// for placing it, plus the window. When that passes `memory` bytes, the
// tables are taken in groups that fit, and the records are read once more
// for each further group; a table too large for the budget on its own
// takes what it needs.
// With a tap (db_window), the tap is given the whole file in order, the
// records and tables as the check reads them first, the header and any
// bytes the check skips or leaves unread; it has had all size bytes
// whenever the result is 0 or EPROTO for a damaged file, but for a file
// that ends before its size.
// REQUIRES: map holds the size bytes of the file.
// 0 when sound; -1 with errno: EPROTO with *problem set, ENOMEM, or the
// errno of pread(2).
[[nodiscard]] int verify_file(const unsigned char* map, std::int64_t size,
                              std::int64_t fd, std::int64_t memory,
                              db_problem* problem, db_tap* tap = nullptr);

// The most non-empty slots a lookup examines to reach a record, its own
// slot included, over every slot a lookup of its hash reaches; 0 for a file
// without records. One pass over the slots, read as verify_file reads
// them; no record is read. -1 with errno after a failed read.
// REQUIRES: map holds the file, whose header passed check_header.
[[nodiscard]] std::int64_t verify_longest_probe(const unsigned char* map,
                                                std::int64_t size,
                                                std::int64_t fd);

}  // namespace qef64
