// The three scanners written the slow, obvious way: every byte skipped is
// one get of one byte, record bytes go through a 512-byte copy buffer, and
// every piece of output is its own put. The real programs take shortcuts
// through the stream buffers; the system-call test runs both under strace
// and requires the same calls with the same counts, and the same output.
//
//   qef64_literal dump|test|stats < database

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "db/format.h"
#include "db/reader.h"
#include "runtime/decimal.h"
#include "runtime/fatal.h"
#include "runtime/seek.h"
#include "runtime/stream.h"

using namespace qef64;  // the engines and runtime under test

namespace {

const char* prefix = "qef64_literal: fatal: ";
stream* output = nullptr;
std::int64_t input_pos = 0;
db_reader reader;
unsigned char key_buffer[1024];
unsigned char copy_buffer[512];
char digit_buffer[decimal_max_digits];

[[noreturn]] void die(const char* phrase, const fatal_item* trailer) {
  fatal_exit(111, prefix, phrase, nullptr, nullptr, nullptr, nullptr, trailer);
}

void input_read(unsigned char* dst, std::int64_t n) {
  while (n > 0) {
    std::int64_t got = stream_get(stream_in, dst, n);
    if (got == 0) die("unable to read input: truncated file", nullptr);
    if (got == -1) die("unable to read input: ", &sys_error_item);
    input_pos += got;
    dst += got;
    n -= got;
  }
}

std::int64_t input_number() {
  unsigned char b[8];
  input_read(b, 8);
  std::uint64_t v = load_u64le(b);
  if (v >= (std::uint64_t{1} << 60))
    die("unable to read input: malformatted file", nullptr);
  return static_cast<std::int64_t>(v);
}

void input_skip(std::int64_t n) {
  for (std::int64_t i = 0; i < n; i++)
    input_read(key_buffer, 1);
}

void output_put(const void* data, std::int64_t len) {
  if (stream_put(output, static_cast<const unsigned char*>(data), len) == -1)
    die("unable to write output: ", &sys_error_item);
}

void output_puts(const char* text) {
  output_put(text, static_cast<std::int64_t>(std::strlen(text)));
}

void output_decimal(std::int64_t value) {
  output_put(digit_buffer, format_decimal(digit_buffer, value));
}

void output_flush() {
  if (stream_flush(output) == -1)
    die("unable to write output: ", &sys_error_item);
}

void input_copy(std::int64_t n) {
  while (n > 0) {
    std::int64_t chunk = n < 512 ? n : 512;
    input_read(copy_buffer, chunk);
    output_put(copy_buffer, chunk);
    n -= chunk;
  }
}

std::int64_t counts[12];

// One lookup of the record whose key is in key_buffer, between the saved
// and the restored offset: the verification tool's outcome, or the
// statistics tool's distance.
void look_up(bool stats, std::int64_t key_len, std::int64_t data_len) {
  std::int64_t saved = seek_position(0);
  if (stats) {
    reader_find_start(&reader);
    for (;;) {
      int found = reader_find_next(&reader, key_buffer, key_len);
      if (found == -1) die("unable to read input: ", &sys_error_item);
      if (found == 0) die("unable to read input: truncated file", nullptr);
      if (reader_data_pos(&reader) == input_pos) break;
    }
    counts[0]++;
    std::int64_t k = reader.probe_count;
    counts[k > 11 ? 11 : k]++;
  } else {
    int found = reader_find(&reader, key_buffer, key_len);
    if (found == -1) die("unable to read input: ", &sys_error_item);
    if (found == 0)
      counts[3]++;
    else if (reader_data_pos(&reader) != input_pos)
      counts[1]++;
    else if (reader_data_len(&reader) != data_len)
      counts[2]++;
    else
      counts[0]++;
  }
  if (seek_to(0, saved) == -1) die("unable to read input: ", &sys_error_item);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  bool dump = std::strcmp(argv[1], "dump") == 0;
  bool stats = std::strcmp(argv[1], "stats") == 0;
  output = dump ? stream_out : stream_out_small;
  if (!dump) reader_init(&reader, 0);
  std::int64_t records_end = input_number();
  while (input_pos < 4096)
    (void)input_number();
  while (input_pos < records_end) {
    std::int64_t key_len = input_number();
    std::int64_t data_len = input_number();
    if (dump) {
      output_puts("+");
      output_decimal(key_len);
      output_puts(",");
      output_decimal(data_len);
      output_puts(":");
      input_copy(key_len);
      output_puts("->");
      input_copy(data_len);
      output_puts("\n");
      continue;
    }
    if (key_len > 1024) {
      if (!stats) counts[4]++;
      input_skip(key_len);
    } else {
      input_read(key_buffer, key_len);
      look_up(stats, key_len, data_len);
    }
    input_skip(data_len);
  }
  if (dump) {
    output_puts("\n");
  } else {
    static const char* const test_labels[5] = {
        "found: ", "different record: ", "bad length: ", "not found: ",
        "untested: "};
    static const char* const stats_labels[12] = {
        "records ", "d0      ", "d1      ", "d2      ", "d3      ", "d4      ",
        "d5      ", "d6      ", "d7      ", "d8      ", "d9      ", ">9      "};
    for (int i = 0; i < (stats ? 12 : 5); i++) {
      output_puts(stats ? stats_labels[i] : test_labels[i]);
      if (stats) {
        for (std::int64_t d = format_decimal(nullptr, counts[i]); d < 10; d++)
          output_puts(" ");
      }
      output_decimal(counts[i]);
      output_puts("\n");
    }
  }
  output_flush();
  ::_exit(0);
}
