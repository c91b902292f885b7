#include "runtime/stream.h"

namespace qef64 {

namespace {
unsigned char in_buf[8192];
constinit stream in_stream = {.buf = in_buf,
                              .pos = 0,
                              .size = sizeof in_buf,
                              .fd = 0,
                              .op = stdin_read_op};
}  // namespace

stream* const stream_in = &in_stream;

// Lives beside stream_in: any program that reads standard input thereby also
// carries stream_out, whose waiting bytes leave before every read.
std::int64_t stdin_read_op(std::int64_t fd, unsigned char* buf,
                           std::int64_t len) {
  if (stream_flush(stream_out) == -1) return -1;
  return read_op(fd, buf, len);
}

}  // namespace qef64
