#pragma once

#include <cstdint>

#include "db/format.h"
#include "db/writer.h"
#include "runtime/stream.h"

namespace qef64 {

// The entries of a build kept within a memory budget. Each table gathers
// its newest entries in a buffer of its own; a full buffer goes to the
// spill file as one piece in one write. At the end each table is read back
// on its own, its pieces oldest first and then what is still in memory,
// and placed through the writer's table steps, so that the file is the one
// writer_finish makes from the same entries, whatever the budget.
//
// The spill file holds pieces back to back in the order written. A piece
// is a head of 16 bytes, {where the table's previous piece starts, or -1;
// the number of entries}, then the entries, 16 bytes each in the host's
// order. The file belongs to one process and is read back by it alone.
//
// The budget covers the buffers and what spill_finish needs on top of
// them: two slots and the next-free-slot structure's two links for every
// entry of the largest table (48 bytes), a list of that table's pieces
// and a read buffer. Placing a table needs it whole in memory, so a table
// too large for the budget takes what it needs; otherwise each table keeps
// at least one entry in memory, whatever the budget.

constexpr std::int64_t spill_default_memory = std::int64_t{64} << 20;
// More entries than this cannot fit a file (a record header and two slots,
// 48 bytes, for each past the file header); spill_add refuses them.
constexpr std::int64_t spill_max_entries =
    (db_max_position - db_header_size) /
    (db_record_header_size + 2 * db_slot_size);

// One table's entries. buf[0] is room for the head of the piece that the
// held entries become; they are buf[1] to buf[held], oldest first.
struct spill_table {
  writer_entry* buf;        // 1 + capacity entries, or null for none
  std::int64_t capacity;    // entries buf takes after the head
  std::int64_t held;        // entries in buf
  std::int64_t count;       // entries of the table, written or held
  std::int64_t last_piece;  // offset of its newest piece; -1 for none
  std::int64_t pieces;      // pieces of it in the file
};
static_assert(sizeof(spill_table) == 48);

// Makes the spill file: an empty file open for reading and writing, its
// descriptor, or -1 with errno.
using spill_opener = std::int64_t (*)(void* context);

// The spill engine. It owns the buffers, which spill_release frees, but
// not fd, which the opener's caller closes. After a -1 it is not used
// again except by spill_release.
struct db_spill {
  spill_table tables[db_table_count];
  std::int64_t memory;       // the budget in bytes; may change between adds
  std::int64_t entry_count;  // entries added
  std::int64_t largest;      // the most entries of one table
  std::int64_t most_pieces;  // the most pieces of one table
  std::int64_t buffered;     // bytes of all the buffers, heads included
  std::int64_t fd;           // the spill file; -1 until a piece needs it
  spill_opener open_file;    // called then, with context
  void* context;
  std::int64_t written;    // its size: where the next piece starts
  std::int64_t read_back;  // bytes read from it by spill_finish
  stream_op write;         // write_op and read_op, or a test's own
  stream_op read;
};

// Each returns 0, or -1 with errno: ENOMEM for an entry beyond
// spill_max_entries or a slot beyond db_max_position, the allocator's
// errno, that of open_file, write(2), read(2) or lseek(2), or EIO when the
// spill file does not give back what was written to it.

// Sets up an empty spill with a budget of memory bytes. The spill file is
// made by open_file(context) when the first piece is written: a build that
// fits the budget never has one.
void spill_start(db_spill* sp, std::int64_t memory, spill_opener open_file,
                 void* context);
// Registers the entry of a record the writer just wrote.
[[nodiscard]] int spill_add(db_spill* sp, writer_entry e);
// Writes the hash tables and the header through w, which wrote the
// records; the buffers are freed table by table on the way.
[[nodiscard]] int spill_finish(db_spill* sp, db_writer* w);
// Frees every buffer, whatever state the spill is in, and leaves no
// entries. A spill that was never started must be zero-filled for this.
void spill_release(db_spill* sp);

}  // namespace qef64
