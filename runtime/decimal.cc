#include "runtime/decimal.h"

std::int64_t format_decimal(char* buf, std::int64_t value) {
  if (value < 0) return 0;
  std::int64_t count = 1;
  for (std::int64_t rest = value / 10; rest != 0; rest /= 10) count++;
  if (buf == nullptr) return count;
  for (std::int64_t i = count - 1; i >= 0; i--) {
    buf[i] = static_cast<char>('0' + value % 10);
    value /= 10;
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
