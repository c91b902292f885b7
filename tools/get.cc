// qef64get key [skip]: writes the data of the key's first record, or of the
// record skip places after it, from the database on standard input.
// Status 100, silently, when the key has no such record.

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "db/reader.h"
#include "runtime/decimal.h"
#include "runtime/fatal.h"
#include "runtime/stream.h"

namespace qef64 {
namespace {

db_reader reader;
unsigned char data_buffer[1024];

[[noreturn]] void die_usage() {
  fatal_exit(111, "qefget: usage: qefget key [skip]", nullptr, nullptr, nullptr,
             nullptr, nullptr, nullptr);
}
[[noreturn]] void die_read() {
  fatal_exit(111, "qef64get: fatal: ", "unable to read input: ", nullptr,
             nullptr, nullptr, nullptr, &sys_error_item);
}
[[noreturn]] void die_write() {
  fatal_exit(111, "qef64get: fatal: ", "unable to write output: ", nullptr,
             nullptr, nullptr, nullptr, &sys_error_item);
}

// Does the run of digits at the start of s stand for more than 2^64 - 1,
// the most that parse_decimal returns without wrapping?
bool digits_overflow(const char* s) {
  constexpr std::uint64_t most = ~std::uint64_t{0};
  std::uint64_t value = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    auto digit = static_cast<std::uint64_t>(*s - '0');
    if (value > (most - digit) / 10) return true;
    value = value * 10 + digit;
  }
  return false;
}

}  // namespace
}  // namespace qef64

int main(int argc, char** argv) {
  using namespace qef64;
  if (argc < 2 || argv[0] == nullptr || argv[1] == nullptr) die_usage();
  const auto* key = reinterpret_cast<const unsigned char*>(argv[1]);
  const auto key_len = static_cast<std::int64_t>(std::strlen(argv[1]));
  std::uint64_t skip = 0;
  if (argc > 2 && argv[2] != nullptr) {
    skip = parse_decimal(argv[2]);
    // Wrapped, 2^64 + 1 would select the second record. A count that large
    // passes over more records than any key has: 2^64 - 1 is never reached
    // and gives status 100 like it.
    if (digits_overflow(argv[2])) skip = ~std::uint64_t{0};
  }

  reader_init(&reader, 0);
  reader_find_start(&reader);
  // Counting the records passed over (rather than skip + 1 found) keeps a
  // skip of 2^64 - 1 from wrapping to 0: it is simply never reached.
  for (std::uint64_t passed = 0;; passed++) {
    int found = reader_find_next(&reader, key, key_len);
    if (found == -1) die_read();
    if (found == 0) ::_exit(100);
    if (passed == skip) break;
  }

  std::int64_t pos = reader_data_pos(&reader);
  std::int64_t left = reader_data_len(&reader);
  // A negative length can only come from a damaged file; writing nothing and
  // exiting 0 would report that damage as success.
  if (left < 0) {
    errno = EPROTO;
    die_read();
  }
  while (left > 0) {
    std::int64_t n = left < 1024 ? left : 1024;
    if (reader_read(&reader, data_buffer, n, pos) == -1) die_read();
    if (stream_put(stream_out_small, data_buffer, n) == -1) die_write();
    // The read just succeeded, so pos + n lies within the file.
    pos += n;
    left -= n;
  }
  if (stream_flush(stream_out_small) == -1) die_write();
  ::_exit(0);
}
