#include "db/reader.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "db/format.h"
#include "db/pages.h"
#include "runtime/bytes.h"
#include "runtime/seek.h"
#include "runtime/stream.h"

namespace qef64 {

namespace {

constexpr std::int64_t chunk_size = 32;
constexpr std::int64_t max_position = std::numeric_limits<std::int64_t>::max();

int outside_file() {
  errno = EPROTO;
  return -1;
}

// pos + n for positions read from a file that may hold anything: a sum that
// does not fit is -1, which every read refuses as outside the file.
std::int64_t position_add(std::int64_t pos, std::int64_t n) {
  std::int64_t sum;
  if (__builtin_add_overflow(pos, n, &sum)) return -1;
  return sum;
}

// The len bytes at pos (len <= chunk_size): in mapped mode straight from the
// mapping, else read into scratch. Null after a failed read, errno set.
const unsigned char* reader_view(db_reader* r, unsigned char* scratch,
                                 std::int64_t len, std::int64_t pos) {
  if (r->map_addr != nullptr) {
    if (pos < 0 || pos > r->map_size || r->map_size - pos < len) {
      outside_file();
      return nullptr;
    }
    return r->map_addr + pos;
  }
  return reader_read(r, scratch, len, pos) == -1 ? nullptr : scratch;
}

// Does the key stored at key_pos equal the caller's key? Compared in chunks
// of 32 bytes so that a key running past the end of the file fails only when
// the part before it matched. 1 equal, 0 different, -1 failed read.
int key_matches(db_reader* r, const unsigned char* key, std::int64_t key_len,
                std::int64_t key_pos) {
  // A mapped key that lies wholly inside the file compares in one piece:
  // chunks matter only for where a key cut off by the end of the file fails.
  if (r->map_addr != nullptr && key_pos >= 0 && key_pos <= r->map_size &&
      r->map_size - key_pos >= key_len) {
    return key_len <= 0 || std::memcmp(r->map_addr + key_pos, key,
                                       static_cast<std::size_t>(key_len)) == 0;
  }
  unsigned char chunk[chunk_size];
  for (std::int64_t done = 0; done < key_len;) {
    std::int64_t n = key_len - done < chunk_size ? key_len - done : chunk_size;
    const unsigned char* stored =
        reader_view(r, chunk, n, position_add(key_pos, done));
    if (stored == nullptr) return -1;
    if (compare_bytes(stored, n, key + done) != 0) return 0;
    done += n;
  }
  return 1;
}

// Where the probe for hash h starts in the table that descriptor d names:
// 1 with *slot_pos set, 0 for an empty table, -1 for a table that does not
// fit in the 64-bit file space (which would make the slot arithmetic
// overflow).
int start_slot(const unsigned char* d, std::uint64_t h,
               std::int64_t* slot_pos) {
  std::int64_t slots = load_i64le(d + 8);
  if (slots <= 0) return 0;
  std::int64_t table = load_i64le(d);
  if (table < 0 || slots > (max_position - table) / db_slot_size) return -1;
  *slot_pos = table + db_slot_size * db_hash_start_slot(h, slots);
  return 1;
}

// Reads the key's table descriptor and places the probe at its start slot:
// 1 ready, 0 an empty table, -1 a failed read or a table outside the file
// space.
int lookup_start(db_reader* r, const unsigned char* key, std::int64_t key_len) {
  unsigned char buf[16];
  std::uint64_t h = db_hash(key, key_len);
  const unsigned char* d = reader_view(r, buf, db_descriptor_size,
                                       db_hash_table(h) * db_descriptor_size);
  if (d == nullptr) return -1;
  std::int64_t slot_pos;
  int ready = start_slot(d, h, &slot_pos);
  if (ready == -1) return outside_file();
  if (ready == 0) return 0;
  r->table_slots = load_i64le(d + 8);
  r->table_pos = load_i64le(d);
  r->key_hash = h;
  r->next_slot_pos = slot_pos;
  return 1;
}

// ---- Many lookups in flight ----
//
// A lookup of a random key in a file larger than the caches waits on memory
// twice: for its slot, then for the record the slot names. reader_find_many
// keeps a ring of lookups, and each visit advances one of them by one step
// that ends by prefetching what its next step reads, so that by the time the
// ring comes round again the line has arrived, while the other lookups'
// lines arrive in parallel. The steps decide exactly as reader_find_next
// does, check for check.
//
// When the pages are not in memory a prefetch instruction does nothing (the
// processor drops it on a page that is not mapped), and the ring would wait
// on one page fault at a time. With batch_fetch::device each step instead
// starts the device read of the page its next step touches (MADV_WILLNEED),
// and the ring is deeper, so that the device works on many reads at once
// and a fault finds its page on the way or already there.

// Lookups in flight, by measurement on files of 1 M and 10 M records: 8
// leaves memory idle, past 24 the ring's own work outgrows the gain.
constexpr std::size_t batch_depth = 16;
// Reads in flight for a cold batch: a device's queue of 32 to 64 reads
// keeps it at its best rate; the madvise of each costs a system call.
constexpr std::size_t batch_depth_device = 64;

template <batch_fetch F>
constexpr std::size_t depth_of =
    F == batch_fetch::memory ? batch_depth : batch_depth_device;

enum class batch_step { running, found, none, failed };
// What a lookup in the ring does at its next visit.
enum class batch_stage : unsigned char { idle, slot, record };

struct batch_lookup {
  const db_reader* r;  // the file the key is looked up in
  const unsigned char* key;
  std::int64_t key_len;
  std::size_t index;  // of the key, for the results
  std::uint64_t hash;
  std::int64_t slot;  // position of the slot to examine next
  std::int64_t table_pos;
  std::int64_t table_end;
  std::int64_t table_slots;
  std::int64_t probes;  // non-empty slots examined, as probe_count
  std::int64_t record;  // the candidate, in the record stage
  std::int64_t data_pos;
  std::int64_t data_len;
  batch_stage stage;
};

// Starts loading the line of the byte at pos; a position outside the file
// loads the first line instead (and fails in the step that reads it). The
// prefetch itself is unconditional: under an if with this test, g++ 12 -O2
// compiled it away, and the batch ran at the speed of single lookups.
void prefetch_at(const db_reader* r, std::int64_t pos) {
  bool inside = pos >= 0 && pos < r->map_size;
  __builtin_prefetch(r->map_addr + (inside ? pos : 0));
}

bool same_page(std::int64_t a, std::int64_t b) {
  std::int64_t page = pages_size();
  return a / page == b / page;
}

// The next slot to examine, after the one at `examined`: prefetched, or
// read in unless it shares that slot's page, which is in memory by now.
template <batch_fetch F>
void fetch_slot(const db_reader* r, std::int64_t slot, std::int64_t examined) {
  if constexpr (F == batch_fetch::memory) {
    prefetch_at(r, slot);
  } else {
    if (examined < 0 || !same_page(slot, examined) ||
        !same_page(slot + db_slot_size - 1, examined))
      pages_will_need(r, slot, db_slot_size);
  }
}

// The record header and the key of a candidate at record, key_len bytes.
template <batch_fetch F>
void fetch_record(const db_reader* r, std::int64_t record,
                  std::int64_t key_len) {
  std::int64_t key_end = position_add(record + db_record_header_size, key_len);
  if constexpr (F == batch_fetch::memory) {
    // The header's line, and the line of the key's last byte, in case the
    // record crosses into the next one.
    prefetch_at(r, record);
    prefetch_at(r, key_end - 1);
  } else {
    // A key_end that overflowed is -1: the header alone, the step that reads
    // the key refuses it.
    pages_will_need(r, record,
                    key_end < 0 ? db_record_header_size : key_end - record);
  }
}

// Hashes the key, reads its table descriptor (the header stays cached) and
// fetches the start slot.
template <batch_fetch F>
batch_step batch_start(batch_lookup* l) {
  const db_reader* r = l->r;
  l->hash = db_hash(l->key, l->key_len);
  std::int64_t descriptor = db_hash_table(l->hash) * db_descriptor_size;
  if (descriptor > r->map_size - db_descriptor_size) return batch_step::failed;
  const unsigned char* d = r->map_addr + descriptor;
  int ready = start_slot(d, l->hash, &l->slot);
  if (ready == 0) return batch_step::none;
  if (ready == -1) return batch_step::failed;
  l->table_slots = load_i64le(d + 8);
  l->table_pos = load_i64le(d);
  l->table_end = l->table_pos + db_slot_size * l->table_slots;
  l->probes = 0;
  l->stage = batch_stage::slot;
  fetch_slot<F>(r, l->slot, -1);
  return batch_step::running;
}

// Examines the slot; a matching hash fetches the record it names, anything
// else the next slot.
template <batch_fetch F>
batch_step batch_slot(batch_lookup* l) {
  const db_reader* r = l->r;
  if (l->slot > r->map_size - db_slot_size) return batch_step::failed;
  std::int64_t examined = l->slot;
  const unsigned char* slot = r->map_addr + l->slot;
  std::int64_t record = load_i64le(slot + 8);
  if (record <= 0) return batch_step::none;
  l->probes++;
  l->slot += db_slot_size;
  if (l->slot == l->table_end) l->slot = l->table_pos;
  if (load_u64le(slot) == l->hash) {
    if (record > r->map_size - db_record_header_size) return batch_step::failed;
    l->record = record;
    l->stage = batch_stage::record;
    fetch_record<F>(r, record, l->key_len);
    return batch_step::running;
  }
  if (l->probes >= l->table_slots) return batch_step::none;
  fetch_slot<F>(r, l->slot, examined);
  return batch_step::running;
}

// Compares the candidate's key; a mismatch goes on to the next slot.
template <batch_fetch F>
batch_step batch_record(batch_lookup* l) {
  const db_reader* r = l->r;
  const unsigned char* header = r->map_addr + l->record;
  l->stage = batch_stage::slot;
  if (load_i64le(header) == l->key_len) {
    // The header lies inside the file, so key_pos does not overflow.
    std::int64_t key_pos = l->record + db_record_header_size;
    // A key wholly inside the file compares in one piece; one cut off by
    // the end of the file takes the chunked comparison, which tells a
    // mismatch from a failure as a single lookup does.
    int same;
    if (r->map_size - key_pos >= l->key_len) {
      same = l->key_len == 0 ||
             std::memcmp(r->map_addr + key_pos, l->key,
                         static_cast<std::size_t>(l->key_len)) == 0;
    } else {
      // key_matches takes a reader it may read through; in mapped mode it
      // only looks at the mapping, which a copy shares.
      db_reader mapped = *r;
      same = key_matches(&mapped, l->key, l->key_len, key_pos);
    }
    if (same == -1) return batch_step::failed;
    if (same == 1) {
      l->data_len = load_i64le(header + 8);
      l->data_pos = key_pos + l->key_len;
      return batch_step::found;
    }
  }
  if (l->probes >= l->table_slots) return batch_step::none;
  // The slot before this one was examined last; its page is in memory.
  std::int64_t examined = l->slot == l->table_pos ? l->table_end - db_slot_size
                                                  : l->slot - db_slot_size;
  fetch_slot<F>(r, l->slot, examined);
  return batch_step::running;
}

// Puts a finished lookup's result in place: false when it failed, or found
// data that does not lie inside the file.
inline bool batch_emit(const batch_lookup& l, batch_step step,
                       const void* data[], std::size_t data_lens[]) {
  const db_reader* r = l.r;
  data[l.index] = nullptr;
  data_lens[l.index] = 0;
  if (step == batch_step::none) return true;
  if (step == batch_step::failed) return false;
  if (l.data_pos < 0 || l.data_len < 0 || l.data_pos > r->map_size ||
      r->map_size - l.data_pos < l.data_len)
    return false;
  data[l.index] = r->map_addr + l.data_pos;
  data_lens[l.index] = static_cast<std::size_t>(l.data_len);
  return true;
}

// The caller reads the data it was given next; from a cold file, the pages
// of it beyond the key's are read in now, with the rest of the batch.
void fetch_data(const batch_lookup& l) {
  if (l.data_len <= 0) return;
  std::int64_t page = pages_size();
  std::int64_t fetched_end = (l.data_pos - 1) / page * page + page;
  if (l.data_pos + l.data_len > fetched_end)
    pages_will_need(l.r, fetched_end, l.data_pos + l.data_len - fetched_end);
}

template <batch_fetch F>
std::size_t find_many(const db_reader* r, reader_of each, const void* context,
                      std::size_t n, const void* const keys[],
                      const std::size_t key_lens[], const void* data[],
                      std::size_t data_lens[]) {
  constexpr std::size_t depth = depth_of<F>;
  std::size_t first_failed = n;
  std::size_t next = 0;
  std::size_t live = 0;
  batch_lookup ring[depth];
  for (batch_lookup& l : ring)
    l.stage = batch_stage::idle;
  auto emit = [&](const batch_lookup& l, batch_step step) {
    if (!batch_emit(l, step, data, data_lens)) {
      if (l.index < first_failed) first_failed = l.index;
    } else if (F == batch_fetch::device && step == batch_step::found) {
      fetch_data(l);
    }
  };
  // Round the ring: each visit advances the lookup in the slot by one step
  // and, when the slot is free, starts the next keys until one of them has
  // to wait.
  for (std::size_t k = 0; live > 0 || next < n; k = (k + 1) % depth) {
    batch_lookup& l = ring[k];
    if (l.stage != batch_stage::idle) {
      batch_step step = l.stage == batch_stage::record ? batch_record<F>(&l)
                                                       : batch_slot<F>(&l);
      if (step == batch_step::running) continue;
      emit(l, step);
      l.stage = batch_stage::idle;
      live--;
    }
    while (next < n) {
      l.index = next++;
      l.r = each == nullptr ? r : each(context, l.index);
      l.key = static_cast<const unsigned char*>(keys[l.index]);
      // The key that starts a ring's length from now: keys held apart in
      // memory cost their own miss at hashing.
      __builtin_prefetch(keys[std::min(next + depth, n) - 1]);
      batch_step step = batch_step::none;
      // No record of a file in the 64-bit file space has a longer key.
      if (key_lens[l.index] <= static_cast<std::size_t>(max_position)) {
        l.key_len = static_cast<std::int64_t>(key_lens[l.index]);
        step = batch_start<F>(&l);
        if (step == batch_step::running) {
          live++;
          break;
        }
      }
      emit(l, step);
    }
  }
  return first_failed;
}

}  // namespace

void reader_init(db_reader* r, std::int64_t fd) {
  reader_free(r);
  r->probe_count = 0;
  r->fd = fd;
  struct stat st;
  if (::fstat(static_cast<int>(fd), &st) == -1) return;
  // An empty file cannot be mapped, and one larger than the address space
  // could not be mapped whole; both are read by position.
  if (st.st_size <= 0 || static_cast<std::uint64_t>(st.st_size) >
                             std::numeric_limits<std::size_t>::max())
    return;
  void* addr = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ,
                      MAP_SHARED, static_cast<int>(fd), 0);
  if (addr == MAP_FAILED) return;
  r->map_size = st.st_size;
  r->map_addr = static_cast<const unsigned char*>(addr);
}

