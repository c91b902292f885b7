#include "runtime/stream.h"

namespace qef64 {

namespace {
unsigned char out_buf[8192];
constinit stream out_stream = {
    .buf = out_buf, .pos = 0, .size = sizeof out_buf, .fd = 1, .op = write_op};
}  // namespace

stream* const stream_out = &out_stream;

}  // namespace qef64
