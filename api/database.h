#pragma once

// What the other sources of the library need of an open database.

#include "db/reader.h"
#include "db/window.h"
#include "qef64/qef64.h"

namespace qef64 {

// The mapping of the whole file, as qef64_open made it; valid until
// qef64_close.
const db_reader& database_mapping(const qef64_db* db);

// A new descriptor of the file the database maps, opened again by its
// path, for a pass that reads the whole file; -1 for a database opened by
// descriptor, or when the path names another file now. The caller closes
// it. errno is left as it was.
int database_reopen(const qef64_db* db);

// qef64_verify_problem, the tap (null for none) given every byte of the
// file as the check reads it (verify_file).
int database_verify(const qef64_db* db, db_tap* tap, qef64_problem* problem);

}  // namespace qef64
