#pragma once

// The scanners' sequential walk through a database streamed on standard
// input: the 4096-byte header, then record after record up to records_end,
// counting every byte consumed. Nothing is ever seeked, so a pipe will do.
// Every operation returns only on success; a failure ends the process with
// status 111 and a message that starts with the program's prefix.
//
// A program calls walk_start first, then, while input_pos < records_end,
// reads a record's two lengths with input_number and consumes exactly its
// key and data bytes.

#include <cstdint>
#include <cstring>

#include "db/format.h"
#include "runtime/stream.h"

namespace qef64 {

// Bytes consumed from stream_in so far: the file position of the next unread
// byte, since the file is read from its first byte.
extern std::int64_t input_pos;
// The header's first number, table 0's position: where the records end.
extern std::int64_t records_end;

// Numbers of the walk are below this; anything larger is a damaged file.
constexpr std::int64_t walk_number_limit = std::int64_t{1} << 60;

// Sets the message prefix (such as "qef64dump: fatal: ") and the stream that
// output_put writes to, then reads the whole header: records_end is its
// first number, and all 512 numbers must be below walk_number_limit.
void walk_start(const char* prefix, stream* output);

// Consumes exactly n bytes into dst.
void input_read_slow(unsigned char* dst, std::int64_t n);
inline void input_read(unsigned char* dst, std::int64_t n) {
  // Bytes that are all buffered are what one stream_get would deliver; only
  // the rest needs its loop of gets and refills.
  if (n > 0 && n <= stream_in->pos) {
    std::memcpy(dst, stream_peek(stream_in), static_cast<std::size_t>(n));
    stream_seek(stream_in, n);
    input_pos += n;
    return;
  }
  input_read_slow(dst, n);
}

// Consumes 8 bytes, little-endian; below walk_number_limit.
[[noreturn]] void input_malformatted();
inline std::int64_t input_number() {
  unsigned char b[8];
  input_read(b, sizeof b);
  std::uint64_t value = load_u64le(b);
  if (value >= static_cast<std::uint64_t>(walk_number_limit))
    input_malformatted();
  return static_cast<std::int64_t>(value);
}
// Consumes n bytes without keeping them; n <= 0 consumes nothing.
void input_skip_slow(std::int64_t n);
inline void input_skip(std::int64_t n) {
  if (n > 0 && n <= stream_in->pos) {
    stream_seek(stream_in, n);
    input_pos += n;
    return;
  }
  input_skip_slow(n);
}

// The key of the record that starts `ahead` bytes from here, when its two
// lengths and its key are already in stream_in's buffer and it starts before
// records_end: its address in the buffer, and its length. Consumes nothing
// and reads nothing; false when the key is not at hand.
bool input_next_key(std::int64_t ahead, const unsigned char** key,
                    std::int64_t* key_len);

void output_put(const unsigned char* data, std::int64_t len);
void output_puts(const char* text);
void output_flush();

// The walk's messages, for the scanners' own failures on the input:
// "unable to read input: " with the text of errno, and the same phrase
// ending in "truncated file".
[[noreturn]] void input_fail();
[[noreturn]] void input_truncated();
// "unable to write output: " with the text of errno.
[[noreturn]] void output_fail();

}  // namespace qef64
