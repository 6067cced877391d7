// Code point classes of Unicode 17.0, as sorted lists of disjoint inclusive ranges.
#pragma once

#include <span>

namespace vel::unicode::tables {

struct Range {
  char32_t first;
  char32_t last;
};

extern const std::span<const Range> kGraphemeExtend;
extern const std::span<const Range> kNotPrintable;
extern const std::span<const Range> kAlphabetic;
extern const std::span<const Range> kMark;
extern const std::span<const Range> kDecimalNumber;
extern const std::span<const Range> kConnectorPunctuation;
extern const std::span<const Range> kJoinControl;

}  // namespace vel::unicode::tables
