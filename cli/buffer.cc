#include "cli/buffer.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/fail.h"

namespace qef64::cli {

void buffer_reserve(buffer* b, std::size_t n) {
  if (n <= b->cap) return;
  std::size_t cap = b->cap < 256 ? 256 : b->cap;
  while (cap < n)
    cap = cap > SIZE_MAX / 2 ? n : 2 * cap;
  void* p = std::realloc(b->data, cap);
  if (p == nullptr)
    fail("unable to hold " + std::to_string(n) +
         " bytes: " + error_text(ENOMEM));
  b->data = static_cast<unsigned char*>(p);
  b->cap = cap;
}

void buffer_append(buffer* b, const void* bytes, std::size_t n) {
  if (n > SIZE_MAX - b->len)
    fail("unable to hold " + std::to_string(n) +
         " more bytes: " + error_text(ENOMEM));
  buffer_reserve(b, b->len + n);
  if (n > 0) std::memcpy(b->data + b->len, bytes, n);
  b->len += n;
}

void buffer_free(buffer* b) {
  std::free(b->data);
  *b = {};
}

}  // namespace qef64::cli
