#pragma once

// What the other sources of the library need of an open database.

#include "db/reader.h"
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

}  // namespace qef64
