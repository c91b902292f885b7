// The C interface over arbitrary file bytes: qef64_open must refuse exactly
// the files whose header does not describe them; on a file it opens,
// qef64_get, qef64_find_next and qef64_get_many must agree with the reader
// engine's lookups, a walk with qef64_iter_next must end, every byte they
// hand out being a byte of the file, and qef64_verify and qef64_get_info
// must end with a result; a file that qef64_verify passes must give every
// record to a lookup of its key. Each handed-out stretch is compared with
// the fuzzer's own copy of the input, so that a pointer outside the file
// reads outside that copy, where the sanitizers see it.
//
// A file that open refuses has its header rewritten into one that
// describes it, taking the slot counts from the old one where they fit, so
// that damaged records and slots still reach the lookups.
//
// Input: as for the reader target (file bytes, key, one length byte).

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "db/format.h"
#include "db/reader.h"
#include "fuzz/fuzz_file.h"
#include "qef64/qef64.h"

using namespace qef64;  // the engine the interface must agree with

namespace {

constexpr int max_calls = 16;

const std::uint8_t* input;
std::size_t input_len;

// What open checks, written again from the layout: table 0 at or after the
// header, each table where the one before ends, the last one at the end of
// the file, even slot counts, 16 bytes of records for each record (half
// the slots), and no records without slots.
bool header_fits(const std::uint8_t* f, std::size_t len) {
  if (len < 4096) return false;
  auto at = [&](std::size_t i) { return load_u64le(f + i); };
  std::uint64_t pos = at(0), slots = 0;
  if (pos < 4096 || pos > len) return false;
  const std::uint64_t records_end = pos;
  for (std::size_t t = 0; t < 256; t++) {
    std::uint64_t n = at(16 * t + 8);
    if (at(16 * t) != pos || n % 2 != 0 || n > (len - pos) / 16) return false;
    pos += 16 * n;
    slots += n;
  }
  std::uint64_t room = records_end - 4096;
  return pos == len && slots / 2 <= room / 16 && (slots > 0 || room == 0);
}

// A header for file bytes that open refused: c records' worth of slots
// (their room at the end of the file), spread over the tables as the old
// counts say where they can. False when no header fits the length.
bool rewrite_header(std::vector<std::uint8_t>& f) {
  std::uint64_t room = f.size() - 4096;
  if (room > 0 && room < 48) return false;
  // c records need 16 bytes each of records and 32 of slots.
  std::uint64_t most = room / 48;
  std::uint64_t c = most == 0 ? 0 : 1 + load_u64le(f.data() + 8) % most;
  std::uint64_t pos = f.size() - 32 * c, left = c;
  for (std::size_t t = 0; t < 256; t++) {
    std::uint64_t n =
        t == 255 ? left : load_u64le(f.data() + 16 * t + 8) / 2 % (left + 1);
    left -= n;
    store_u64le(f.data() + 16 * t, pos);
    store_u64le(f.data() + 16 * t + 8, 2 * n);
    pos += 32 * n;
  }
  return true;
}

// The stretch [p, p + n) of the mapping must hold the file's bytes at the
// engine's position pos.
void expect_file_bytes(const void* p, std::size_t n, std::int64_t pos) {
  fuzz_expect(pos >= 0 && static_cast<std::size_t>(pos) <= input_len &&
                  n <= input_len - static_cast<std::size_t>(pos),
              "stretch outside the file", pos, static_cast<long long>(n));
  fuzz_expect(n == 0 || std::memcmp(p, input + pos, n) == 0, "bytes differ");
}

void compare_lookups(const qef64_db* db, db_reader* engine,
                     const unsigned char* key, std::size_t key_len) {
  const void* data;
  std::size_t len;
  int first = qef64_get(db, key, key_len, &data, &len);
  qef64_cursor cur = QEF64_CURSOR_INIT;
  reader_find_start(engine);
  for (int i = 0; i < max_calls; i++) {
    int rc = qef64_find_next(db, &cur, key, key_len, &data, &len);
    errno = 0;
    int found =
        reader_find_next(engine, key, static_cast<std::int64_t>(key_len));
    if (i == 0) fuzz_expect(rc == first, "get and find_next differ", rc, first);
    if (found == -1) {
      fuzz_expect(rc == errno, "error differs", rc, errno);
      return;
    }
    if (found == 0) {
      fuzz_expect(rc == QEF64_NOTFOUND && data == nullptr, "not found", rc);
      return;
    }
    // The engine found a record; the interface adds the data's bounds.
    std::int64_t pos = engine->data_pos, n = engine->data_len;
    bool inside =
        n >= 0 && pos <= engine->map_size && engine->map_size - pos >= n;
    fuzz_expect(rc == (inside ? 0 : EPROTO), "found", rc, inside);
    if (rc != 0) return;
    fuzz_expect(len == static_cast<std::size_t>(n), "data length", n);
    expect_file_bytes(data, len, pos);
  }
}

void compare_many(const qef64_db* db, const unsigned char* const keys[],
                  const std::size_t lens[], std::size_t n) {
  const void* data[4];
  std::size_t data_lens[4];
  int first_failure = 0;
  int rc = qef64_get_many(db, n, reinterpret_cast<const void* const*>(keys),
                          lens, data, data_lens);
  for (std::size_t i = 0; i < n; i++) {
    const void* one;
    std::size_t one_len;
    int r = qef64_get(db, keys[i], lens[i], &one, &one_len);
    if (r > 0 && first_failure == 0) first_failure = r;
    fuzz_expect(data[i] == one && data_lens[i] == one_len, "get_many differs",
                static_cast<long long>(i));
  }
  fuzz_expect(rc == first_failure, "get_many result", rc, first_failure);
}

void walk(const qef64_db* db) {
  qef64_iter it = QEF64_ITER_INIT;
  std::int64_t pos = db_header_size;
  // Every record takes at least 16 bytes: more steps than that is a loop.
  for (std::size_t steps = 0; steps <= input_len / 16 + 1; steps++) {
    const void *key, *data;
    std::size_t key_len, data_len;
    int rc = qef64_iter_next(db, &it, &key, &key_len, &data, &data_len);
    if (rc != 0) {
      fuzz_expect(rc == QEF64_NOTFOUND || rc == EPROTO, "walk result", rc);
      return;
    }
    expect_file_bytes(key, key_len, pos + 16);
    pos += 16 + static_cast<std::int64_t>(key_len);
    expect_file_bytes(data, data_len, pos);
    pos += static_cast<std::int64_t>(data_len);
  }
  fuzz_fail("walk does not end", pos, 0);
}

// qef64_verify's result, and on a file it passes, every record of the walk
// found by a lookup of its key (up to a bound, to keep each run short). A
// walk's pointers and a lookup's lie in different mappings of the file, so
// records are told apart by their data's position in the file, the walk's
// counted from the header and the lookup's from the engine.
void check_verify(const qef64_db* db, db_reader* engine) {
  qef64_problem p = {0, 0, nullptr};
  int rc = qef64_verify_problem(db, &p);
  fuzz_expect(rc == 0 || rc == EPROTO, "verify result", rc);
  qef64_info info;
  fuzz_expect(qef64_get_info(db, &info) == 0, "info");
  fuzz_expect(info.file_bytes == input_len && info.longest_probe <= info.slots,
              "info sizes");
  if (rc == EPROTO) {
    fuzz_expect(p.what != nullptr && p.offset <= input_len, "problem",
                static_cast<long long>(p.offset));
    return;
  }
  qef64_iter it = QEF64_ITER_INIT;
  const void *key, *data;
  std::size_t key_len, data_len;
  std::uint64_t n = 0;
  std::int64_t pos = db_header_size;
  for (; qef64_iter_next(db, &it, &key, &key_len, &data, &data_len) == 0; n++) {
    if (n >= 64) return;
    std::int64_t want = pos + 16 + static_cast<std::int64_t>(key_len);
    pos = want + static_cast<std::int64_t>(data_len);
    reader_find_start(engine);
    bool reached = false;
    for (std::uint64_t k = 0; !reached && k <= qef64_count(db); k++) {
      if (reader_find_next(engine, static_cast<const unsigned char*>(key),
                           static_cast<std::int64_t>(key_len)) != 1)
        break;
      reached = engine->data_pos == want;
    }
    fuzz_expect(reached, "a record verify passed is not reached",
                static_cast<long long>(n));
  }
  fuzz_expect(n == qef64_count(db), "count of a verified file",
              static_cast<long long>(n));
  fuzz_expect(info.longest_probe >= (n > 0 ? 1 : 0), "longest probe");
}

// Everything above on the file bytes at data, which open accepted.
void exercise(const qef64_db* db, int fd, const unsigned char* key,
              std::size_t key_len) {
  static db_reader engine;
  reader_init(&engine, fd);
  const unsigned char* first_key = key;
  std::size_t first_len = 0;
  if (input_len >= 4096 + 16) {
    std::int64_t n = load_i64le(input + 4096);
    if (n >= 0 && n <= 64 &&
        static_cast<std::size_t>(n) <= input_len - 4096 - 16) {
      first_key = input + 4096 + 16;
      first_len = static_cast<std::size_t>(n);
    }
  }
  compare_lookups(db, &engine, key, key_len);
  compare_lookups(db, &engine, first_key, first_len);
  compare_lookups(db, &engine, key, 0);
  const unsigned char* keys[4] = {key, first_key, key, nullptr};
  const std::size_t lens[4] = {key_len, first_len, key_len, 0};
  compare_many(db, keys, lens, 4);
  walk(db);
  check_verify(db, &engine);
  reader_free(&engine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::size_t key_len = 0;
  std::size_t file_len = 0;
  if (size > 0) {
    key_len = data[size - 1];
    if (key_len > size - 1) key_len = size - 1;
    file_len = size - 1 - key_len;
  }
  input = data;
  input_len = file_len;
  const unsigned char* key = data + file_len;
  int fd = fuzz_file_fill(data, file_len);

  qef64_db* db = nullptr;
  int rc = qef64_open_fd(fd, &db);
  bool fits = header_fits(data, file_len);
  fuzz_expect(rc == (fits ? 0 : EPROTO), "open", rc, fits);
  if (db != nullptr) {
    fuzz_expect(qef64_count(db) <= (file_len - 4096) / 48, "count");
    exercise(db, fd, key, key_len);
    qef64_close(db);
    return 0;
  }
  if (file_len < 4096) return 0;
  static std::vector<std::uint8_t> fixed;
  fixed.assign(data, data + file_len);
  if (!rewrite_header(fixed)) return 0;
  fuzz_expect(header_fits(fixed.data(), file_len), "rewritten header");
  input = fixed.data();
  fd = fuzz_file_fill(fixed.data(), file_len);
  rc = qef64_open_fd(fd, &db);
  fuzz_expect(rc == 0, "open after the header was rewritten", rc);
  if (db == nullptr) return 0;
  exercise(db, fd, key, key_len);
  qef64_close(db);
  return 0;
}
