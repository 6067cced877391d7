#include "vel/text.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <optional>

#include "vel/unicode.hpp"

namespace vel {

std::string bounds_message(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

std::string first_of_empty_message() { return bounds_message(0, 0); }

std::string list_too_long_message(std::size_t count) {
  return "a list of " + std::to_string(count) + " elements is longer than a record holds";
}

namespace {

void append_code_point_escape(std::string& out, char32_t c) {
  char buf[16];
  auto end = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(c), 16).ptr;
  out += "\\u{";
  out.append(buf, end);
  out += '}';
}

bool needs_no_escape(unsigned char b) { return b >= 0x20 && b < 0x7F && b != '"' && b != '\\'; }

}  // namespace

void append_debug_str(std::string& out, std::string_view text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t run = i;
    while (run < text.size() && needs_no_escape(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text, i, run - i);
    if (run == text.size()) break;
    i = run;
    std::size_t start = i;
    char32_t c = unicode::decode_utf8(text, i);
    switch (c) {
      case U'\0': out += "\\0"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      default:
        if (unicode::is_grapheme_extend(c) || !unicode::is_printable(c))
          append_code_point_escape(out, c);
        else
          out.append(text, start, i - start);
    }
  }
  out += '"';
}

std::string debug_str(std::string_view text) {
  std::string out;
  append_debug_str(out, text);
  return out;
}

namespace {

// `n` × 5^`k`, or nothing once it passes 64 bits.
std::optional<std::uint64_t> times_power_of_5(std::uint64_t n, std::int64_t k) {
  for (; k > 0; --k) {
    if (n > UINT64_MAX / 5) return std::nullopt;
    n *= 5;
  }
  return n;
}

// Whether |value| is exactly halfway between the digits `d` and the string one unit above
// them in their last place, that is (10·D + 5) × 10^p with p the place after the last digit.
bool halfway_above(double value, const ShortestDecimal& d) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  int biased = static_cast<int>(bits >> 52 & 0x7FF);
  std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
  std::int64_t s = -1074;  // |value| = m × 2^s
  if (biased != 0) {
    m |= std::uint64_t{1} << 52;
    s = biased - 1075;
  }
  int zeros = std::countr_zero(m);
  m >>= zeros;
  s += zeros;
  // (10·D + 5) × 10^p is an odd number times 2^p: its power of two must be that of |value|.
  std::int64_t p = d.exponent - d.count;
  if (s != p) return false;
  std::uint64_t digits = 0;  // at most 17 of them
  for (int i = 0; i < d.count; ++i) digits = digits * 10 + static_cast<unsigned>(d.digits[i] - '0');
  std::uint64_t halfway = digits * 10 + 5;
  if (p >= 0) return times_power_of_5(halfway, p) == m;
  return times_power_of_5(m, -p) == halfway;
}

// The digits one unit greater in their last place, without trailing zeros.
void round_up(ShortestDecimal& d) {
  int i = d.count - 1;
  while (i >= 0 && d.digits[i] == '9') --i;
  if (i < 0) {  // all nines: a one in the next place up
    d.digits[0] = '1';
    d.count = 1;
    ++d.exponent;
    return;
  }
  ++d.digits[i];
  d.count = i + 1;
}

}  // namespace

ShortestDecimal shortest_decimal(double value, Tie tie) {
  // std::to_chars gives the shortest round-trip digits in scientific form, breaking a tie
  // toward the even digit: [-]d[.ddd]e(+|-)XX
  char sci[40];
  const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  ShortestDecimal d{};
  if (*p == '-') {
    d.negative = true;
    ++p;
  }
  for (; *p != 'e'; ++p)
    if (*p != '.') d.digits[d.count++] = *p;
  std::from_chars(p + 1 + (p[1] == '+'), end, d.exponent);
  if (tie == Tie::Larger && value != 0 && halfway_above(value, d)) round_up(d);
  return d;
}

}  // namespace vel
