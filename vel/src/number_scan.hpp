// What the source parser and the JSON reader share in reading numbers: decimal digit runs,
// and the side of the range that a decimal out of a double's range lies on.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "vel/ascii.hpp"

namespace vel::number_scan {

template <class Word>
Word load(const char* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Eight bytes read as one little-endian word: all of them decimal digits.
inline bool eight_digits(std::uint64_t w) {
  return ((w & 0xF0F0F0F0F0F0F0F0) | (((w + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ==
         0x3333333333333333;
}

// The end of the run of decimal digits that starts at `p`; long runs go eight at a time.
inline const char* digits_end(const char* p, const char* end) {
  if constexpr (std::endian::native == std::endian::little)
    while (end - p >= 8 && eight_digits(load<std::uint64_t>(p))) p += 8;
  while (p < end && ascii::is_digit(*p)) ++p;
  return p;
}

// Whether a decimal that a float reader found out of range overflowed (its magnitude is at
// least one) rather than underflowed: `mantissa` is its digits with at most one point, no
// sign, and `exponent` the value of its exponent part.
inline bool overflowed(std::string_view mantissa, std::int64_t exponent) {
  std::size_t point = mantissa.find('.');
  if (point == std::string_view::npos) point = mantissa.size();
  std::size_t first = mantissa.find_first_not_of("0.");
  if (first == std::string_view::npos) return false;
  // The decimal position of the first non-zero digit, counted from the units as 0.
  std::int64_t position = first < point ? static_cast<std::int64_t>(point - first) - 1
                                        : -static_cast<std::int64_t>(first - point);
  return position + exponent >= 0;
}

}  // namespace vel::number_scan
