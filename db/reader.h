#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qef64 {

// The reader engine: finds the records of a key in a database open on a
// descriptor, one after the other, in the order they were added. The file is
// mapped whole when possible and read by position otherwise; every access is
// bounded by the file, so a damaged file gives -1 with EPROTO or no record,
// never an access outside it.
//
// The caller owns the structure and must start it with map_addr null (static
// storage does); the reader owns its mapping until reader_free, the next
// reader_init or process exit, and never closes fd.
struct db_reader {
  const unsigned char* map_addr;  // null in positional mode
  std::int64_t fd;
  std::int64_t map_size;     // st_size at reader_init; valid when mapped
  std::int64_t probe_count;  // non-empty slots examined; 0: a fresh lookup
  std::uint64_t key_hash;    // db_hash of the current lookup's key
  std::int64_t next_slot_pos;
  std::int64_t table_pos;
  std::int64_t table_slots;
  std::int64_t data_pos;  // of the record found last (result 1)
  std::int64_t data_len;
};
static_assert(sizeof(db_reader) == 80 &&
              std::is_trivially_copyable_v<db_reader>);

// Maps the file on fd (fstat, then mmap of st_size bytes, PROT_READ,
// MAP_SHARED) or, when that fails or st_size is 0, falls back to positional
// reads. Releases an earlier mapping first. Cannot fail.
void reader_init(db_reader* r, std::int64_t fd);
// Releases the mapping; later reads go by position through fd.
void reader_free(db_reader* r);
// Maps the file on fd as reader_init does, for callers that need the mapping
// and have no use for positional reads: 0, or -1 with errno: that of fstat(2)
// or mmap(2), EISDIR for a directory, EPROTO for a file shorter than its
// header. Releases an earlier mapping first; after -1 the reader is unmapped.
[[nodiscard]] int reader_map(db_reader* r, std::int64_t fd);

// Copies len bytes at file position pos into buf: 0, or -1 with EPROTO when
// any byte of the stretch lies outside the file (a negative len or pos
// included), or with the errno of lseek(2) or read(2). Positional mode moves
// fd's offset.
[[nodiscard]] int reader_read(db_reader* r, unsigned char* buf,
                              std::int64_t len, std::int64_t pos);

// Begins a new lookup: the next reader_find_next hashes the key afresh.
inline void reader_find_start(db_reader* r) {
  r->probe_count = 0;
}
// The next record of the key: 1 found (data_pos and data_len set), 0 no
// further record, -1 a failed read (errno from reader_read, or EPROTO for a
// table that does not fit the 64-bit file space). Every call of one lookup
// passes the same key.
[[nodiscard]] int reader_find_next(db_reader* r, const unsigned char* key,
                                   std::int64_t key_len);
// A hint for a lookup of the key that is coming soon: in mapped mode, starts
// loading the slot where its probe will begin, so that the lookup does not
// wait for memory. It reads only what that lookup would read first, changes
// nothing, cannot fail and does nothing when the file is read by position
// or the table is damaged.
void reader_prefetch(const db_reader* r, const unsigned char* key,
                     std::int64_t key_len);
// The first record of the key: reader_find_start, then reader_find_next.
[[nodiscard]] int reader_find(db_reader* r, const unsigned char* key,
                              std::int64_t key_len);

// The reader of key i, for lookups in several files at once.
using reader_of = const db_reader* (*)(const void* context, std::size_t i);

// What the lookups of a batch wait for: memory, when the file's pages are in
// the page cache (each step prefetches the line its next step reads), or
// the device, when they are not (each step starts the read of the page its
// next step touches, and more lookups are in flight). The results are the
// same either way; only the time differs.
enum class batch_fetch { memory, device };

// The first record of each of n keys, as reader_find would find it, with
// many lookups in flight at once so that their waits on memory overlap.
// Key i is looked up in r, or, when each is not null, in each(context, i);
// fetch says how their pages are brought in.
// REQUIRES: every reader mapped. For key i (keys[i], key_lens[i] bytes),
// data[i] is the address in its mapping of its first record's data and
// data_lens[i] its length, or data[i] is null and data_lens[i] 0 when it has
// none or its lookup failed. Returns n when no lookup failed, else the
// lowest index of a failed one: a read outside the file, or data that does
// not lie inside it (EPROTO, the only failure of a mapped lookup).
[[nodiscard]] std::size_t reader_find_many(
    const db_reader* r, reader_of each, const void* context, std::size_t n,
    const void* const keys[], const std::size_t key_lens[], const void* data[],
    std::size_t data_lens[], batch_fetch fetch);

// Whether a lookup of the key would find what it reads first in memory: the
// page of its start slot and, when that slot names a record of the key's
// hash, the record's page. For deciding on a batch's fetch; costs one or
// two mincore(2) calls. REQUIRES: r mapped.
[[nodiscard]] bool reader_in_memory(const db_reader* r,
                                    const unsigned char* key,
                                    std::int64_t key_len);

// Where the data of the record found last lies, for reader_read; valid after
// a result of 1, until the next one.
inline std::int64_t reader_data_pos(const db_reader* r) {
  return r->data_pos;
}
inline std::int64_t reader_data_len(const db_reader* r) {
  return r->data_len;
}

}  // namespace qef64
