#include "tools/walk.h"

#include <cstring>

#include "db/format.h"
#include "runtime/fatal.h"

namespace qef64 {

std::int64_t input_pos = 0;
std::int64_t records_end = 0;

namespace {

// Set once by walk_start, before anything is read or written.
const char* walk_prefix = "";
stream* walk_output = nullptr;

[[noreturn]] void die(const char* phrase, const fatal_item* trailer) {
  fatal_exit(111, walk_prefix, phrase, nullptr, nullptr, nullptr, nullptr,
             trailer);
}

}  // namespace

void input_fail() {
  die("unable to read input: ", &sys_error_item);
}
void input_truncated() {
  die("unable to read input: truncated file", nullptr);
}
void output_fail() {
  die("unable to write output: ", &sys_error_item);
}

void walk_start(const char* prefix, stream* output) {
  walk_prefix = prefix;
  walk_output = output;
  records_end = input_number();
  // The other 511 numbers are not used, but a damaged header is refused
  // as a whole rather than in the part the walk happens to need.
  while (input_pos < db_header_size)
    (void)input_number();
}

void input_read_slow(unsigned char* dst, std::int64_t n) {
  while (n > 0) {
    std::int64_t got = stream_get(stream_in, dst, n);
    if (got == 0) input_truncated();
    if (got == -1) input_fail();
    input_pos += got;
    dst += got;
    n -= got;
  }
}

void input_malformatted() {
  die("unable to read input: malformatted file", nullptr);
}

// Skipping is reading one byte at a time, whose only system calls are the
// refills of an empty buffer: stream_feed makes exactly those (the same
// single read of the whole capacity, after the same flush of stream_out),
// so whole runs are taken from the buffer at once.
void input_skip_slow(std::int64_t n) {
  while (n > 0) {
    std::int64_t avail = stream_feed(stream_in);
    if (avail == 0) input_truncated();
    if (avail == -1) input_fail();
    std::int64_t k = avail < n ? avail : n;
    stream_seek(stream_in, k);
    input_pos += k;
    n -= k;
  }
}

bool input_next_key(std::int64_t ahead, const unsigned char** key,
                    std::int64_t* key_len) {
  std::int64_t held = stream_in->pos;
  if (ahead < 0 || ahead > held - 16 || input_pos + ahead >= records_end)
    return false;
  const unsigned char* next = stream_peek(stream_in) + ahead;
  std::uint64_t len = load_u64le(next);
  if (len > static_cast<std::uint64_t>(held - 16 - ahead)) return false;
  *key = next + 16;
  *key_len = static_cast<std::int64_t>(len);
  return true;
}

void output_put(const unsigned char* data, std::int64_t len) {
  if (stream_put(walk_output, data, len) == -1) output_fail();
}

void output_puts(const char* text) {
  // Text and bytes share the same object representation.
  output_put(reinterpret_cast<const unsigned char*>(text),
             static_cast<std::int64_t>(std::strlen(text)));
}

void output_flush() {
  if (stream_flush(walk_output) == -1) output_fail();
}

}  // namespace qef64
