// The structure of an open database: its shape, and the deep check of
// every record and slot.

#include "db/verify.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "api/database.h"
#include "db/check.h"
#include "db/format.h"
#include "qef64/qef64.h"

namespace qef64 {

int database_verify(const qef64_db* db, db_tap* tap, qef64_problem* problem) {
  const db_reader& m = database_mapping(db);
  db_problem p;
  int fd = database_reopen(db);
  int rc = verify_file(m.map_addr, m.map_size, fd, verify_default_memory, &p,
                       tap) == 0
               ? 0
               : errno;
  if (fd != -1) (void)::close(fd);
  if (rc == EPROTO && problem != nullptr) {
    *problem = {static_cast<std::uint64_t>(p.offset), static_cast<size_t>(-1),
                p.what};
  }
  return rc;
}

}  // namespace qef64

extern "C" {

int qef64_verify(const qef64_db* db) {
  return qef64_verify_problem(db, nullptr);
}

int qef64_verify_problem(const qef64_db* db, qef64_problem* problem) {
  return qef64::database_verify(db, nullptr, problem);
}

int qef64_get_info(const qef64_db* db, qef64_info* info) {
  const qef64::db_reader& m = qef64::database_mapping(db);
  qef64::db_layout layout;
  // Checked at open already; a mapping is not changed by the library.
  if (qef64::check_header(m.map_addr, m.map_size, &layout, nullptr) == -1)
    return EPROTO;
  auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
  info->records = u(layout.records);
  info->file_bytes = u(m.map_size);
  info->record_bytes = u(layout.records_end - qef64::db_header_size);
  info->table_bytes =
      u(m.map_size - layout.records_end + qef64::db_header_size);
  info->slots = u(layout.slots);
  int fd = qef64::database_reopen(db);
  std::int64_t longest =
      qef64::verify_longest_probe(m.map_addr, m.map_size, fd);
  int rc = longest == -1 ? errno : 0;
  if (fd != -1) (void)::close(fd);
  info->longest_probe = longest == -1 ? 0 : u(longest);
  return rc;
}

}  // extern "C"
