#include "db/writer.h"

#include <cerrno>
#include <cstdlib>

#include "db/format.h"
#include "runtime/seek.h"

namespace qef64 {

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

// A probe longer than this means many entries share a start slot (a key
// added many times, or hashes made to collide); placing each of them by
// walking the whole run would take time quadratic in their number.
constexpr std::int64_t long_probe = 256;

// Where a probe that stands at slot s ends: the first free slot at or after
// s, wrapping. links[s] is s for a free slot and leads towards the next one
// for a taken slot; the walk halves the paths it follows.
std::int64_t first_free(std::int64_t* links, std::int64_t s) {
  while (links[s] != s) {
    links[s] = links[links[s]];
    s = links[s];
  }
  return s;
}

// The next free slot of every slot of the table as it stands, for
// first_free: null when there is no memory for it (linear probing goes on
// then, only slower).
std::int64_t* link_slots(std::int64_t** links, std::int64_t capacity,
                         const writer_entry* slots, std::int64_t n) {
  if (*links == nullptr) {
    *links = static_cast<std::int64_t*>(
        std::malloc(static_cast<std::size_t>(capacity) * sizeof(std::int64_t)));
    if (*links == nullptr) return nullptr;
  }
  for (std::int64_t s = 0; s < n; s++) {
    bool taken = slots[s].record_position != 0;
    (*links)[s] = !taken ? s : (s + 1 == n ? 0 : s + 1);
  }
  return *links;
}

// Moves position past the record just written (header, key and data)
// unless that passes the limit.
int pass_record(db_writer* w, std::int64_t key_len, std::int64_t data_len) {
  if (advance(w, db_record_header_size) == -1) return -1;
  if (advance(w, key_len) == -1) return -1;
  return advance(w, data_len);
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
  return pass_record(w, key_len, data_len);
}

int writer_add(db_writer* w, const unsigned char* key, std::int64_t key_len,
               const unsigned char* data, std::int64_t data_len) {
  if (writer_add_begin(w, key_len, data_len) == -1) return -1;
  if (stream_put_align(&w->out, key, key_len) == -1) return -1;
  if (stream_put_align(&w->out, data, data_len) == -1) return -1;
  return writer_add_end(w, key_len, data_len, db_hash(key, key_len));
}

int writer_put_record(db_writer* w, const unsigned char* key,
                      std::int64_t key_len, const unsigned char* data,
                      std::int64_t data_len, writer_entry* e) {
  if (writer_add_begin(w, key_len, data_len) == -1) return -1;
  if (stream_put_align(&w->out, key, key_len) == -1) return -1;
  if (stream_put_align(&w->out, data, data_len) == -1) return -1;
  *e = {db_hash(key, key_len), w->position};
  return pass_record(w, key_len, data_len);
}

void writer_release(db_writer* w) {
  for (entry_block* b = w->blocks; b != nullptr;) {
    entry_block* next = b->next;
    std::free(b);
    b = next;
  }
  std::free(w->sorted);
  w->blocks = nullptr;
  w->sorted = nullptr;
  w->scratch = nullptr;
  w->entry_count = 0;
}

void writer_table_begin(writer_table* t, std::int64_t n) {
  for (std::int64_t s = 0; s < n; s++)
    t->slots[s] = {0, 0};
  t->n = n;
  t->linked = nullptr;
  t->no_links = false;
}

// Each entry walks from its start slot to the first free one; a walk past
// long_probe slots switches the table to first_free for good.
void writer_table_place(writer_table* t, const writer_entry* run,
                        std::int64_t count) {
  // Locals, not the fields: a store into a slot could alias them otherwise.
  writer_entry* slots = t->slots;
  std::int64_t n = t->n;
  std::int64_t* linked = t->linked;
  bool no_links = t->no_links;
  for (std::int64_t k = 0; k < count; k++) {
    std::int64_t s = db_hash_start_slot(run[k].hash, n);
    if (linked != nullptr) {
      s = first_free(linked, s);
    } else {
      // At most half the slots are taken: an empty slot is always found.
      for (std::int64_t steps = 0; slots[s].record_position != 0; steps++) {
        if (steps == long_probe && !no_links) {
          linked = link_slots(&t->links, t->capacity, slots, n);
          no_links = linked == nullptr;
          if (linked != nullptr) {
            s = first_free(linked, s);
            break;
          }
        }
        if (++s == n) s = 0;
      }
    }
    slots[s] = run[k];
    if (linked != nullptr) linked[s] = s + 1 == n ? 0 : s + 1;
  }
  t->linked = linked;
  t->no_links = no_links;
}

int writer_put_table(db_writer* w, std::int64_t i, const writer_table* t) {
  store_u64le(w->header + db_descriptor_size * i,
              static_cast<std::uint64_t>(w->position));
  store_u64le(w->header + db_descriptor_size * i + 8,
              static_cast<std::uint64_t>(t->n));
  const writer_entry* slots = t->slots;
  for (std::int64_t s = 0; s < t->n; s++) {
    if (put_pair(w, slots[s].hash,
                 static_cast<std::uint64_t>(slots[s].record_position)) == -1)
      return -1;
    if (advance(w, db_slot_size) == -1) return -1;
  }
  return 0;
}

int writer_put_header(db_writer* w) {
  if (stream_flush(&w->out) == -1) return -1;
  if (seek_to(w->fd, 0) == -1) return -1;
  return stream_putflush(&w->out, w->header, sizeof w->header);
}

int writer_finish(db_writer* w) {
  for (std::int64_t t = 0; t < db_table_count; t++)
    w->table_count[t] = 0;
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
  // Tables 0 to 255 one after the other in scratch, sized for the largest.
  writer_table table = {w->scratch, 0, nullptr, m, nullptr, false};
  for (std::int64_t t = 0; t < db_table_count; t++) {
    std::int64_t c = w->table_count[t];
    writer_table_begin(&table, 2 * c);
    writer_table_place(&table, w->sorted + w->table_next[t], c);
    if (writer_put_table(w, t, &table) == -1) {
      std::free(table.links);
      return -1;
    }
  }
  std::free(table.links);
  return writer_put_header(w);
}

}  // namespace qef64
