// qef64test: looks every record of the database on standard input up by
// its key and counts whether the lookup's first record is that very record
// with its own data length. Records with keys above 1024 bytes are counted
// as untested. The status is 0 whatever the counts say.

#include <unistd.h>

#include <cstdint>

#include "db/reader.h"
#include "runtime/decimal.h"
#include "runtime/seek.h"
#include "runtime/stream.h"
#include "tools/walk.h"

namespace qef64 {
namespace {

constexpr std::int64_t key_capacity = 1024;

db_reader reader;
unsigned char key_buffer[key_capacity];
char digit_buffer[decimal_max_digits];
std::int64_t found, different_record, bad_length, not_found, untested;

// Files the record whose key is in key_buffer and whose data starts at
// input_pos. Standard input's offset is put back afterwards: in positional
// mode the reader moves it, and stream_in's next refill must continue where
// the last one ended.
void verify(std::int64_t key_len, std::int64_t data_len) {
  std::int64_t saved = seek_position(0);
  int result = reader_find(&reader, key_buffer, key_len);
  if (result == -1) input_fail();
  if (result == 0) {
    not_found++;
  } else if (reader_data_pos(&reader) != input_pos) {
    different_record++;
  } else if (reader_data_len(&reader) != data_len) {
    bad_length++;
  } else {
    found++;
  }
  if (seek_to(0, saved) == -1) input_fail();
}

void output_line(const char* label, std::int64_t count) {
  output_puts(label);
  std::int64_t n = format_decimal(digit_buffer, count);
  // Digits and bytes share the same object representation.
  output_put(reinterpret_cast<const unsigned char*>(digit_buffer), n);
  output_puts("\n");
}

// The next record's lookup will wait on its slot, which lies anywhere in
// the tables: when its key is already buffered, start loading that slot now,
// to arrive while this record's lookup and seeks run.
void prefetch_next(std::int64_t data_len) {
  const unsigned char* key;
  std::int64_t key_len;
  if (input_next_key(data_len, &key, &key_len) && key_len <= key_capacity)
    reader_prefetch(&reader, key, key_len);
}

}  // namespace
}  // namespace qef64

int main() {
  using namespace qef64;
  reader_init(&reader, 0);
  walk_start("qef64test: fatal: ", stream_out_small);
  while (input_pos < records_end) {
    std::int64_t key_len = input_number();
    std::int64_t data_len = input_number();
    if (key_len > key_capacity) {
      untested++;
      input_skip(key_len);
    } else {
      input_read(key_buffer, key_len);
      prefetch_next(data_len);
      verify(key_len, data_len);
    }
    input_skip(data_len);
  }
  output_line("found: ", found);
  output_line("different record: ", different_record);
  output_line("bad length: ", bad_length);
  output_line("not found: ", not_found);
  output_line("untested: ", untested);
  output_flush();
  ::_exit(0);
}
