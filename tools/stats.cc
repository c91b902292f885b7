// qef64stats: looks every record of the database on standard input up by
// its key and prints how many slots each lookup examined before it reached
// that record: the number of records measured and a histogram of distances
// 0 to 9 and above 9. Records with keys above 1024 bytes are not measured.

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
constexpr int distance_classes = 11;  // 0 to 9, and above 9

db_reader reader;
unsigned char key_buffer[key_capacity];
char digit_buffer[decimal_max_digits];
std::int64_t record_count;
std::int64_t distance_count[distance_classes];

// Looks the record whose key is in key_buffer and whose data starts at
// input_pos up, through the other records of its key, and files it by the
// slots examined. Standard input's offset is put back afterwards: in
// positional mode the reader moves it, and stream_in's next refill must
// continue where the last one ended.
void measure(std::int64_t key_len) {
  std::int64_t saved = seek_position(0);
  reader_find_start(&reader);
  for (;;) {
    int found = reader_find_next(&reader, key_buffer, key_len);
    if (found == -1) input_fail();
    // The key's table does not lead to this record: the file is damaged.
    if (found == 0) input_truncated();
    if (reader_data_pos(&reader) == input_pos) break;
  }
  record_count++;
  std::int64_t k = reader.probe_count;  // at least 1: the record's own slot
  distance_count[k > distance_classes ? distance_classes - 1 : k - 1]++;
  if (seek_to(0, saved) == -1) input_fail();
}

// The label, then count right-aligned in 10 columns, then a newline.
void output_aligned_line(const char* label, std::int64_t count) {
  output_puts(label);
  std::int64_t digits = format_decimal(nullptr, count);
  for (std::int64_t i = digits; i < 10; i++)
    output_puts(" ");
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
  walk_start("qef64stats: fatal: ", stream_out_small);
  while (input_pos < records_end) {
    std::int64_t key_len = input_number();
    std::int64_t data_len = input_number();
    if (key_len > key_capacity) {
      input_skip(key_len);
    } else {
      input_read(key_buffer, key_len);
      prefetch_next(data_len);
      measure(key_len);
    }
    input_skip(data_len);
  }
  output_aligned_line("records ", record_count);
  const char* const labels[distance_classes] = {
      "d0      ", "d1      ", "d2      ", "d3      ", "d4      ", "d5      ",
      "d6      ", "d7      ", "d8      ", "d9      ", ">9      "};
  for (int i = 0; i < distance_classes; i++) {
    output_aligned_line(labels[i], distance_count[i]);
  }
  output_flush();
  ::_exit(0);
}
