#include "runtime/seek.h"

#include <sys/types.h>
#include <unistd.h>

namespace qef64 {

static_assert(sizeof(off_t) == 8, "positions need a 64-bit file offset");

int seek_to(std::int64_t fd, std::int64_t position) {
  return ::lseek(static_cast<int>(fd), position, SEEK_SET) == -1 ? -1 : 0;
}

std::int64_t seek_position(std::int64_t fd) {
  return ::lseek(static_cast<int>(fd), 0, SEEK_CUR);
}

}  // namespace qef64
