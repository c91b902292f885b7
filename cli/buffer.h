#pragma once

// A growable byte buffer on the heap, for fields that must be copied.

#include <cstddef>

namespace qef64::cli {

struct buffer {
  unsigned char* data;
  std::size_t len;
  std::size_t cap;
};

// Room for n bytes in all; fails ("Cannot allocate memory") when there is
// none. The bytes held stay.
void buffer_reserve(buffer* b, std::size_t n);
void buffer_append(buffer* b, const void* bytes, std::size_t n);
void buffer_free(buffer* b);

}  // namespace qef64::cli
