#include "vel/json.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "vel/stop.hpp"

namespace vel::json {

std::string unwrap_message(const JsonError& error) {
  std::string shown = "Error(";
  append_debug_str(shown, error.message);
  shown += ", line: " + std::to_string(error.line) + ", column: " + std::to_string(error.column) +
           ")";
  return unwrap_err_message(shown);
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
  for (;;) {
    // Runs that need no escape are copied whole.
    std::size_t i = Reader::scan_plain(text.data(), start, text.size());
    out.append(text.data() + start, i - start);
    if (i == text.size()) break;
    out += kEscapes.text[static_cast<unsigned char>(text[i])];
    start = i + 1;
  }
  out += '"';
}

void write_float(std::string& out, double value) {
  if (value == 0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  ShortestDecimal d = shortest_decimal(value, Tie::Even);
  if (d.negative) out += '-';
  const char* digits = d.digits;
  int n = d.count;
  int exp = d.exponent;
  if (exp < -5 || exp > 15) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits + 1, n - 1);
    }
    out += 'e';
    out += exp < 0 ? '-' : '+';
    append_int(out, exp < 0 ? -exp : exp);
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

namespace {

constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
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

// Parses the decimal digits of [begin, end) as an unsigned machine word; false when there
// are none or they overflow.
bool parse_size(std::string_view digits, std::size_t& value) {
  if (digits.empty()) return false;
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return ec == std::errc() && ptr == digits.data() + digits.size();
}

// Cuts a trailing " at line N column M" off a message made by a value's reader, as the
// JSON library does for messages that come back to it as text.
bool peel_position(std::string& message, std::size_t& line, std::size_t& column) {
  constexpr std::string_view at_line = " at line ", col = " column ";
  std::size_t start = message.rfind(at_line);
  if (start == std::string::npos) return false;
  std::size_t line_from = start + at_line.size(), line_to = line_from;
  while (line_to < message.size() && is_digit(message[line_to])) ++line_to;
  if (std::string_view(message).substr(line_to, col.size()) != col) return false;
  std::size_t col_from = line_to + col.size(), col_to = col_from;
  while (col_to < message.size() && is_digit(message[col_to])) ++col_to;
  if (col_to != message.size()) return false;
  std::string_view m(message);
  if (!parse_size(m.substr(line_from, line_to - line_from), line) ||
      !parse_size(m.substr(col_from, col_to - col_from), column))
    return false;
  message.resize(start);
  return true;
}

}  // namespace

std::string describe(const Number& number) {
  std::string out;
  switch (number.cls) {
    case NumberClass::Unsigned:
      out = "integer `";
      append_uint(out, number.u);
      break;
    case NumberClass::Negative:
      out = "integer `";
      append_int(out, number.i);
      break;
    case NumberClass::Float:
      out = "floating point `";
      write_float(out, number.f);
      break;
  }
  out += '`';
  return out;
}

std::string describe(const AnyValue& value) {
  switch (value.kind) {
    case AnyValue::Kind::Null: return "null";
    case AnyValue::Kind::Bool: return value.boolean ? "boolean `true`" : "boolean `false`";
    case AnyValue::Kind::Number: return describe(value.number);
    case AnyValue::Kind::String: return "string " + debug_str(value.text);
    case AnyValue::Kind::Array: return "sequence";
    case AnyValue::Kind::Object: return "map";
  }
  return {};
}

std::string missing_field(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

std::string duplicate_field(std::string_view name) {
  return "duplicate field `" + std::string(name) + "`";
}

std::string invalid_length(std::size_t position, std::string_view expected) {
  return "invalid length " + std::to_string(position) + ", expected " + std::string(expected);
}

void Reader::fail_at(std::size_t p, std::string_view message) const {
  std::string_view before = text_.substr(0, p);
  std::size_t last_lf = before.rfind('\n');
  std::size_t line_start = last_lf == std::string_view::npos ? 0 : last_lf + 1;
  std::size_t lines = 1;
  for (std::size_t i = 0; i < line_start; ++i) lines += text_[i] == '\n';
  throw JsonError{std::string(message), lines, p - line_start};
}

void Reader::fail_peek(std::string_view message) const {
  fail_at(std::min(text_.size(), pos_ + 1), message);
}

void Reader::custom(std::string message) {
  std::size_t line = 0, column = 0;
  // A line of 0 is no position: the enclosing reader places the error as usual.
  if (peel_position(message, line, column) && line != 0)
    throw JsonError{std::move(message), line, column};
  throw Unplaced{std::move(message)};
}

void Reader::custom_here(std::string message) const {
  try {
    custom(std::move(message));
  } catch (Unplaced& e) {
    fail_here(e.message);
  }
}

void Reader::expect_end() {
  if (peek_token() >= 0) fail_peek(kTrailingCharacters);
}

void Reader::colon_after_space() {
  int c = peek_token();
  if (c < 0) fail_peek(kEofObject);
  if (c != ':') fail_peek(kExpectedColon);
  ++pos_;
}

void Reader::settle_list() {
  int c = peek_token();
  if (c == ']') {
    ++pos_;
  } else if (c == ',') {
    ++pos_;
    peek_token();
  }
}

void Reader::settle_object() {
  if (peek_token() == '}') ++pos_;
}

// --- strings ---

std::string_view Reader::read_str_slow(std::size_t start, std::size_t end) {
  scratch_.assign(text_.data() + start, end - start);
  pos_ = end;
  for (;;) {
    if (pos_ >= text_.size()) fail_at(text_.size(), kEofString);
    unsigned char b = static_cast<unsigned char>(text_[pos_]);
    if (b == '"') {
      ++pos_;
      return scratch_;
    }
    ++pos_;
    if (b != '\\') fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    read_escape();
    std::size_t run = scan_plain(text_.data(), pos_, text_.size());
    scratch_.append(text_.data() + pos_, run - pos_);
    pos_ = run;
  }
}

std::uint32_t Reader::read_hex4() {
  if (text_.size() - pos_ < 4) fail_at(text_.size(), kEofString);
  std::uint32_t n = 0;
  for (int k = 0; k < 4; ++k) {
    int h = hex_value(static_cast<unsigned char>(text_[pos_++]));
    if (h < 0) fail_here(kInvalidEscape);
    n = n << 4 | static_cast<std::uint32_t>(h);
  }
  return n;
}

// After the backslash; appends the decoded character to the scratch text.
void Reader::read_escape() {
  if (pos_ >= text_.size()) fail_at(text_.size(), kEofString);
  char c = text_[pos_++];
  switch (c) {
    case '"': scratch_ += '"'; return;
    case '\\': scratch_ += '\\'; return;
    case '/': scratch_ += '/'; return;
    case 'b': scratch_ += '\b'; return;
    case 'f': scratch_ += '\f'; return;
    case 'n': scratch_ += '\n'; return;
    case 'r': scratch_ += '\r'; return;
    case 't': scratch_ += '\t'; return;
    case 'u': break;
    default: fail_here(kInvalidEscape);
  }
  std::uint32_t n = read_hex4();
  if (n >= 0xDC00 && n <= 0xDFFF) fail_here(kLoneSurrogate);
  if (n < 0xD800 || n > 0xDBFF) {
    append_utf8(scratch_, n);
    return;
  }
  // A leading surrogate must be followed by the escape of a trailing one.
  for (char want : {'\\', 'u'}) {
    if (pos_ >= text_.size()) fail_at(text_.size(), kEofString);
    if (text_[pos_++] != want) fail_here("unexpected end of hex escape");
  }
  std::uint32_t n2 = read_hex4();
  if (n2 < 0xDC00 || n2 > 0xDFFF) fail_here(kLoneSurrogate);
  append_utf8(scratch_, 0x10000 + ((n - 0xD800) << 10 | (n2 - 0xDC00)));
}

// A skipped string: escapes are checked for form only, surrogates need not pair.
void Reader::skip_str() {
  ++pos_;
  for (;;) {
    pos_ = scan_plain(text_.data(), pos_, text_.size());
    if (pos_ >= text_.size()) fail_at(text_.size(), kEofString);
    unsigned char b = static_cast<unsigned char>(text_[pos_++]);
    if (b == '"') return;
    if (b != '\\') fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    if (pos_ >= text_.size()) fail_at(text_.size(), kEofString);
    switch (text_[pos_++]) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
      case 'u': read_hex4(); break;
      default: fail_here(kInvalidEscape);
    }
  }
}

// --- numbers ---

namespace {

constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Eight bytes read as one little-endian word: all of them decimal digits.
bool eight_digits(std::uint64_t w) {
  return ((w & 0xF0F0F0F0F0F0F0F0) | (((w + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ==
         0x3333333333333333;
}

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
  if constexpr (std::endian::native == std::endian::little)
    while (i + 8 <= n && eight_digits(load8(p + i))) i += 8;
  while (i < n && is_digit(p[i])) ++i;
  return i;
}

// The decimal digits of [p, end) as an integer; the caller keeps them to 19 or fewer.
std::uint64_t digits_value(const char* p, const char* end, std::uint64_t value = 0) {
  if constexpr (std::endian::native == std::endian::little)
    for (; end - p >= 8; p += 8) value = value * 100000000 + eight_digits_value(load8(p));
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
    static constexpr long double kPowers[] = {
        1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
        1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
        1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
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

}  // namespace

Number Reader::read_number() {
  Number out;  // the one object returned, built in the caller's place
  const std::size_t n = text_.size();
  const char* p = text_.data();
  const std::size_t start = pos_;
  const bool negative = p[pos_] == '-';
  if (negative) ++pos_;
  if (pos_ >= n) fail_at(n, kEofValue);
  const std::size_t int_begin = pos_;
  char first = p[pos_++];
  if (first == '0') {
    if (pos_ < n && is_digit(p[pos_])) fail_peek(kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    pos_ = skip_digits(p, pos_, n);
  } else {
    fail_here(kInvalidNumber);
  }
  const std::size_t int_end = pos_;
  std::size_t frac_begin = pos_;
  bool is_float = false;
  if (pos_ < n && p[pos_] == '.') {
    is_float = true;
    frac_begin = ++pos_;
    pos_ = skip_digits(p, pos_, n);
    if (pos_ == frac_begin) fail_peek(pos_ < n ? kInvalidNumber : kEofValue);
  }
  const std::size_t frac_end = pos_;
  std::int64_t exp = 0;
  if (pos_ < n && (p[pos_] == 'e' || p[pos_] == 'E')) {
    is_float = true;
    ++pos_;
    bool positive_exp = true;
    if (pos_ < n && (p[pos_] == '+' || p[pos_] == '-')) positive_exp = p[pos_++] == '+';
    if (pos_ >= n) fail_at(n, kEofValue);
    if (!is_digit(p[pos_++])) fail_here(kInvalidNumber);
    exp = p[pos_ - 1] - '0';
    for (; pos_ < n && is_digit(p[pos_]); ++pos_) {
      exp = exp * 10 + (p[pos_] - '0');
      // The exponent is kept in 32 bits: past that a non-zero number is out of range at
      // once, right after the digit that overflowed.
      if (exp > INT32_MAX) {
        ++pos_;
        auto nonzero = [&](std::size_t from, std::size_t to) {
          return std::any_of(p + from, p + to, [](char c) { return c != '0'; });
        };
        if (positive_exp && (nonzero(int_begin, int_end) || nonzero(frac_begin, frac_end)))
          fail_here(kOutOfRange);
        while (pos_ < n && is_digit(p[pos_])) ++pos_;
        out.cls = NumberClass::Float;
        out.f = negative ? -0.0 : 0.0;
        return out;
      }
    }
    if (!positive_exp) exp = -exp;
  }
  const std::size_t int_digits = int_end - int_begin;
  if (!is_float) {
    // Up to 19 digits always fit 64 bits; 20 digits fit up to 18446744073709551615.
    constexpr std::string_view kMax = "18446744073709551615";
    bool fits = int_digits < kMax.size() ||
                (int_digits == kMax.size() &&
                 std::string_view(p + int_begin, int_digits) <= kMax);
    if (fits) {
      std::uint64_t value = digits_value(p + int_begin, p + int_end);
      if (!negative) {
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
  const std::size_t frac_digits = frac_end - frac_begin;
  std::size_t significant = int_digits + frac_digits;
  if (first == '0') {
    --significant;
    for (std::size_t i = frac_begin; i < frac_end && p[i] == '0'; ++i) --significant;
  }
  if (significant <= 19) {
    std::uint64_t w =
        digits_value(p + frac_begin, p + frac_end, digits_value(p + int_begin, p + int_end));
    if (w == 0) {
      out.f = negative ? -0.0 : 0.0;
      return out;
    }
    if (auto d = nearest_double(w, exp - static_cast<std::int64_t>(frac_digits))) {
      out.f = negative ? -*d : *d;
      return out;
    }
  }
  auto [ptr, ec] = std::from_chars(p + start, p + pos_, out.f);
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small: the decimal exponent of the first significant digit tells.
    std::int64_t lead = 0;  // decimal exponent of the leading digit, before the exponent part
    if (first != '0') {
      lead = static_cast<std::int64_t>(int_digits) - 1;
    } else {
      lead = -1;
      for (std::size_t i = frac_begin; i < frac_end && p[i] == '0'; ++i) --lead;
    }
    if (lead + exp > 0) fail_here(kOutOfRange);
    out.f = negative ? -0.0 : 0.0;
  }
  return out;
}

// --- words and whole values ---

void Reader::read_ident(std::string_view rest) {
  for (char want : rest) {
    if (pos_ >= text_.size()) fail_at(text_.size(), kEofValue);
    if (text_[pos_++] != want) fail_here("expected ident");
  }
}

void Reader::read_any_inner() {
  int c = peek_token();
  if (c < 0) fail_peek(kEofValue);
  switch (c) {
    case 'n': ++pos_; read_ident("ull"); return;
    case 't': ++pos_; read_ident("rue"); return;
    case 'f': ++pos_; read_ident("alse"); return;
    case '"': read_str(); return;
    case '[': read_array([&] { read_any_inner(); }); return;
    case '{':
      open();
      read_object_members([&] {
        read_str();
        colon();
        read_any_inner();
      });
      close();
      return;
    default:
      if (c == '-' || is_digit(c)) {
        read_number();
        return;
      }
      fail_peek("expected value");
  }
}

AnyValue Reader::read_any() {
  AnyValue value;
  int c = peek_token();
  if (c < 0) fail_peek(kEofValue);
  switch (c) {
    case 'n': ++pos_; read_ident("ull"); value.kind = AnyValue::Kind::Null; break;
    case 't': ++pos_; read_ident("rue"); value.kind = AnyValue::Kind::Bool; value.boolean = true; break;
    case 'f': ++pos_; read_ident("alse"); value.kind = AnyValue::Kind::Bool; break;
    case '"': value.kind = AnyValue::Kind::String; value.text = read_str(); break;
    case '[': read_any_inner(); value.kind = AnyValue::Kind::Array; break;
    case '{': read_any_inner(); value.kind = AnyValue::Kind::Object; break;
    default:
      if (c != '-' && !is_digit(c)) fail_peek("expected value");
      value.kind = AnyValue::Kind::Number;
      value.number = read_number();
  }
  return value;
}

void Reader::invalid_type(std::string_view expected) {
  std::string found;
  switch (peek_token()) {
    case '[': found = "sequence"; break;
    case '{': found = "map"; break;
    default: found = describe(read_any());
  }
  fail_here("invalid type: " + found + ", expected " + std::string(expected));
}

// Iterative, with a stack of the open brackets, so that any depth is skipped without
// recursion; the nesting allowance does not apply here.
void Reader::skip_value() {
  std::string open_brackets;
  for (;;) {
    poll_interrupt();
    // A value must start here.
    int c = peek_token();
    if (c < 0) fail_peek(kEofValue);
    bool accept_comma = true;
    char frame = 0;
    switch (c) {
      case 'n': ++pos_; read_ident("ull"); break;
      case 't': ++pos_; read_ident("rue"); break;
      case 'f': ++pos_; read_ident("alse"); break;
      case '"': skip_str(); break;
      case '[':
      case '{':
        ++pos_;
        frame = static_cast<char>(c);
        accept_comma = false;
        break;
      default:
        if (c != '-' && !is_digit(c)) fail_peek("expected value");
        skip_number();
    }
    if (frame == 0) {
      if (open_brackets.empty()) return;
      frame = open_brackets.back();
      open_brackets.pop_back();
    }
    // Close every bracket that ends here; stop after a comma or before a first element.
    for (;;) {
      c = peek_token();
      if (c < 0) fail_peek(frame == '[' ? kEofList : kEofObject);
      if (c == ',' && accept_comma) {
        ++pos_;
        break;
      }
      if ((c == ']' && frame == '[') || (c == '}' && frame == '{')) {
        ++pos_;
        if (open_brackets.empty()) return;
        frame = open_brackets.back();
        open_brackets.pop_back();
        accept_comma = true;
        continue;
      }
      if (accept_comma) fail_peek(frame == '[' ? kExpectedListEnd : kExpectedObjectEnd);
      break;
    }
    if (frame == '{') {
      c = peek_token();
      if (c < 0) fail_peek(kEofObject);
      if (c != '"') fail_peek(kKeyMustBeString);
      skip_str();
      colon();
    }
    open_brackets += frame;
  }
}

// A skipped number is checked for its form only.
void Reader::skip_number() {
  const std::size_t n = text_.size();
  const char* p = text_.data();
  if (p[pos_] == '-') ++pos_;
  char first = pos_ < n ? p[pos_] : '\0';
  if (pos_ < n) ++pos_;
  if (first == '0') {
    if (pos_ < n && is_digit(p[pos_])) fail_peek(kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    while (pos_ < n && is_digit(p[pos_])) ++pos_;
  } else {
    fail_here(kInvalidNumber);
  }
  if (pos_ < n && p[pos_] == '.') {
    std::size_t digits = ++pos_;
    while (pos_ < n && is_digit(p[pos_])) ++pos_;
    if (pos_ == digits) fail_peek(kInvalidNumber);
  }
  if (pos_ < n && (p[pos_] == 'e' || p[pos_] == 'E')) {
    ++pos_;
    if (pos_ < n && (p[pos_] == '+' || p[pos_] == '-')) ++pos_;
    char d = pos_ < n ? p[pos_] : '\0';
    if (pos_ < n) ++pos_;
    if (!is_digit(d)) fail_here(kInvalidNumber);
    while (pos_ < n && is_digit(p[pos_])) ++pos_;
  }
}

// --- member readers ---

void Reader::not_a_string(int c) {
  if (c < 0) fail_peek(kEofValue);
  invalid_type("a string");
}

bool Reader::read_null() {
  if (peek_token() != 'n') return false;
  ++pos_;
  read_ident("ull");
  return true;
}

double Reader::read_f64() {
  int c = peek_token();
  if (c < 0) fail_peek(kEofValue);
  if (c != '-' && !is_digit(c)) invalid_type("f64");
  Number number = read_number();
  switch (number.cls) {
    case NumberClass::Unsigned: return static_cast<double>(number.u);
    case NumberClass::Negative: return static_cast<double>(number.i);
    case NumberClass::Float: break;
  }
  return number.f;
}

std::int64_t Reader::read_i64() {
  int c = peek_token();
  if (c < 0) fail_peek(kEofValue);
  if (c != '-' && !is_digit(c)) invalid_type("i64");
  Number number = read_number();
  switch (number.cls) {
    case NumberClass::Unsigned:
      if (number.u > static_cast<std::uint64_t>(INT64_MAX))
        fail_here("invalid value: " + describe(number) + ", expected i64");
      return static_cast<std::int64_t>(number.u);
    case NumberClass::Negative: return number.i;
    case NumberClass::Float: break;
  }
  fail_here("invalid type: " + describe(number) + ", expected i64");
}

}  // namespace vel::json
