#include "json_scan.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>

#include "vel/interrupt.hpp"

namespace vel::json::scan {

namespace {

constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kControlInString =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";

int hex_value(unsigned char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::uint32_t read_hex4(std::string_view text, std::size_t& pos) {
  if (text.size() - pos < 4) fail_at(text, text.size(), kEofString);
  std::uint32_t n = 0;
  for (int k = 0; k < 4; ++k) {
    int h = hex_value(static_cast<unsigned char>(text[pos++]));
    if (h < 0) fail_at(text, pos, kInvalidEscape);
    n = n << 4 | static_cast<std::uint32_t>(h);
  }
  return n;
}

// After the backslash; appends the decoded character to `out`.
void read_escape(std::string_view text, std::size_t& pos, std::string& out) {
  if (pos >= text.size()) fail_at(text, text.size(), kEofString);
  char c = text[pos++];
  switch (c) {
    case '"': out += '"'; return;
    case '\\': out += '\\'; return;
    case '/': out += '/'; return;
    case 'b': out += '\b'; return;
    case 'f': out += '\f'; return;
    case 'n': out += '\n'; return;
    case 'r': out += '\r'; return;
    case 't': out += '\t'; return;
    case 'u': break;
    default: fail_at(text, pos, kInvalidEscape);
  }
  std::uint32_t n = read_hex4(text, pos);
  if (n >= 0xDC00 && n <= 0xDFFF) fail_at(text, pos, kLoneSurrogate);
  if (n < 0xD800 || n > 0xDBFF) {
    append_utf8(out, n);
    return;
  }
  // A leading surrogate must be followed by the escape of a trailing one.
  for (char want : {'\\', 'u'}) {
    if (pos >= text.size()) fail_at(text, text.size(), kEofString);
    if (text[pos++] != want) fail_at(text, pos, "unexpected end of hex escape");
  }
  std::uint32_t n2 = read_hex4(text, pos);
  if (n2 < 0xDC00 || n2 > 0xDFFF) fail_at(text, pos, kLoneSurrogate);
  append_utf8(out, 0x10000 + ((n - 0xD800) << 10 | (n2 - 0xDC00)));
}

}  // namespace

void fail_at(std::string_view text, std::size_t p, std::string_view message) {
  std::string_view before = text.substr(0, p);
  std::size_t last_lf = before.rfind('\n');
  std::size_t line_start = last_lf == std::string_view::npos ? 0 : last_lf + 1;
  std::size_t lines = 1;
  for (std::size_t i = 0; i < line_start; ++i) lines += text[i] == '\n';
  throw JsonError{std::string(message), lines, p - line_start};
}

// ---------------------------------------------------------------------------------------
// Strings

std::string_view read_str_slow(std::string_view text, std::size_t& pos, std::size_t start,
                               std::size_t end, std::string& scratch) {
  scratch.assign(text.data() + start, end - start);
  pos = end;
  for (;;) {
    if (pos >= text.size()) fail_at(text, text.size(), kEofString);
    unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b == '"') {
      ++pos;
      return scratch;
    }
    ++pos;
    if (b != '\\') fail_at(text, pos, kControlInString);
    poll_interrupt();  // a string may hold millions of escapes
    read_escape(text, pos, scratch);
    std::size_t run = plain_end(text.data(), pos, text.size());
    scratch.append(text.data() + pos, run - pos);
    pos = run;
  }
}

void skip_str(std::string_view text, std::size_t& pos) {
  ++pos;
  for (;;) {
    pos = plain_end(text.data(), pos, text.size());
    if (pos >= text.size()) fail_at(text, text.size(), kEofString);
    unsigned char b = static_cast<unsigned char>(text[pos++]);
    if (b == '"') return;
    if (b != '\\') fail_at(text, pos, kControlInString);
    poll_interrupt();
    if (pos >= text.size()) fail_at(text, text.size(), kEofString);
    switch (text[pos++]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't': break;
      case 'u': read_hex4(text, pos); break;
      default: fail_at(text, pos, kInvalidEscape);
    }
  }
}

void read_ident(std::string_view text, std::size_t& pos, std::string_view rest) {
  for (char want : rest) {
    if (pos >= text.size()) fail_at(text, text.size(), kEofValue);
    if (text[pos++] != want) fail_at(text, pos, "expected ident");
  }
}

// ---------------------------------------------------------------------------------------
// Numbers

namespace {

constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The value of eight decimal digits, combined in pairs, fours and then the whole word.
std::uint64_t eight_digits_value(std::uint64_t w) {
  w -= 0x3030303030303030;
  w = w * 10 + (w >> 8);
  w = ((w & 0x000000FF000000FF) * (100 + (1000000ull << 32)) +
       ((w >> 16) & 0x000000FF000000FF) * (1 + (10000ull << 32))) >>
      32;
  return w;
}

// The end of the run of decimal digits that starts at i.
std::size_t skip_digits(const char* p, std::size_t i, std::size_t n) {
  return static_cast<std::size_t>(number_scan::digits_end(p + i, p + n) - p);
}

// The decimal digits of [p, end) as an integer; the caller keeps them to 19 or fewer.
std::uint64_t digits_value(const char* p, const char* end, std::uint64_t value = 0) {
  if constexpr (std::endian::native == std::endian::little)
    for (; end - p >= 8; p += 8)
      value = value * 100000000 + eight_digits_value(load<std::uint64_t>(p));
  for (; p < end; ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
  return value;
}

// Whether long double arithmetic really keeps 64 bits of significand; an emulator such as
// valgrind carries it in doubles.
bool extended_precision() {
  static const bool kept = [] {
    volatile long double big = 9223372036854775808.0L;  // 2^63
    volatile long double one = 1.0L;
    return big + one != big;
  }();
  return kept;
}

// The double nearest to `w` × 10^`e10`, when exact arithmetic can tell it: `w` and the power
// are exact doubles, so one rounding follows; or the power is exact in extended precision,
// whose product or quotient is rounded once there and is no midpoint of two doubles, so that
// rounding it to a double rounds the exact value. Otherwise nothing.
std::optional<double> nearest_double(std::uint64_t w, std::int64_t e10) {
  if (w < (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
    double d = static_cast<double>(w);
    return e10 < 0 ? d / kExactPowers[-e10] : d * kExactPowers[e10];
  }
  // The x87 format: 64 bits of significand, the low eight bytes in little-endian order.
  if constexpr (std::numeric_limits<long double>::digits == 64 &&
                std::endian::native == std::endian::little) {
    // 10^27 = 2^27 × 5^27, and 5^27 is below 2^63.
    static constexpr long double kPowers[] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,
                                              1e7L,  1e8L,  1e9L,  1e10L, 1e11L, 1e12L, 1e13L,
                                              1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L, 1e20L,
                                              1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
    if (e10 >= -27 && e10 <= 27 && extended_precision()) {
      long double x = static_cast<long double>(w);
      long double q = e10 < 0 ? x / kPowers[-e10] : x * kPowers[e10];
      std::uint64_t significand;
      std::memcpy(&significand, &q, sizeof significand);
      if ((significand & 0x7FF) != 0x400) return static_cast<double>(q);
    }
  }
  return std::nullopt;
}

// Where the parts of a number stand in the text.
struct NumberText {
  std::size_t start, int_begin, int_end, frac_begin, frac_end, end;
  bool negative, is_float;
  std::int64_t exp;
  bool overflowed;  // an exponent past 32 bits, of a number that is zero
};

// The number grammar, once for reading and skipping. A read number's exponent is kept in 32
// bits: past that a non-zero number is out of range at once, right after the digit that
// overflowed, and a zero one is zero.
template <bool kRead>
NumberText scan_number(std::string_view text, std::size_t& pos) {
  const std::size_t n = text.size();
  const char* p = text.data();
  // Where reading says the text ended, skipping calls the number invalid.
  constexpr std::string_view kEnded = kRead ? kEofValue : kInvalidNumber;
  NumberText t{};
  t.start = pos;
  t.negative = p[pos] == '-';
  if (t.negative) ++pos;
  if (pos >= n) fail_at(text, n, kEnded);
  t.int_begin = pos;
  char first = p[pos++];
  if (first == '0') {
    if (pos < n && is_digit(p[pos])) fail_at(text, pos + 1, kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    pos = skip_digits(p, pos, n);
  } else {
    fail_at(text, pos, kInvalidNumber);
  }
  t.int_end = t.frac_begin = pos;
  if (pos < n && p[pos] == '.') {
    t.is_float = true;
    t.frac_begin = ++pos;
    pos = skip_digits(p, pos, n);
    if (pos == t.frac_begin) fail_at(text, std::min(n, pos + 1), pos < n ? kInvalidNumber : kEnded);
  }
  t.frac_end = pos;
  if (pos < n && (p[pos] == 'e' || p[pos] == 'E')) {
    t.is_float = true;
    ++pos;
    bool positive_exp = true;
    if (pos < n && (p[pos] == '+' || p[pos] == '-')) positive_exp = p[pos++] == '+';
    if (pos >= n) fail_at(text, n, kEnded);
    if (!is_digit(p[pos++])) fail_at(text, pos, kInvalidNumber);
    if constexpr (!kRead) {
      pos = skip_digits(p, pos, n);
    } else {
      t.exp = p[pos - 1] - '0';
      for (; pos < n && is_digit(p[pos]); ++pos) {
        t.exp = t.exp * 10 + (p[pos] - '0');
        if (t.exp > INT32_MAX) {
          ++pos;
          auto nonzero = [&](std::size_t from, std::size_t to) {
            return std::any_of(p + from, p + to, [](char c) { return c != '0'; });
          };
          if (positive_exp &&
              (nonzero(t.int_begin, t.int_end) || nonzero(t.frac_begin, t.frac_end)))
            fail_at(text, pos, kOutOfRange);
          pos = skip_digits(p, pos, n);
          t.overflowed = true;
          break;
        }
      }
      if (!positive_exp) t.exp = -t.exp;
    }
  }
  t.end = pos;
  return t;
}

// The value of a number whose parts are `t`.
Number number_value(std::string_view text, const NumberText& t) {
  Number out;  // the one object returned, built in the caller's place
  const char* p = text.data();
  if (t.overflowed) {
    out.cls = NumberClass::Float;
    out.f = t.negative ? -0.0 : 0.0;
    return out;
  }
  const std::size_t int_digits = t.int_end - t.int_begin;
  if (!t.is_float) {
    // Up to 19 digits always fit 64 bits; 20 digits fit up to 18446744073709551615.
    constexpr std::string_view kMax = "18446744073709551615";
    bool fits = int_digits < kMax.size() || (int_digits == kMax.size() &&
                                             std::string_view(p + t.int_begin, int_digits) <= kMax);
    if (fits) {
      std::uint64_t value = digits_value(p + t.int_begin, p + t.int_end);
      if (!t.negative) {
        out.cls = NumberClass::Unsigned;
        out.u = value;
        return out;
      }
      if (value != 0 && value <= (std::uint64_t{1} << 63)) {
        out.cls = NumberClass::Negative;
        out.i = static_cast<std::int64_t>(0 - value);
        return out;
      }
    }
  }
  out.cls = NumberClass::Float;
  // The significant digits, leading zeros left out, when 64 bits hold them.
  const bool leading_zero = p[t.int_begin] == '0';
  const std::size_t frac_digits = t.frac_end - t.frac_begin;
  std::size_t significant = int_digits + frac_digits;
  if (leading_zero) {
    --significant;
    for (std::size_t i = t.frac_begin; i < t.frac_end && p[i] == '0'; ++i) --significant;
  }
  if (significant <= 19) {
    std::uint64_t w = digits_value(p + t.frac_begin, p + t.frac_end,
                                   digits_value(p + t.int_begin, p + t.int_end));
    if (w == 0) {
      out.f = t.negative ? -0.0 : 0.0;
      return out;
    }
    if (auto d = nearest_double(w, t.exp - static_cast<std::int64_t>(frac_digits))) {
      out.f = t.negative ? -*d : *d;
      return out;
    }
  }
  auto [ptr, ec] = std::from_chars(p + t.start, p + t.end, out.f);
  if (ec == std::errc::result_out_of_range) {
    std::string_view mantissa(p + t.int_begin, t.frac_end - t.int_begin);
    if (number_scan::overflowed(mantissa, t.exp)) fail_at(text, t.end, kOutOfRange);
    out.f = t.negative ? -0.0 : 0.0;
  }
  return out;
}

}  // namespace

Number read_number(std::string_view text, std::size_t& pos) {
  return number_value(text, scan_number<true>(text, pos));
}

void skip_number(std::string_view text, std::size_t& pos) { scan_number<false>(text, pos); }

}  // namespace vel::json::scan
