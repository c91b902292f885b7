#include "runtime/bytes.h"

#include <cstdint>
#include <cstring>

namespace qef64 {

// memmove gives the result of a forward copy whenever dst <= src, or the
// areas do not overlap, and of a backward copy whenever dst >= src, or they
// do not overlap, and it is far faster than a byte loop. Only the other
// overlap, which no caller here makes, needs the loop itself: a forward copy
// onto its own source repeats the first bytes, as copying one at a time
// does. Addresses are compared as integers, which is defined for any two.

namespace {
std::uintptr_t address(const unsigned char* p) {
  return reinterpret_cast<std::uintptr_t>(p);
}
}  // namespace

void copy_forward(unsigned char* dst, std::int64_t n,
                  const unsigned char* src) {
  if (n <= 0) return;
  auto len = static_cast<std::uintptr_t>(n);
  if (address(dst) <= address(src) || address(dst) - address(src) >= len) {
    std::memmove(dst, src, static_cast<std::size_t>(n));
    return;
  }
  for (std::int64_t i = 0; i < n; i++)
    dst[i] = src[i];
}

void copy_backward(unsigned char* dst, std::int64_t n,
                   const unsigned char* src) {
  if (n <= 0) return;
  auto len = static_cast<std::uintptr_t>(n);
  if (address(dst) >= address(src) || address(src) - address(dst) >= len) {
    std::memmove(dst, src, static_cast<std::size_t>(n));
    return;
  }
  for (std::int64_t i = n - 1; i >= 0; i--)
    dst[i] = src[i];
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

}  // namespace qef64
