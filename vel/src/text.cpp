#include "vel/text.hpp"

#include <charconv>
#include <cstdint>

#include "vel/unicode.hpp"

namespace vel {

std::string bounds_message(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
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

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

ShortestDecimal shortest_decimal(double value) {
  // std::to_chars gives the shortest round-trip digits in scientific form:
  // [-]d[.ddd]e(+|-)XX
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
  return d;
}

}  // namespace vel
