#include "db/writer.h"

#include <cerrno>
#include <cstdlib>

#include "db/format.h"
#include "runtime/seek.h"

static_assert(sizeof(db_writer::header) == db_header_size);
static_assert(sizeof(db_writer::table_count) ==
              db_table_count * sizeof(std::int64_t));

namespace {

int put_pair(db_writer* w, std::uint64_t a, std::uint64_t b) {
  stream* out = &w->out;
  // Straight into the buffer when it has room: what stream_put_align would
  // do, without the call, for every record header and slot.
  if (out->size - out->pos >= 16) {
    store_u64le(out->buf + out->pos, a);
    store_u64le(out->buf + out->pos + 8, b);
    out->pos += 16;
    return 0;
  }
  unsigned char pair[16];
  store_u64le(pair, a);
  store_u64le(pair + 8, b);
  return stream_put_align(out, pair, sizeof pair);
}

int too_large() {
  errno = ENOMEM;
  return -1;
}

// Advances position over len bytes unless the result would pass the limit.
int advance(db_writer* w, std::int64_t len) {
  if (w->position > db_max_position - len) return too_large();
  w->position += len;
  return 0;
}

// Stable counting sort of all entries by table into sorted; afterwards
// table_next[t] is the start of table t's run, oldest entry first.
void distribute(db_writer* w) {
  std::int64_t sum = 0;
  for (std::int64_t t = 0; t < db_table_count; t++) {
    sum += w->table_count[t];
    w->table_next[t] = sum;
  }
  // Newest to oldest, each placed just below the previous of its table.
  for (entry_block* b = w->blocks; b != nullptr; b = b->next) {
    for (std::int64_t i = b->used - 1; i >= 0; i--) {
      const writer_entry& e = b->entries[i];
      std::int64_t t = db_hash_table(e.hash);
      w->sorted[--w->table_next[t]] = e;
    }
  }
}

// Assembles table t (c entries, 2c slots) in scratch and appends its slots.
int write_table(db_writer* w, std::int64_t t) {
  std::int64_t c = w->table_count[t];
  std::int64_t n = 2 * c;
  store_u64le(w->header + db_descriptor_size * t,
              static_cast<std::uint64_t>(w->position));
  store_u64le(w->header + db_descriptor_size * t + 8,
              static_cast<std::uint64_t>(n));
  if (c == 0) return 0;
  writer_entry* slots = w->scratch;
  for (std::int64_t s = 0; s < n; s++) slots[s] = {0, 0};
  const writer_entry* run = w->sorted + w->table_next[t];
  for (std::int64_t k = 0; k < c; k++) {
    std::int64_t s = db_hash_start_slot(run[k].hash, n);
    // c entries in 2c slots: an empty slot is always found.
    while (slots[s].record_position != 0) {
      if (++s == n) s = 0;
    }
    slots[s] = run[k];
  }
  for (std::int64_t s = 0; s < n; s++) {
    if (put_pair(w, slots[s].hash,
                 static_cast<std::uint64_t>(slots[s].record_position)) == -1)
      return -1;
    if (advance(w, db_slot_size) == -1) return -1;
  }
  return 0;
}

}  // namespace

int writer_start(db_writer* w, std::int64_t fd) {
  w->blocks = nullptr;
  w->sorted = nullptr;
  w->scratch = nullptr;
  w->entry_count = 0;
  w->fd = fd;
  w->position = db_header_size;
  stream_init(&w->out, write_op, fd, w->out_buffer, sizeof w->out_buffer);
  return seek_to(fd, db_header_size);
}

int writer_add_begin(db_writer* w, std::int64_t key_len,
                     std::int64_t data_len) {
  if (key_len > db_max_position || data_len > db_max_position)
    return too_large();
  return put_pair(w, static_cast<std::uint64_t>(key_len),
                  static_cast<std::uint64_t>(data_len));
}

int writer_add_end(db_writer* w, std::int64_t key_len, std::int64_t data_len,
                   std::uint64_t hash) {
  entry_block* b = w->blocks;
  if (b == nullptr || b->used >= writer_block_entries) {
    b = static_cast<entry_block*>(std::malloc(sizeof(entry_block)));
    if (b == nullptr) return -1;
    b->used = 0;
    b->next = w->blocks;
    w->blocks = b;
  }
  b->entries[b->used++] = {hash, w->position};
  w->entry_count++;
  // The entry stays registered when a limit is hit; the writer is abandoned.
  if (advance(w, db_record_header_size) == -1) return -1;
  if (advance(w, key_len) == -1) return -1;
  return advance(w, data_len);
}

int writer_add(db_writer* w, const unsigned char* key, std::int64_t key_len,
               const unsigned char* data, std::int64_t data_len) {
  if (writer_add_begin(w, key_len, data_len) == -1) return -1;
  if (stream_put_align(&w->out, key, key_len) == -1) return -1;
  if (stream_put_align(&w->out, data, data_len) == -1) return -1;
  return writer_add_end(w, key_len, data_len, db_hash(key, key_len));
}

int writer_finish(db_writer* w) {
  for (std::int64_t t = 0; t < db_table_count; t++) w->table_count[t] = 0;
  for (entry_block* b = w->blocks; b != nullptr; b = b->next) {
    for (std::int64_t i = 0; i < b->used; i++) {
      w->table_count[db_hash_table(b->entries[i].hash)]++;
    }
  }
  std::int64_t m = 1;
  for (std::int64_t t = 0; t < db_table_count; t++) {
    if (2 * w->table_count[t] > m) m = 2 * w->table_count[t];
  }
  void* area = std::calloc(static_cast<std::size_t>(w->entry_count + m),
                           sizeof(writer_entry));
  if (area == nullptr) return -1;
  w->sorted = static_cast<writer_entry*>(area);
  w->scratch = w->sorted + w->entry_count;
  distribute(w);
  for (std::int64_t t = 0; t < db_table_count; t++) {
    if (write_table(w, t) == -1) return -1;
  }
  if (stream_flush(&w->out) == -1) return -1;
  if (seek_to(w->fd, 0) == -1) return -1;
  return stream_putflush(&w->out, w->header, sizeof w->header);
}
