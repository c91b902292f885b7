#pragma once

#include <cstdint>

namespace qef64 {

// Note the argument order of all three: destination, count, source.

// Copies n bytes in ascending order; safe for overlap when dst lies below src.
void copy_forward(unsigned char* dst, std::int64_t n, const unsigned char* src);
// Copies n bytes in descending order; safe for overlap when dst lies above
// src, which is how a short refill moves bytes to the end of a buffer.
void copy_backward(unsigned char* dst, std::int64_t n,
                   const unsigned char* src);
// a[i] - b[i] as unsigned bytes at the first difference (-255 to 255), or 0
// when the n bytes are equal or n is 0.
[[nodiscard]] std::int64_t compare_bytes(const unsigned char* a, std::int64_t n,
                                         const unsigned char* b);

}  // namespace qef64
