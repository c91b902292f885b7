#pragma once

#include "db/reader.h"
#include "qef64/qef64.h"

namespace qef64 {

// The reader engine's mapping of an open database, for the set calls that
// work on the file itself (its size, its bytes for a checksum, batched
// lookups over several shards). Only map_addr and map_size are meaningful;
// valid until qef64_close of db.
const db_reader* db_mapping(const qef64_db* db);

}  // namespace qef64
