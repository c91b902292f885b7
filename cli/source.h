#pragma once

// The database a command reads: DB on its command line, a database file or
// a sharded set's directory (the version its `current` names, or one
// version's own directory). The commands read through these calls alone
// and never ask which of the two DB is, so that each reads both.

#include <cstddef>
#include <cstdint>
#include <string>

#include "qef64/qef64.h"

namespace qef64::cli {

// Exactly one of db and set is open.
struct source {
  std::string path;
  qef64_db* db;    // a database file
  qef64_set* set;  // a set, when path is a directory
};

// Opens path with qef64_open_ex's flags (0: none), a directory as a set:
// 0, or the result of the open.
[[nodiscard]] int source_try_open(source* s, const char* path, unsigned flags);
// As source_try_open without flags; fails with "unable to open PATH: ...".
void source_open(source* s, const char* path);
void source_close(source* s);

// The databases DB consists of: 1 for a file, else the set's shards.
std::size_t source_shards(const source* s);
const qef64_db* source_shard(const source* s, std::size_t i);
std::uint64_t source_count(const source* s);

// As the C interface's calls of the same names (qef64_set_* for a set).
int source_get_many(const source* s, std::size_t n, const void* const keys[],
                    const std::size_t key_lens[], const void* data[],
                    std::size_t data_lens[]);
int source_find_next(const source* s, qef64_cursor* cur, const void* key,
                     std::size_t key_len, const void** data,
                     std::size_t* data_len);

int source_verify_problem(const source* s, qef64_problem* problem);

// A walk over every record: shard 0 first, each database in file order.
// Start from {}; after each record, shard is the one it lies in.
struct source_walk {
  std::size_t shard;
  qef64_iter it;
};
int source_walk_next(const source* s, source_walk* w, const void** key,
                     std::size_t* key_len, const void** data,
                     std::size_t* data_len);

// Where byte offset of shard lies, for a message: "byte offset B" for a
// file, "byte offset B of shard S of version V" for a set. A shard of
// (size_t)-1 is the set's manifest: "the manifest of version V".
std::string source_place(const source* s, std::size_t shard,
                         std::uint64_t offset);

// Fails with "unable to read PATH: ..." for a result of the calls above.
[[noreturn]] void source_fail(const source* s, int rc);

}  // namespace qef64::cli
