#pragma once

#include <cstdint>

namespace qef64 {

// Most digits format_decimal writes (for 2^63 - 1).
constexpr std::int64_t decimal_max_digits = 19;

// Writes value's digits (no sign, no leading zeros, no NUL) to buf and
// returns their number; a null buf only counts; a negative value writes
// nothing and returns 0. REQUIRES: buf holds decimal_max_digits bytes.
[[nodiscard]] std::int64_t format_decimal(char* buf, std::int64_t value);
// The value of the leading run of ASCII digits, modulo 2^64; 0 when the
// string does not start with a digit.
[[nodiscard]] std::uint64_t parse_decimal(const char* string);

}  // namespace qef64
