// Conversions between the number types of the language's values.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace vel {

// A float as a signed 64-bit integer: truncated toward zero, saturated at both limits, NaN
// as 0. Where a size or dimension is given as a float, this is the integer it stands for.
inline std::int64_t truncate_to_i64(double value) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(value)) return 0;
  if (value >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (value <= -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

}  // namespace vel
