#include "vel/unicode.hpp"

#include <algorithm>

#include "unicode_tables.hpp"

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
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }
  return is_alphabetic(c) || is_mark(c) || is_decimal_number(c) ||
         is_connector_punctuation(c) || is_join_control(c);
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
  char32_t c = ((b & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
               ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
  i += 4;
  return c;
}

}  // namespace vel::unicode
