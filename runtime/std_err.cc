#include "runtime/stream.h"

namespace qef64 {

namespace {
unsigned char err_buf[256];
constinit stream err_stream = {
    .buf = err_buf, .pos = 0, .size = sizeof err_buf, .fd = 2, .op = write_op};
}  // namespace

stream* const stream_err = &err_stream;

}  // namespace qef64
