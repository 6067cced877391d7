#include "vel/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "json_internal.hpp"
#include "vel/interrupt.hpp"
#include "vel/stop.hpp"

namespace vel::json {

std::string unwrap_message(const JsonError& error) {
  std::string shown = "Error(";
  append_debug_str(shown, error.message);
  shown +=
      ", line: " + std::to_string(error.line) + ", column: " + std::to_string(error.column) + ")";
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
      t[0] = '\\';
      t[1] = 'u';
      t[2] = '0';
      t[3] = '0';
      t[4] = hex[b >> 4];
      t[5] = hex[b & 15];
    }
    auto set2 = [this](int b, char c) {
      text[b][0] = '\\';
      text[b][1] = c;
      text[b][2] = 0;
    };
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
  poll_if_long(text.size());
  out += '"';
  write_string_body(out, text);
  out += '"';
}

void write_string_body(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (;;) {
    // Runs that need no escape are copied whole.
    std::size_t i = scan::plain_end(text.data(), start, text.size());
    out.append(text.data() + start, i - start);
    if (i == text.size()) break;
    out += kEscapes.text[static_cast<unsigned char>(text[i])];
    start = i + 1;
  }
}

std::size_t string_body_size(std::string_view text) {
  std::size_t size = text.size(), start = 0;
  for (;;) {
    std::size_t i = scan::plain_end(text.data(), start, text.size());
    if (i == text.size()) return size;
    size += std::char_traits<char>::length(kEscapes.text[static_cast<unsigned char>(text[i])]) - 1;
    start = i + 1;
  }
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
  while (line_to < message.size() && scan::is_digit(message[line_to])) ++line_to;
  if (std::string_view(message).substr(line_to, col.size()) != col) return false;
  std::size_t col_from = line_to + col.size(), col_to = col_from;
  while (col_to < message.size() && scan::is_digit(message[col_to])) ++col_to;
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

std::string invalid_type_message(std::string_view found, std::string_view expected) {
  return "invalid type: " + std::string(found) + ", expected " + std::string(expected);
}

void Reader::fail_at(std::size_t p, std::string_view message) const {
  scan::fail_at(text_, p, message);
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

// --- values ---

std::string Reader::read_key() { return std::string(Inside::str(*this)); }

Number Reader::read_number() { return scan::read_number(text_, pos_); }

void Reader::read_ident(std::string_view rest) { scan::read_ident(text_, pos_, rest); }

// Iterative, with a stack of the open brackets, so that any depth is walked without
// recursion; only a value that is read counts against the nesting allowance. A read value
// is checked as strictly as its reader would; a skipped one leniently, as its own errors
// below say.
template <Reader::Mode M>
void Reader::walk(AnyValue* top) {
  constexpr bool kRead = M == Mode::Read;
  std::string frames;  // the brackets open around the value next
  for (;;) {
    poll_interrupt();
    int c = peek_token();
    if (c < 0) fail_peek(kEofValue);
    AnyValue* value = frames.empty() ? top : nullptr;
    AnyValue ignored;
    AnyValue& v = value ? *value : ignored;
    switch (c) {
      case 'n':
        ++pos_;
        read_ident("ull");
        v.kind = AnyValue::Kind::Null;
        break;
      case 't':
        ++pos_;
        read_ident("rue");
        v.kind = AnyValue::Kind::Bool;
        v.boolean = true;
        break;
      case 'f':
        ++pos_;
        read_ident("alse");
        v.kind = AnyValue::Kind::Bool;
        break;
      case '"':
        v.kind = AnyValue::Kind::String;
        if constexpr (kRead) {
          std::string_view text = Inside::str(*this);
          if (value) v.text = text;
        } else {
          scan::skip_str(text_, pos_);
        }
        break;
      case '[':
      case '{':
        v.kind = c == '[' ? AnyValue::Kind::Array : AnyValue::Kind::Object;
        if constexpr (kRead)
          open();
        else
          ++pos_;
        frames += static_cast<char>(c);
        break;
      default:
        if (!scan::starts_number(c)) fail_peek("expected value");
        v.kind = AnyValue::Kind::Number;
        if constexpr (kRead)
          v.number = read_number();
        else
          scan::skip_number(text_, pos_);
    }
    // Close every bracket that ends here; stop after a comma or before a first item.
    bool opened = c == '[' || c == '{';
    for (;;) {
      if (frames.empty()) return;
      const bool list = frames.back() == '[';
      const char end = list ? ']' : '}';
      c = peek_token();
      if (c < 0) fail_peek(list ? kEofList : kEofObject);
      if (c == end) {
        if constexpr (kRead)
          close();
        else
          ++pos_;
        frames.pop_back();
        opened = false;
        continue;
      }
      if (!opened) {
        if (c != ',') fail_peek(list ? kExpectedListEnd : kExpectedObjectEnd);
        ++pos_;
        // A skipped value finds out at the next item what stands after its comma.
        if constexpr (kRead) {
          c = peek_token();
          if (c < 0) fail_peek(kEofValue);
          if (c == end) fail_peek(kTrailingComma);
        }
      }
      break;
    }
    if (frames.back() == '{') {
      c = peek_token();
      if (c < 0) fail_peek(kEofObject);
      if (c != '"') fail_peek(kKeyMustBeString);
      if constexpr (kRead)
        Inside::str(*this);
      else
        scan::skip_str(text_, pos_);
      colon();
    }
  }
}

AnyValue Reader::read_any() {
  AnyValue value;
  walk<Mode::Read>(&value);
  return value;
}

void Reader::skip_value() { walk<Mode::Skip>(nullptr); }

void Reader::invalid_type(std::string_view expected) {
  std::string found;
  switch (peek_token()) {
    case '[': found = "sequence"; break;
    case '{': found = "map"; break;
    default: found = describe(read_any());
  }
  fail_here(invalid_type_message(found, expected));
}

// --- member readers ---

void Reader::not_a_string(int c) {
  if (c < 0) fail_peek(kEofValue);
  invalid_type("a string");
}

std::string Reader::read_string() { return std::string(Inside::text(*this)); }

double Reader::read_f64() {
  int c = peek_token();
  if (c < 0) fail_peek(kEofValue);
  if (!scan::starts_number(c)) invalid_type("f64");
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
  if (!scan::starts_number(c)) invalid_type("i64");
  Number number = read_number();
  switch (number.cls) {
    case NumberClass::Unsigned:
      if (number.u > static_cast<std::uint64_t>(INT64_MAX))
        fail_here("invalid value: " + describe(number) + ", expected i64");
      return static_cast<std::int64_t>(number.u);
    case NumberClass::Negative: return number.i;
    case NumberClass::Float: break;
  }
  fail_here(invalid_type_message(describe(number), "i64"));
}

}  // namespace vel::json
