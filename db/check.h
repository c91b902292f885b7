#pragma once

#include <cerrno>
#include <cstdint>

namespace qef64 {

// Where a check found a file wrong: the file offset of the header field,
// record or slot concerned, and a static text saying what is wrong there.
struct db_problem {
  std::int64_t offset;
  const char* what;
};

// Reports a problem: sets *problem (when not null) and errno = EPROTO, and
// returns -1, the result of a check that found it.
inline int problem_at(db_problem* problem, std::int64_t offset,
                      const char* what) {
  if (problem != nullptr) *problem = {offset, what};
  errno = EPROTO;
  return -1;
}

// What the header of a file that passed check_header says.
struct db_layout {
  std::int64_t records_end;  // table 0's position: where the records end
  std::int64_t slots;        // of all tables together
  std::int64_t records;      // half the slots: the records of a sound file
};

// The layout every writer makes, checked on the header against the file's
// size: table 0 begins at or after the header; each further table begins
// where the one before it ends (16 bytes a slot), and the last one ends at
// the end of the file; every slot count is even (two slots a record), and
// the records, at least 16 bytes each, fit between the header and table 0,
// which holds nothing when there are none. A file that passes can be
// looked up and walked without a table or slot outside the file; its
// records and slots are what verify_file checks. Costs one pass over the
// 256 descriptors.
// REQUIRES: map holds the size bytes of the file, size >= db_header_size.
// 0 with *layout set, or -1 with EPROTO and *problem (when not null) set.
[[nodiscard]] int check_header(const unsigned char* map, std::int64_t size,
                               db_layout* layout, db_problem* problem);

}  // namespace qef64
