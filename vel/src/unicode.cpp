#include "vel/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "unicode_tables.hpp"
#include "vel/ascii.hpp"

namespace vel::unicode {
namespace {

bool in(std::span<const tables::Range> ranges, char32_t c) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                             [](char32_t v, const tables::Range& r) { return v < r.first; });
  return it != ranges.begin() && c <= std::prev(it)->last;
}

}  // namespace

bool is_grapheme_extend(char32_t c) { return c >= 0x300 && in(tables::kGraphemeExtend, c); }

bool is_printable(char32_t c) {
  if (c >= 0x20 && c < 0x7F) return true;
  return !in(tables::kNotPrintable, c);
}

bool is_alphabetic(char32_t c) { return in(tables::kAlphabetic, c); }
bool is_mark(char32_t c) { return in(tables::kMark, c); }
bool is_decimal_number(char32_t c) { return in(tables::kDecimalNumber, c); }
bool is_connector_punctuation(char32_t c) { return in(tables::kConnectorPunctuation, c); }
bool is_join_control(char32_t c) { return in(tables::kJoinControl, c); }

bool is_word_char(char32_t c) {
  if (c < 0x80) {
    const auto b = static_cast<int>(c);
    return ascii::is_letter(b) || ascii::is_digit(b) || b == '_';
  }
  return is_alphabetic(c) || is_mark(c) || is_decimal_number(c) || is_connector_punctuation(c) ||
         is_join_control(c);
}

char32_t decode_utf8(std::string_view text, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b = byte(i);
  std::size_t need = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  // A truncated sequence is taken byte by byte rather than read past the end.
  if (b < 0x80 || i + need > text.size()) {
    ++i;
    return b;
  }
  if (b < 0xE0) {
    char32_t c = ((b & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
    i += 2;
    return c;
  }
  if (b < 0xF0) {
    char32_t c = ((b & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
    i += 3;
    return c;
  }
  char32_t c = ((b & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) | ((byte(i + 2) & 0x3Fu) << 6) |
               (byte(i + 3) & 0x3Fu);
  i += 4;
  return c;
}

namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

// Exact UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncation.
bool is_valid_utf8(std::string_view text) {
  auto p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    unsigned char b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    std::size_t left = static_cast<std::size_t>(end - p);
    if (b >= 0xC2 && b <= 0xDF) {
      if (left < 2 || !is_continuation(p[1])) return false;
      p += 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      if (left < 3) return false;
      unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
      unsigned char hi = b == 0xED ? 0x9F : 0xBF;
      if (p[1] < lo || p[1] > hi || !is_continuation(p[2])) return false;
      p += 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      if (left < 4) return false;
      unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
      unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;
      if (p[1] < lo || p[1] > hi || !is_continuation(p[2]) || !is_continuation(p[3])) return false;
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace vel::unicode