void reader_free(db_reader* r) {
  if (r->map_addr == nullptr) return;
  // The mapping is read-only and ours; a failed munmap leaves nothing to undo.
  (void)::munmap(const_cast<unsigned char*>(r->map_addr),
                 static_cast<std::size_t>(r->map_size));
  r->map_addr = nullptr;
}

int reader_map(db_reader* r, std::int64_t fd) {
  reader_free(r);
  r->probe_count = 0;
  r->fd = fd;
  struct stat st;
  if (::fstat(static_cast<int>(fd), &st) == -1) return -1;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return -1;
  }
  // Checked before mmap, which would refuse an empty file with EINVAL: a
  // file without a whole header is a damaged database, not a bad argument.
  if (st.st_size < db_header_size) return outside_file();
  if (static_cast<std::uint64_t>(st.st_size) >
      std::numeric_limits<std::size_t>::max()) {
    errno = EFBIG;
    return -1;
  }
  void* addr = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ,
                      MAP_SHARED, static_cast<int>(fd), 0);
  if (addr == MAP_FAILED) return -1;
  r->map_size = st.st_size;
  r->map_addr = static_cast<const unsigned char*>(addr);
  return 0;
}

int reader_read(db_reader* r, unsigned char* buf, std::int64_t len,
                std::int64_t pos) {
  if (len < 0 || pos < 0) return outside_file();
  if (r->map_addr != nullptr) {
    if (pos > r->map_size || r->map_size - pos < len) return outside_file();
    if (len > 0) std::memcpy(buf, r->map_addr + pos, static_cast<size_t>(len));
    return 0;
  }
  if (seek_to(r->fd, pos) == -1) {
    // lseek refuses a position beyond what the file system can hold with
    // EINVAL; such a position is just as much outside the file as one past
    // its end, and the mapped mode says EPROTO for both.
    if (errno == EINVAL) errno = EPROTO;
    return -1;
  }
  while (len > 0) {
    std::int64_t got = read_op(r->fd, buf, len);
    if (got == -1) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) return outside_file();
    buf += got;
    len -= got;
  }
  return 0;
}

