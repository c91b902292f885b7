// Decimal formatting and parsing at every change of digit count.

#include "runtime/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

using namespace qef64;  // the engines and runtime under test

namespace {

std::string formatted(std::int64_t value) {
  char buf[decimal_max_digits + 1] = {};
  std::int64_t n = format_decimal(buf, value);
  EXPECT_EQ(n, format_decimal(nullptr, value)) << value;
  return std::string(buf, static_cast<std::size_t>(n));
}

TEST(Decimal, FormatsAroundEveryPowerOfTen) {
  EXPECT_EQ(formatted(0), "0");
  std::int64_t power = 1;
  for (int digits = 1; digits <= 18; digits++) {
    power *= 10;
    for (std::int64_t v :
         {power - 1, power, power + 1, power / 2 + 7, power - power / 10}) {
      EXPECT_EQ(formatted(v), std::to_string(v));
    }
  }
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(formatted(max), "9223372036854775807");
  EXPECT_EQ(format_decimal(nullptr, max), 19);
}

TEST(Decimal, NegativeValuesWriteNothing) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(format_decimal(buf, -1), 0);
  EXPECT_EQ(format_decimal(buf, std::numeric_limits<std::int64_t>::min()), 0);
  EXPECT_EQ(std::string(buf, 4), "xxxx");
}

TEST(Decimal, ParsesTheLeadingDigitsModulo64Bits) {
  EXPECT_EQ(parse_decimal("12x"), 12u);
  EXPECT_EQ(parse_decimal("x12"), 0u);
  EXPECT_EQ(parse_decimal(""), 0u);
  EXPECT_EQ(parse_decimal("18446744073709551617"), 1u);
}

}  // namespace
