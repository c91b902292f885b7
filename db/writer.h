#pragma once

#include <cstdint>

#include "runtime/stream.h"

namespace qef64 {

// One registered record: the hash of its key and where its header starts.
struct writer_entry {
  std::uint64_t hash;
  std::int64_t record_position;
};
static_assert(sizeof(writer_entry) == 16);

constexpr std::int64_t writer_block_entries = 1000;

// Entries in the order added, filled from index 0; blocks are linked newest
// first, so no entry ever moves before writer_finish.
struct entry_block {
  writer_entry entries[writer_block_entries];
  entry_block* next;
  std::int64_t used;
};

// The writer engine. It owns its blocks and sorted, which writer_release
// gives back (the builder program ends after writer_finish and never calls
// it), but not fd. Between writer_add_begin and
// writer_add_end the caller writes exactly the announced key and data bytes
// into out and nothing else. After a -1 the writer is not used again.
struct db_writer {
  unsigned char out_buffer[8192];
  unsigned char header[4096];
  std::int64_t table_count[256];
  std::int64_t table_next[256];
  entry_block* blocks;
  writer_entry* sorted;
  writer_entry* scratch;  // sorted + entry_count: where a table is assembled
  std::int64_t entry_count;
  stream out;
  std::int64_t position;  // where the next record or slot starts
  std::int64_t fd;
};

// One hash table being assembled: each entry placed takes the first free
// slot from its start slot on, in the order placed (linear probing). Long
// probe runs switch the table to a next-free-slot structure, links, which
// places every entry in the same slot in near-constant time.
struct writer_table {
  writer_entry* slots;    // n slots; an empty slot is all zero
  std::int64_t n;         // 2 per entry of the table
  std::int64_t* links;    // capacity entries, allocated on first need and
  std::int64_t capacity;  // kept for later tables; the caller frees it
  std::int64_t* linked;   // links, once this table uses them; else null
  bool no_links;          // no memory for links: linear probing throughout
};

// Each returns 0, or -1 with errno: ENOMEM for a length or position beyond
// db_max_position, the allocator's errno, or that of write(2) or lseek(2).

// Sets up the writer on fd (open for writing) and seeks it to the first
// record, past the header.
[[nodiscard]] int writer_start(db_writer* w, std::int64_t fd);
// Writes a record's length header; the caller then writes its bytes to out.
[[nodiscard]] int writer_add_begin(db_writer* w, std::int64_t key_len,
                                   std::int64_t data_len);
// Registers the record whose bytes were just written, hash = db_hash(key).
[[nodiscard]] int writer_add_end(db_writer* w, std::int64_t key_len,
                                 std::int64_t data_len, std::uint64_t hash);
// A whole record from memory.
[[nodiscard]] int writer_add(db_writer* w, const unsigned char* key,
                             std::int64_t key_len, const unsigned char* data,
                             std::int64_t data_len);
// A whole record from memory that the caller registers itself: *e is its
// entry, for an index kept outside the writer.
[[nodiscard]] int writer_put_record(db_writer* w, const unsigned char* key,
                                    std::int64_t key_len,
                                    const unsigned char* data,
                                    std::int64_t data_len, writer_entry* e);
// Writes the hash tables after the records, then the header at offset 0.
// Making the file durable and visible is the caller's task.
[[nodiscard]] int writer_finish(db_writer* w);

// The steps of writer_finish, for a caller that keeps the entries itself
// and hands them over table by table, 0 to 255, then calls
// writer_put_header once.
// Empties n slots for a new table. REQUIRES: slots has room for n, and
// n <= capacity.
void writer_table_begin(writer_table* t, std::int64_t n);
// Places count entries, continuing where the last call left off. REQUIRES:
// no more entries in all than half the table's slots.
void writer_table_place(writer_table* t, const writer_entry* run,
                        std::int64_t count);
// The memory placing a table needs for each of its records: two slots and
// the two links writer_table_place may use.
inline constexpr std::int64_t writer_place_bytes =
    2 * static_cast<std::int64_t>(sizeof(writer_entry)) +
    2 * static_cast<std::int64_t>(sizeof(std::int64_t));
static_assert(writer_place_bytes == 48);
// Records table i's descriptor and appends its slots to the file.
[[nodiscard]] int writer_put_table(db_writer* w, std::int64_t i,
                                   const writer_table* t);
// Writes out what is buffered, then the header at offset 0.
[[nodiscard]] int writer_put_header(db_writer* w);

// Frees the blocks and sorted, whatever state the writer is in (started,
// failed or finished), and leaves it as writer_start does: no entries. A
// writer that was never started must be zero-filled for this.
void writer_release(db_writer* w);

}  // namespace qef64
