#include "runtime/stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/bytes.h"

namespace qef64 {

namespace {

int write_all(stream* s, const unsigned char* p, std::int64_t n) {
  // write(2) only reads p; the cast satisfies the type that reads share.
  return op_all(s->op, s->fd, const_cast<unsigned char*>(p), n);
}

// One call of op, repeated only while it fails with EINTR.
std::int64_t read_once(stream* s, unsigned char* dst, std::int64_t len) {
  for (;;) {
    std::int64_t r = s->op(s->fd, dst, len);
    if (r != -1 || errno != EINTR) return r;
  }
}

// Refills an empty input stream with one read of up to its capacity and moves
// a short read's bytes up so that they end at the end of the buffer.
std::int64_t refill(stream* s) {
  std::int64_t r = read_once(s, s->buf, s->size);
  if (r <= 0) return r;
  s->pos = r;
  s->size -= r;
  if (s->size > 0) copy_backward(s->buf + s->size, r, s->buf);
  return r;
}

}  // namespace

std::int64_t read_op(std::int64_t fd, unsigned char* buf, std::int64_t len) {
  if (len > stream_max_call) len = stream_max_call;
  return ::read(static_cast<int>(fd), buf, static_cast<std::size_t>(len));
}

std::int64_t write_op(std::int64_t fd, unsigned char* buf, std::int64_t len) {
  if (len > stream_max_call) len = stream_max_call;
  return ::write(static_cast<int>(fd), buf, static_cast<std::size_t>(len));
}

int op_all(stream_op op, std::int64_t fd, unsigned char* buf,
           std::int64_t len) {
  while (len > 0) {
    std::int64_t r = op(fd, buf, len);
    if (r == -1) {
      if (errno == EINTR) continue;
      return -1;
    }
    // A call that moves 0 bytes of a non-zero count would be repeated
    // forever, and one that claims more than it was given is broken.
    if (r <= 0 || r > len) {
      errno = EIO;
      return -1;
    }
    buf += r;
    len -= r;
  }
  return 0;
}

void stream_init(stream* s, stream_op op, std::int64_t fd, unsigned char* buf,
                 std::int64_t size) {
  s->buf = buf;
  s->pos = 0;
  s->size = size;
  s->fd = fd;
  s->op = op;
}

int stream_flush(stream* s) {
  std::int64_t n = s->pos;
  if (n == 0) return 0;
  s->pos = 0;  // the bytes leave the buffer even if the write fails
  return write_all(s, s->buf, n);
}

int stream_put(stream* s, const unsigned char* data, std::int64_t len) {
  if (len <= s->size - s->pos) {
    copy_forward(s->buf + s->pos, len, data);
    s->pos += len;
    return 0;
  }
  if (s->pos > 0 && stream_flush(s) == -1) return -1;
  if (len > s->size) {
    std::int64_t chunk =
        s->size > stream_direct_chunk ? s->size : stream_direct_chunk;
    while (len > s->size) {
      std::int64_t n = len < chunk ? len : chunk;
      if (write_all(s, data, n) == -1) return -1;
      data += n;
      len -= n;
    }
  }
  copy_forward(s->buf, len, data);
  s->pos = len;
  return 0;
}

int stream_put_align(stream* s, const unsigned char* data, std::int64_t len) {
  while (len > s->size - s->pos) {
    std::int64_t n = s->size - s->pos;
    copy_forward(s->buf + s->pos, n, data);
    data += n;
    len -= n;
    s->pos = 0;
    if (write_all(s, s->buf, s->size) == -1) return -1;
  }
  copy_forward(s->buf + s->pos, len, data);
  s->pos += len;
  return 0;
}

int stream_putflush(stream* s, const unsigned char* data, std::int64_t len) {
  if (s->pos > 0 && stream_flush(s) == -1) return -1;
  if (len == 0) return 0;
  return write_all(s, data, len);
}

namespace {
const unsigned char* text_bytes(const char* string) {
  // Text and bytes share the same object representation.
  return reinterpret_cast<const unsigned char*>(string);
}
std::int64_t text_len(const char* string) {
  return static_cast<std::int64_t>(std::strlen(string));
}
}  // namespace

int stream_puts(stream* s, const char* string) {
  return stream_put(s, text_bytes(string), text_len(string));
}

int stream_puts_align(stream* s, const char* string) {
  return stream_put_align(s, text_bytes(string), text_len(string));
}

int stream_putsflush(stream* s, const char* string) {
  return stream_putflush(s, text_bytes(string), text_len(string));
}

std::int64_t stream_feed(stream* s) {
  if (s->pos != 0) return s->pos;
  return refill(s);
}

std::int64_t stream_get(stream* s, unsigned char* dst, std::int64_t len) {
  if (s->pos == 0) {
    if (len >= s->size) return read_once(s, dst, len);
    std::int64_t r = refill(s);
    if (r <= 0) return r;
  }
  std::int64_t k = s->pos < len ? s->pos : len;
  copy_forward(dst, k, s->buf + s->size);
  s->pos -= k;
  s->size += k;
  return k;
}

}  // namespace qef64
