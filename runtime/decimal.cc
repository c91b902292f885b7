#include "runtime/decimal.h"

namespace qef64 {

namespace {

// "00" to "99": the scanners format two numbers per record, and two digits
// per division halves the work.
constexpr char digit_pairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536"
    "37383940414243444546474849505152535455565758596061626364656667686970717273"
    "7475767778798081828384858687888990919293949596979899";

}  // namespace

std::int64_t format_decimal(char* buf, std::int64_t value) {
  if (value < 0) return 0;
  auto v = static_cast<std::uint64_t>(value);
  std::int64_t count = 1;
  // 10^19 still fits in 64 unsigned bits, and 19 digits hold any value.
  for (std::uint64_t power = 10; count < 19 && v >= power; power *= 10)
    count++;
  if (buf == nullptr) return count;
  std::int64_t i = count;
  while (v >= 100) {
    std::uint64_t pair = 2 * (v % 100);
    v /= 100;
    buf[--i] = digit_pairs[pair + 1];
    buf[--i] = digit_pairs[pair];
  }
  if (v >= 10) {
    buf[--i] = digit_pairs[2 * v + 1];
    buf[--i] = digit_pairs[2 * v];
  } else {
    buf[--i] = static_cast<char>('0' + v);
  }
  return count;
}

std::uint64_t parse_decimal(const char* string) {
  std::uint64_t value = 0;
  for (; *string >= '0' && *string <= '9'; string++) {
    value = value * 10 + static_cast<std::uint64_t>(*string - '0');
  }
  return value;
}

}  // namespace qef64
