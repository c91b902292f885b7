#include "db/spill.h"

#include <cerrno>
#include <cstdlib>

#include "runtime/seek.h"

namespace qef64 {

namespace {

constexpr std::int64_t entry_size = sizeof(writer_entry);

// Where a piece starts and how many entries it has, as spill_finish lists
// a table's pieces.
struct piece_ref {
  std::int64_t offset;
  std::int64_t count;
};

// A buffer's first capacity, 4 KiB with its head, wastes little in a small
// build; the next is 256 KiB, whose pieces are large writes and reads, and
// then capacities double. As 2^k - 1 entries, a buffer is 2^k entries.
constexpr std::int64_t first_capacity = 255;
constexpr std::int64_t large_capacity = 16383;
// The read buffer of spill_finish has room for at least this many entries.
constexpr std::int64_t least_read = 255;

// The entries each table may hold now: what the budget leaves once the
// largest table's placing and its piece list are set aside, shared by the
// 256 buffers and the read buffer, each with a head. At least 1.
std::int64_t share(const db_spill* sp) {
  std::int64_t rest = sp->memory - writer_place_bytes * sp->largest -
                      std::int64_t{sizeof(piece_ref)} * sp->most_pieces;
  std::int64_t per = rest / (db_table_count + 1) / entry_size - 1;
  return per < 1 ? 1 : per;
}

std::int64_t read_capacity(const db_spill* sp) {
  std::int64_t c = share(sp);
  return c < least_read ? least_read : c;
}

std::int64_t buffer_bytes(const spill_table* t) {
  return t->buf == nullptr ? 0 : (t->capacity + 1) * entry_size;
}

// Gives t's buffer room for capacity (> 0) entries after the head; on
// failure the buffer stays as it was.
int resize(db_spill* sp, spill_table* t, std::int64_t capacity) {
  void* p = std::realloc(t->buf,
                         static_cast<std::size_t>((capacity + 1) * entry_size));
  if (p == nullptr) return -1;
  sp->buffered -= buffer_bytes(t);
  t->buf = static_cast<writer_entry*>(p);
  t->capacity = capacity;
  sp->buffered += buffer_bytes(t);
  return 0;
}

// Frees t's buffer; its held entries, if any, are lost.
void drop(db_spill* sp, spill_table* t) {
  sp->buffered -= buffer_bytes(t);
  std::free(t->buf);
  t->buf = nullptr;
  t->capacity = 0;
}

int write_all(db_spill* sp, const unsigned char* p, std::int64_t n) {
  // write(2) only reads p; the cast satisfies the type that reads share.
  return op_all(sp->write, sp->fd, const_cast<unsigned char*>(p), n);
}

// Reads n bytes from the file's offset; an end of file before them is EIO,
// as the file once held them.
int read_all(db_spill* sp, unsigned char* p, std::int64_t n) {
  if (op_all(sp->read, sp->fd, p, n) == -1) return -1;
  sp->read_back += n;
  return 0;
}

unsigned char* bytes_of(writer_entry* e) {
  return reinterpret_cast<unsigned char*>(e);
}

// Appends t's held entries to the file as one piece, in one write.
int write_piece(db_spill* sp, spill_table* t) {
  if (sp->fd == -1) {
    sp->fd = sp->open_file(sp->context);
    if (sp->fd == -1) return -1;
  }
  t->buf[0] = {static_cast<std::uint64_t>(t->last_piece), t->held};
  std::int64_t n = (t->held + 1) * entry_size;
  if (write_all(sp, bytes_of(t->buf), n) == -1) return -1;
  t->last_piece = sp->written;
  sp->written += n;
  t->held = 0;
  if (++t->pieces > sp->most_pieces) sp->most_pieces = t->pieces;
  return 0;
}

// Makes room for one more entry in t's full buffer: it grows while the
// budget allows, else its entries go to the file. A budget that shrank as
// the largest table grew shrinks the buffer after that.
int make_room(db_spill* sp, spill_table* t) {
  std::int64_t limit = share(sp);
  if (t->capacity < limit) {
    std::int64_t next = t->capacity == 0               ? first_capacity
                        : t->capacity < large_capacity ? large_capacity
                                                       : 2 * t->capacity + 1;
    if (next > limit) next = limit;
    if (resize(sp, t, next) == 0) return 0;
    // Out of memory: write the entries out instead, if there are any.
    if (t->held == 0) return -1;
  }
  if (write_piece(sp, t) == -1) return -1;
  // Failing to shrink keeps the larger buffer, which still works.
  if (t->capacity > limit) (void)resize(sp, t, limit);
  return 0;
}

// Cuts every buffer down to its held entries, then writes out and frees
// buffers until they and what placing needs fit the budget.
int fit(db_spill* sp) {
  for (spill_table& t : sp->tables) {
    if (t.held == 0) {
      drop(sp, &t);
    } else if (t.capacity > t.held) {
      // Failing to shrink keeps the larger buffer, which still works.
      (void)resize(sp, &t, t.held);
    }
  }
  for (std::int64_t i = 0; i < db_table_count; i++) {
    std::int64_t need = writer_place_bytes * sp->largest +
                        std::int64_t{sizeof(piece_ref)} * sp->most_pieces +
                        (read_capacity(sp) + 1) * entry_size;
    if (sp->buffered <= sp->memory - need) return 0;
    spill_table* t = &sp->tables[i];
    if (t->held > 0 && write_piece(sp, t) == -1) return -1;
    drop(sp, t);
  }
  return 0;
}

// Places table t's pieces, oldest first. Their chain runs from the newest
// back: the walk fills list from its end, the reads go from its start.
// Every head is checked against the counts kept in memory, so a spill file
// changed behind the builder's back gives EIO rather than a wrong table or
// a probe that never ends.
int place_pieces(db_spill* sp, const spill_table* t, writer_table* table,
                 piece_ref* list, writer_entry* buf, std::int64_t capacity) {
  std::int64_t left = t->count - t->held;
  std::int64_t offset = t->last_piece;
  for (std::int64_t i = t->pieces - 1; i >= 0; i--) {
    writer_entry head;
    if (offset < 0 || seek_to(sp->fd, offset) == -1) return -1;
    if (read_all(sp, bytes_of(&head), entry_size) == -1) return -1;
    auto previous = static_cast<std::int64_t>(head.hash);
    std::int64_t count = head.record_position;
    if (count < 1 || count > left || previous < -1 || previous >= offset) {
      errno = EIO;
      return -1;
    }
    list[i] = {offset, count};
    left -= count;
    offset = previous;
  }
  if (left != 0 || offset != -1) {
    errno = EIO;
    return -1;
  }
  for (std::int64_t i = 0; i < t->pieces; i++) {
    if (seek_to(sp->fd, list[i].offset + entry_size) == -1) return -1;
    for (std::int64_t n = list[i].count; n > 0;) {
      std::int64_t k = n < capacity ? n : capacity;
      if (read_all(sp, bytes_of(buf), k * entry_size) == -1) return -1;
      writer_table_place(table, buf, k);
      n -= k;
    }
  }
  return 0;
}

// The tables, 0 to 255, each from its pieces and its buffer, which is
// freed once the table is written.
int write_tables(db_spill* sp, db_writer* w, writer_table* table,
                 piece_ref* list, writer_entry* buf, std::int64_t capacity) {
  for (std::int64_t i = 0; i < db_table_count; i++) {
    spill_table* t = &sp->tables[i];
    writer_table_begin(table, 2 * t->count);
    if (place_pieces(sp, t, table, list, buf, capacity) == -1) return -1;
    if (t->held > 0) writer_table_place(table, t->buf + 1, t->held);
    if (writer_put_table(w, i, table) == -1) return -1;
    t->held = 0;
    drop(sp, t);
  }
  return 0;
}

}  // namespace

void spill_start(db_spill* sp, std::int64_t memory, spill_opener open_file,
                 void* context) {
  for (spill_table& t : sp->tables) {
    t = {nullptr, 0, 0, 0, -1, 0};
  }
  sp->memory = memory;
  sp->entry_count = 0;
  sp->largest = 0;
  sp->most_pieces = 0;
  sp->buffered = 0;
  sp->fd = -1;
  sp->open_file = open_file;
  sp->context = context;
  sp->written = 0;
  sp->read_back = 0;
  sp->write = write_op;
  sp->read = read_op;
}

int spill_add(db_spill* sp, writer_entry e) {
  if (sp->entry_count >= spill_max_entries) {
    errno = ENOMEM;
    return -1;
  }
  spill_table* t = &sp->tables[db_hash_table(e.hash)];
  if (t->held == t->capacity && make_room(sp, t) == -1) return -1;
  t->buf[++t->held] = e;
  if (++t->count > sp->largest) sp->largest = t->count;
  sp->entry_count++;
  return 0;
}

int spill_finish(db_spill* sp, db_writer* w) {
  if (fit(sp) == -1) return -1;
  std::int64_t m = sp->largest > 0 ? 2 * sp->largest : 1;
  std::int64_t capacity = read_capacity(sp);
  auto* slots = static_cast<writer_entry*>(
      std::malloc(static_cast<std::size_t>(m * entry_size)));
  writer_entry* buf = nullptr;
  piece_ref* list = nullptr;
  if (sp->written > 0) {
    buf = static_cast<writer_entry*>(
        std::malloc(static_cast<std::size_t>(capacity * entry_size)));
    list = static_cast<piece_ref*>(std::malloc(
        static_cast<std::size_t>(sp->most_pieces) * sizeof(piece_ref)));
  }
  int rc = -1;
  writer_table table = {slots, 0, nullptr, m, nullptr, false};
  if (slots != nullptr &&
      (sp->written == 0 || (buf != nullptr && list != nullptr))) {
    rc = write_tables(sp, w, &table, list, buf, capacity);
  }
  int e = errno;  // the frees below leave it alone, but that is not promised
  std::free(table.links);
  std::free(list);
  std::free(buf);
  std::free(slots);
  errno = e;
  if (rc == -1) return -1;
  return writer_put_header(w);
}

void spill_release(db_spill* sp) {
  for (spill_table& t : sp->tables) {
    std::free(t.buf);
    t = {nullptr, 0, 0, 0, -1, 0};
  }
  sp->entry_count = 0;
  sp->largest = 0;
  sp->most_pieces = 0;
  sp->buffered = 0;
}

}  // namespace qef64
