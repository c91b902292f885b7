#include "db/check.h"

#include <cerrno>

#include "db/format.h"

namespace qef64 {

int check_header(const unsigned char* map, std::int64_t size, db_layout* layout,
                 db_problem* problem) {
  std::int64_t pos = load_i64le(map);
  if (pos < db_header_size)
    return problem_at(problem, 0, "the first table begins inside the header");
  if (pos > size)
    return problem_at(problem, 0, "a table lies outside the file");
  const std::int64_t records_end = pos;
  std::int64_t slots = 0;
  // Invariant: db_header_size <= pos <= size, where table t must begin.
  for (std::int64_t t = 0; t < db_table_count; t++) {
    const unsigned char* d = map + t * db_descriptor_size;
    if (load_i64le(d) != pos) {
      return problem_at(problem, t * db_descriptor_size,
                        "a table does not begin where the one before it ends");
    }
    std::int64_t n = load_i64le(d + 8);
    if (n < 0 || n % 2 != 0) {
      return problem_at(problem, t * db_descriptor_size + 8,
                        "a slot count is negative or odd");
    }
    if (n > (size - pos) / db_slot_size) {
      return problem_at(problem, t * db_descriptor_size + 8,
                        "a table lies outside the file");
    }
    pos += n * db_slot_size;
    slots += n;  // at most (size - records_end) / 16: no overflow
  }
  if (pos != size) {
    return problem_at(problem, db_header_size - 8,
                      "the tables end before the end of the file");
  }
  // Two slots and at least 16 bytes of records for every record.
  std::int64_t room = records_end - db_header_size;
  std::int64_t records = slots / 2;
  if (records > room / db_record_header_size)
    return problem_at(problem, 0, "more slots than the records have room for");
  if (records == 0 && room > 0)
    return problem_at(problem, 0, "records but no slots for them");
  *layout = {records_end, slots, records};
  return 0;
}

}  // namespace qef64
