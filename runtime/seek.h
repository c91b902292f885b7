#pragma once

#include <cstdint>

namespace qef64 {

// lseek(fd, position, SEEK_SET): 0, or -1 with lseek's errno.
[[nodiscard]] int seek_to(std::int64_t fd, std::int64_t position);
// lseek(fd, 0, SEEK_CUR): the current offset, or -1 with lseek's errno.
[[nodiscard]] std::int64_t seek_position(std::int64_t fd);

}  // namespace qef64
