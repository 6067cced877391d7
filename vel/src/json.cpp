#include "vel/json.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "vel/ast.hpp"
#include "vel/stop.hpp"

namespace vel::json {

std::string unwrap_message(const JsonError& error) {
  std::string out(kUnwrapErr);
  out += ": Error(";
  append_debug_str(out, error.message);
  out += ", line: " + std::to_string(error.line) + ", column: " + std::to_string(error.column) +
         ")";
  return out;
}

// ---------------------------------------------------------------------------------------
// Writing

namespace {

// The escape of each byte below 0x20, and of '"' and '\\'; an empty entry means the byte
// is written as itself.
struct EscapeTable {
  char text[128][8] = {};
  constexpr EscapeTable() {
    const char hex[] = "0123456789abcdef";
    for (int b = 0; b < 0x20; ++b) {
      char* t = text[b];
      t[0] = '\\'; t[1] = 'u'; t[2] = '0'; t[3] = '0'; t[4] = hex[b >> 4]; t[5] = hex[b & 15];
    }
    auto set2 = [this](int b, char c) { text[b][0] = '\\'; text[b][1] = c; text[b][2] = 0; };
    set2('\b', 'b');
    set2('\t', 't');
    set2('\n', 'n');
    set2('\f', 'f');
    set2('\r', 'r');
    set2('"', '"');
    set2('\\', '\\');
  }
};
constexpr EscapeTable kEscapes;

}  // namespace

void write_string(std::string& out, std::string_view text) {
  out += '"';
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x80 || kEscapes.text[b][0] == 0) continue;
    out.append(text, start, i - start);
    out += kEscapes.text[b];
    start = i + 1;
  }
  out.append(text, start, text.size() - start);
  out += '"';
}

void write_int(std::string& out, std::int64_t value) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void write_uint(std::string& out, std::uint64_t value) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void write_float(std::string& out, double value) {
  if (value == 0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX
  char sci[40];
  char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[20];
  int n = 0;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int exp = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, exp);

  if (exp < -5 || exp > 15) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits + 1, n - 1);
    }
    out += 'e';
    out += exp < 0 ? '-' : '+';
    write_int(out, exp < 0 ? -exp : exp);
  } else if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out.append(digits, n);
  } else if (n > exp + 1) {
    out.append(digits, exp + 1);
    out += '.';
    out.append(digits + exp + 1, n - exp - 1);
  } else {
    out.append(digits, n);
    out.append(static_cast<std::size_t>(exp + 1 - n), '0');
    out += ".0";
  }
}

std::string float_text(double value) {
  std::string out;
  write_float(out, value);
  return out;
}

// ---------------------------------------------------------------------------------------
// Reading

}  // namespace vel::json
