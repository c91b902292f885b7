// The reader engine over arbitrary file bytes and an arbitrary key, mapped
// and by position over the same bytes: both modes must agree on every
// result, errno, probe count and found record, and neither may touch a byte
// outside the file (the sanitizers watch the mapping's bounds).
//
// Input: the file bytes, then the key, then one byte giving the key's
// length (clamped to what precedes it).

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "db/format.h"
#include "db/reader.h"
#include "fuzz/fuzz_file.h"

using namespace qef64;  // the engines and runtime under test

namespace {

// One lookup may resume many times on a table full of one key; the rest of
// a long walk adds nothing that the first calls did not reach.
constexpr int max_calls = 16;
constexpr std::int64_t max_data_read = 1024;

struct call_result {
  int result;
  int error;
  std::int64_t probe_count;
  std::int64_t data_pos;
  std::int64_t data_len;
};

call_result find_next(db_reader* r, const unsigned char* key,
                      std::int64_t key_len) {
  errno = 0;
  int got = reader_find_next(r, key, key_len);
  call_result c{got, got == -1 ? errno : 0, r->probe_count, 0, 0};
  if (got == 1) {
    c.data_pos = r->data_pos;
    c.data_len = r->data_len;
  }
  return c;
}

// Reads the start of the found record's data through both readers.
void compare_data(db_reader* mapped, db_reader* positional,
                  const call_result& c, std::int64_t file_size) {
  // A key that matched was read from the file, so its data starts inside.
  fuzz_expect(c.data_pos >= db_record_header_size && c.data_pos <= file_size,
              "found data outside the file", c.data_pos, file_size);
  std::int64_t len = c.data_len;
  if (len > max_data_read) len = max_data_read;
  unsigned char a[max_data_read], b[max_data_read];
  errno = 0;
  int ra = reader_read(mapped, a, len, c.data_pos);
  int ea = errno;
  errno = 0;
  int rb = reader_read(positional, b, len, c.data_pos);
  int eb = errno;
  fuzz_expect(ra == rb, "reader_read results differ", ra, rb);
  if (ra == -1) {
    fuzz_expect(ea == eb, "reader_read errno differs", ea, eb);
    fuzz_expect(ea == EPROTO, "reader_read errno", ea, EPROTO);
    return;
  }
  fuzz_expect(len < 0 || std::memcmp(a, b, static_cast<std::size_t>(len)) == 0,
              "data bytes differ");
}

void compare_lookup(db_reader* mapped, db_reader* positional,
                    const unsigned char* key, std::int64_t key_len,
                    std::int64_t file_size) {
  // A hint before the lookup, which must neither touch memory outside the
  // file nor change what the lookup finds.
  reader_prefetch(mapped, key, key_len);
  reader_prefetch(positional, key, key_len);
  reader_find_start(mapped);
  reader_find_start(positional);
  for (int i = 0; i < max_calls; i++) {
    call_result a = find_next(mapped, key, key_len);
    call_result b = find_next(positional, key, key_len);
    fuzz_expect(a.result >= -1 && a.result <= 1, "result", a.result);
    fuzz_expect(a.result == b.result, "results differ", a.result, b.result);
    fuzz_expect(a.probe_count == b.probe_count, "probe counts differ",
                a.probe_count, b.probe_count);
    fuzz_expect(a.probe_count == 0 || a.probe_count <= mapped->table_slots,
                "more probes than slots", a.probe_count, mapped->table_slots);
    if (a.result == -1) {
      fuzz_expect(a.error == b.error, "errno differs", a.error, b.error);
      fuzz_expect(a.error == EPROTO, "errno", a.error, EPROTO);
      return;
    }
    if (a.result == 0) return;
    fuzz_expect(a.data_pos == b.data_pos, "data positions differ", a.data_pos,
                b.data_pos);
    fuzz_expect(a.data_len == b.data_len, "data lengths differ", a.data_len,
                b.data_len);
    compare_data(mapped, positional, a, file_size);
  }
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
  const unsigned char* key = data + file_len;
  int fd = fuzz_file_fill(data, file_len);
  const auto file_size = static_cast<std::int64_t>(file_len);

  static db_reader mapped, positional;
  reader_init(&mapped, fd);
  reader_init(&positional, fd);
  reader_free(&positional);
  // Only an empty file stays unmapped: the memfd maps like a regular file.
  fuzz_expect((mapped.map_addr != nullptr) == (file_len > 0), "mapped mode",
              mapped.map_addr != nullptr, static_cast<long long>(file_len));

  compare_lookup(&mapped, &positional, key, static_cast<std::int64_t>(key_len),
                 file_size);
  // The key of the first record, when the file has one: the lookups that
  // find something, which an arbitrary key rarely reaches.
  if (file_len >= 4096 + 16) {
    std::int64_t first_len = load_i64le(data + 4096);
    if (first_len >= 0 && first_len <= 64 &&
        static_cast<std::size_t>(first_len) <= file_len - 4096 - 16)
      compare_lookup(&mapped, &positional, data + 4096 + 16, first_len,
                     file_size);
  }
  compare_lookup(&mapped, &positional, key, 0, file_size);

  reader_free(&mapped);
  return 0;
}
