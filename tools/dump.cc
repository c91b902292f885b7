// qef64dump: writes the database on standard input back as record text
// ("+klen,dlen:key->data\n" per record, an empty line at the end), which
// qef64make turns into a database with the same records in the same order.
// Reads front to back only, so standard input may be a pipe.

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "runtime/decimal.h"
#include "runtime/stream.h"
#include "tools/walk.h"

namespace qef64 {
namespace {

// Record bytes move in chunks of this size: each is read whole before any of
// it is written.
constexpr std::int64_t copy_chunk = 512;
unsigned char copy_buffer[copy_chunk];
// "+", two numbers' digits, "," and ":".
char head_buffer[3 + 2 * decimal_max_digits];

// Puts a piece that is usually small: when it fits it goes straight into
// stream_out's buffer, which is all that stream_put would do with it.
inline void put_piece(const unsigned char* data, std::int64_t len) {
  stream* out = stream_out;
  if (len <= out->size - out->pos) {
    std::memcpy(out->buf + out->pos, data, static_cast<std::size_t>(len));
    out->pos += len;
    return;
  }
  output_put(data, len);
}

inline void put_text(const char* text, std::int64_t len) {
  // Text and bytes share the same object representation.
  put_piece(reinterpret_cast<const unsigned char*>(text), len);
}

// "+klen,dlen:" is five puts. When all of them fit at once none of them
// writes, and one copy does the same; otherwise each goes on its own, so that
// a full buffer is written exactly where the third or fifth put would write
// it.
void put_record_head(std::int64_t key_len, std::int64_t data_len) {
  char* head = head_buffer;
  head[0] = '+';
  std::int64_t key_digits = format_decimal(head + 1, key_len);
  char* comma = head + 1 + key_digits;
  *comma = ',';
  std::int64_t data_digits = format_decimal(comma + 1, data_len);
  char* colon = comma + 1 + data_digits;
  *colon = ':';
  std::int64_t total = colon + 1 - head;
  stream* out = stream_out;
  if (total <= out->size - out->pos) {
    put_text(head, total);
    return;
  }
  put_text(head, 1);
  put_text(head + 1, key_digits);
  put_text(comma, 1);
  put_text(comma + 1, data_digits);
  put_text(colon, 1);
}

// Moves n bytes from stream_in to stream_out in chunks of copy_chunk bytes.
// The system calls are those of reading each chunk into copy_buffer and
// putting it: a chunk that lies wholly in stream_in's buffer reads nothing,
// and a put that fits writes nothing, so such chunks go from buffer to buffer
// in one copy; only a chunk that does not fit flushes stream_out first, as
// its put would. A chunk that spans a refill goes through copy_buffer, so the
// flush before the refill writes exactly what it would and a chunk cut short
// by the end of input is never written.
void input_copy(std::int64_t n) {
  stream* out = stream_out;
  while (n > 0) {
    std::int64_t chunk = n < copy_chunk ? n : copy_chunk;
    if (stream_in->pos < chunk) {
      input_read(copy_buffer, chunk);
      output_put(copy_buffer, chunk);
      n -= chunk;
      continue;
    }
    if (chunk > out->size - out->pos && stream_flush(out) == -1) output_fail();
    // Whole chunks that are buffered and fit, or all that is left of n.
    std::int64_t k = n;
    if (k > stream_in->pos) k = stream_in->pos;
    if (k > out->size - out->pos) k = out->size - out->pos;
    if (k < n) k -= k % copy_chunk;
    std::memcpy(out->buf + out->pos, stream_peek(stream_in),
                static_cast<std::size_t>(k));
    out->pos += k;
    stream_seek(stream_in, k);
    input_pos += k;
    n -= k;
  }
}

}  // namespace
}  // namespace qef64

int main() {
  using namespace qef64;
  walk_start("qef64dump: fatal: ", stream_out);
  while (input_pos < records_end) {
    std::int64_t key_len = input_number();
    std::int64_t data_len = input_number();
    put_record_head(key_len, data_len);
    input_copy(key_len);
    put_text("->", 2);
    input_copy(data_len);
    put_text("\n", 1);
  }
  output_puts("\n");
  output_flush();
  ::_exit(0);
}
