#include "runtime/stream.h"

namespace qef64 {

namespace {
unsigned char out_small_buf[256];
constinit stream out_small_stream = {.buf = out_small_buf,
                                     .pos = 0,
                                     .size = sizeof out_small_buf,
                                     .fd = 1,
                                     .op = write_op};
}  // namespace

stream* const stream_out_small = &out_small_stream;

}  // namespace qef64
