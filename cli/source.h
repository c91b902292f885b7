#pragma once

// The database a command reads: DB on its command line.

#include <cstddef>
#include <string>

#include "qef64/qef64.h"

namespace qef64::cli {

struct source {
  std::string path;
  qef64_db* db;
};

// Opens path; fails with "unable to open PATH: ...".
void source_open(source* s, const char* path);
void source_close(source* s);

// As the C interface's calls of the same names.
int source_get_many(const source* s, std::size_t n, const void* const keys[],
                    const std::size_t key_lens[], const void* data[],
                    std::size_t data_lens[]);
int source_find_next(const source* s, qef64_cursor* cur, const void* key,
                     std::size_t key_len, const void** data,
                     std::size_t* data_len);
int source_iter_next(const source* s, qef64_iter* it, const void** key,
                     std::size_t* key_len, const void** data,
                     std::size_t* data_len);

// Fails with "unable to read PATH: ..." for a result of the calls above.
[[noreturn]] void source_fail(const source* s, int rc);

}  // namespace qef64::cli
