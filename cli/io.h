#pragma once

// Buffered input and output of the qef64 command over file descriptors.
// Reading and writing fail through fail(): a caller sees only success.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qef64::cli {

struct progress;

// Bytes the JSON parser may read past the end of a line (its padding); the
// input buffer always has them after its last byte.
constexpr std::size_t input_padding = 64;
// Neither reads nor writes ask for more than this in one call.
constexpr std::size_t io_call_max = std::size_t{1} << 24;

// An input file or standard input, read in large calls. Invariant: the
// unread bytes are buf[pos, end), end <= cap, and buf has cap +
// input_padding bytes; buf[0] is byte `base` of the input.
struct input {
  int fd;
  std::string name;  // for messages: the path, or "standard input"
  unsigned char* buf;
  std::size_t cap;
  std::size_t pos;
  std::size_t end;
  std::uint64_t base;
  bool eof;            // read(2) has reported the end
  std::int64_t size;   // of a regular file, for progress; -1 otherwise
  std::uint64_t line;  // lines that input_line has returned
  progress* meter;     // told of every read, or null
};

// Opens path ("-": standard input) as *in; fails with "unable to read".
void input_open(input* in, const char* path);
void input_close(input* in);

// The input offset of a byte in the buffer.
inline std::uint64_t input_offset(const input* in, const unsigned char* p) {
  return in->base + static_cast<std::uint64_t>(p - in->buf);
}

// Makes at least n unread bytes available at buf + pos, moving and growing
// the buffer as needed; false when the input ends first (the bytes that
// there are stay available). Pointers into the buffer become invalid.
[[nodiscard]] bool input_need(input* in, std::size_t n);

// The next line, up to the byte delim, which it leaves out: false at the
// end of the input. *ended is false for a last line without delim. The
// view stays valid until the next call that reads.
[[nodiscard]] bool input_line(input* in, unsigned char delim,
                              std::string_view* line, bool* ended);

// Standard output, buffered; large pieces go straight out.
void output_put(const void* bytes, std::size_t len);
inline void output_put(std::string_view s) {
  output_put(s.data(), s.size());
}
void output_flush();

}  // namespace qef64::cli