int reader_find_next(db_reader* r, const unsigned char* key,
                     std::int64_t key_len) {
  if (r->probe_count == 0) {
    int ready = lookup_start(r, key, key_len);
    if (ready <= 0) return ready;
  } else if (r->probe_count >= r->table_slots) {
    return 0;
  }
  // lookup_start guaranteed table_pos + 16 * table_slots fits, so neither
  // the slot positions nor the table's end can overflow.
  const std::int64_t table_end = r->table_pos + db_slot_size * r->table_slots;
  for (;;) {
    unsigned char slot_buf[16];
    const unsigned char* slot =
        reader_view(r, slot_buf, db_slot_size, r->next_slot_pos);
    if (slot == nullptr) return -1;
    std::int64_t record = load_i64le(slot + 8);
    if (record <= 0) return 0;  // stays on the empty slot: it ends every call
    std::uint64_t hash = load_u64le(slot);
    r->probe_count++;
    r->next_slot_pos += db_slot_size;
    if (r->next_slot_pos == table_end) r->next_slot_pos = r->table_pos;
    if (hash == r->key_hash) {
      unsigned char header_buf[16];
      const unsigned char* header =
          reader_view(r, header_buf, db_record_header_size, record);
      if (header == nullptr) return -1;
      if (load_i64le(header) == key_len) {
        std::int64_t data_len = load_i64le(header + 8);
        std::int64_t key_pos = position_add(record, db_record_header_size);
        int same = key_matches(r, key, key_len, key_pos);
        if (same == -1) return -1;
        if (same == 1) {
          r->data_len = data_len;
          r->data_pos = position_add(key_pos, key_len);
          return 1;
        }
      }
    }
    if (r->probe_count >= r->table_slots) return 0;
  }
}

