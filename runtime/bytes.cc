#include "runtime/bytes.h"

#include <cstring>

// memmove gives the result of a forward copy whenever dst <= src and of a
// backward copy whenever dst >= src, which are the only overlaps the two
// contracts allow, and it is far faster than a byte loop.
void copy_forward(unsigned char* dst, std::int64_t n, const unsigned char* src) {
  if (n > 0) std::memmove(dst, src, static_cast<std::size_t>(n));
}

void copy_backward(unsigned char* dst, std::int64_t n,
                   const unsigned char* src) {
  if (n > 0) std::memmove(dst, src, static_cast<std::size_t>(n));
}

std::int64_t compare_bytes(const unsigned char* a, std::int64_t n,
                           const unsigned char* b) {
  // Equal stretches, the common case of a lookup, take one memcmp; only a
  // difference needs the byte loop for its exact value.
  if (n <= 0 || std::memcmp(a, b, static_cast<std::size_t>(n)) == 0) return 0;
  for (std::int64_t i = 0; i < n; i++) {
    if (a[i] != b[i]) return std::int64_t{a[i]} - std::int64_t{b[i]};
  }
  return 0;
}
