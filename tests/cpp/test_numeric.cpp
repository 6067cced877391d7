#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "vel/numeric.hpp"

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(TruncateToI64, TowardZeroSaturatedNanAsZero) {
  struct Case {
    double value;
    std::int64_t want;
  };
  const Case cases[] = {
      {0.0, 0},
      {-0.0, 0},
      {1.9, 1},
      {-1.9, -1},
      {std::nan(""), 0},
      {kInf, kMax},
      {-kInf, kMin},
      {9223372036854775808.0, kMax},                 // 2^63, the first float above the limit
      {9223372036854774784.0, 9223372036854774784},  // the last float below it
      {-9223372036854775808.0, kMin},                // -2^63 is itself representable
      {-9223372036854777856.0, kMin},
  };
  for (const Case& c : cases) EXPECT_EQ(vel::truncate_to_i64(c.value), c.want) << c.value;
}

}  // namespace