void reader_prefetch(const db_reader* r, const unsigned char* key,
                     std::int64_t key_len) {
  if (r->map_addr == nullptr) return;
  std::uint64_t h = db_hash(key, key_len);
  std::int64_t d = db_hash_table(h) * db_descriptor_size;
  if (r->map_size - d < db_descriptor_size) return;
  std::int64_t slot;
  if (start_slot(r->map_addr + d, h, &slot) != 1) return;
  if (slot > r->map_size - db_slot_size) return;
  __builtin_prefetch(r->map_addr + slot);
}

int reader_find(db_reader* r, const unsigned char* key, std::int64_t key_len) {
  reader_find_start(r);
  return reader_find_next(r, key, key_len);
}

bool reader_in_memory(const db_reader* r, const unsigned char* key,
                      std::int64_t key_len) {
  std::uint64_t h = db_hash(key, key_len);
  std::int64_t d = db_hash_table(h) * db_descriptor_size;
  if (r->map_size - d < db_descriptor_size) return true;
  std::int64_t slot;
  if (start_slot(r->map_addr + d, h, &slot) != 1) return true;
  if (slot > r->map_size - db_slot_size) return true;
  if (!pages_in_memory(r, slot) || !pages_in_memory(r, slot + db_slot_size - 1))
    return false;
  std::int64_t record = load_i64le(r->map_addr + slot + 8);
  if (record <= 0 || record >= r->map_size ||
      load_u64le(r->map_addr + slot) != h)
    return true;
  return pages_in_memory(r, record);
}

std::size_t reader_find_many(const db_reader* r, reader_of each,
                             const void* context, std::size_t n,
                             const void* const keys[],
                             const std::size_t key_lens[], const void* data[],
                             std::size_t data_lens[], batch_fetch fetch) {
  if (fetch == batch_fetch::device) {
    return find_many<batch_fetch::device>(r, each, context, n, keys, key_lens,
                                          data, data_lens);
  }
  return find_many<batch_fetch::memory>(r, each, context, n, keys, key_lens,
                                        data, data_lens);
}

}  // namespace qef64
