#pragma once

#include <cstdint>
#include <type_traits>

namespace qef64 {

// One read(2) or write(2) on fd: bytes moved, 0 at end of input, or -1 with
// errno. Reads and writes share this type, so buf is not const.
using stream_op = std::int64_t (*)(std::int64_t fd, unsigned char* buf,
                                   std::int64_t len);

// A buffered stream over one descriptor. It owns neither buf nor fd.
// Output: buf[0, pos) waits to be written; size is the capacity.
// Input: the pos unread bytes are buf[size, size + pos), and
// size + pos == capacity, always, so an empty buffer has size == capacity.
// Both directions start with pos = 0 and size = capacity.
struct stream {
  unsigned char* buf;
  std::int64_t pos;
  std::int64_t size;
  std::int64_t fd;
  stream_op op;
};
static_assert(sizeof(stream) == 40 && std::is_trivially_copyable_v<stream>);

// Largest count handed to one read(2) or write(2).
constexpr std::int64_t stream_max_call = 16777216;
// Smallest chunk in which stream_put writes data that bypasses the buffer.
constexpr std::int64_t stream_direct_chunk = 8192;

// The standard streams, constant-initialised; each lives in its own source so
// that a program carries only the ones it names.
extern stream* const stream_in;         // fd 0, 8192 bytes, stdin_read_op
extern stream* const stream_out;        // fd 1, 8192 bytes, write_op
extern stream* const stream_out_small;  // fd 1, 256 bytes, write_op
extern stream* const stream_err;        // fd 2, 256 bytes, write_op

// One read(2) or write(2), the count clamped to stream_max_call: bytes
// moved, 0 at end of input, or -1 with the call's errno (EINTR included;
// the callers' loops retry it).
[[nodiscard]] std::int64_t read_op(std::int64_t fd, unsigned char* buf,
                                   std::int64_t len);
[[nodiscard]] std::int64_t write_op(std::int64_t fd, unsigned char* buf,
                                    std::int64_t len);
// Flushes stream_out, then read_op; a failed flush is reported as a failed
// read with the write's errno, and nothing is read.
[[nodiscard]] std::int64_t stdin_read_op(std::int64_t fd, unsigned char* buf,
                                         std::int64_t len);

// Moves all len bytes at buf through op, one read or write after another,
// retrying EINTR and going on after short transfers: 0, or -1 with op's
// errno, or with EIO when a call moves nothing (end of input, for a read)
// or reports more than it was asked for.
[[nodiscard]] int op_all(stream_op op, std::int64_t fd, unsigned char* buf,
                         std::int64_t len);

// Sets up *s over fd with the caller's buffer of size bytes (at least 1),
// empty: pos = 0, size = capacity. Used for streams a program opens itself.
void stream_init(stream* s, stream_op op, std::int64_t fd, unsigned char* buf,
                 std::int64_t size);

// Output. Each returns 0, or -1 with the errno of write(2); after -1 the
// buffer is empty and the bytes of the failed call are dropped.
// stream_put: amounts that do not fit bypass the buffer.
// stream_put_align: always through the buffer, so fd only ever receives
// whole buffers until the final flush.
// stream_putflush: flush, then write data directly.
// The _puts forms put a NUL-terminated string, without its NUL.
[[nodiscard]] int stream_flush(stream* s);
[[nodiscard]] int stream_put(stream* s, const unsigned char* data,
                             std::int64_t len);
[[nodiscard]] int stream_put_align(stream* s, const unsigned char* data,
                                   std::int64_t len);
[[nodiscard]] int stream_putflush(stream* s, const unsigned char* data,
                                  std::int64_t len);
[[nodiscard]] int stream_puts(stream* s, const char* string);
[[nodiscard]] int stream_puts_align(stream* s, const char* string);
[[nodiscard]] int stream_putsflush(stream* s, const char* string);

// Input. stream_get delivers 1 to len bytes (never mixing buffered bytes with
// a fresh read), 0 at end of input, or -1 with the errno of read(2).
// stream_feed makes sure unread bytes are buffered and returns their number,
// 0 at end of input, or -1.
[[nodiscard]] std::int64_t stream_get(stream* s, unsigned char* dst,
                                      std::int64_t len);
[[nodiscard]] std::int64_t stream_feed(stream* s);

// The first unread byte; pos bytes are available there.
inline unsigned char* stream_peek(stream* s) {
  return s->buf + s->size;
}
// Consumes n unread bytes. REQUIRES: n <= pos (not checked).
inline void stream_seek(stream* s, std::int64_t n) {
  s->size += n;
  s->pos -= n;
}

}  // namespace qef64
