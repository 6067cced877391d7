// The JSON text rules shared by every JSON input and output of the system: a compact
// writer, and a structural reader (documents, arrays, maps, values, numbers) whose errors
// carry a line and a column. Records are read by a layer of their own over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "vel/interrupt.hpp"
#include "vel/json_base.hpp"
#include "vel/text.hpp"

namespace vel::json {

// "called `Result::unwrap()` on an `Err` value: Error(\"...\", line: L, column: C)"
std::string unwrap_message(const JsonError& error);

// --- writing: every function appends to `out` and cannot fail ---

// A text as a JSON string, escaping what JSON requires and nothing else.
void write_string(std::string& out, std::string_view text);
// The same without the quotes, for a string written in pieces; and its length so written.
void write_string_body(std::string& out, std::string_view text);
std::size_t string_body_size(std::string_view text);
// A list (or sorted set) of texts as a JSON array of strings.
template <class Texts>
void write_strings(std::string& out, const Texts& texts) {
  out += '[';
  bool first = true;
  for (std::string_view text : texts) {
    if (!first) out += ',';
    first = false;
    write_string(out, text);
  }
  out += ']';
}
// A finite float in JSON float text: shortest round-trip digits, positional for decimal
// exponents -5 to 15 ("100.0", "0.00001"), otherwise "1e+16", "1.5e-7".
void write_float(std::string& out, double value);

std::string float_text(double value);

// --- reading ---
//
// One streaming reader over a UTF-8 text: values are converted as they are met, and no
// document tree is built. Every failure throws `JsonError` (or `Unplaced`, below), and the
// first error met in document order ends the whole reading.

// An error raised by a reader that has no position of its own (a missing field, a value
// that no untagged variant accepts). The innermost list, map or record being read catches
// it, looks for its own end, and throws it on as a `JsonError` at the offset reached: the
// position goes from there to the message shown as numbers.
struct Unplaced {
  std::string message;
};

// A whole value read and checked, keeping only what the untagged readers look at: the
// scalar itself, and for an array or an object only that it was one.
struct AnyValue {
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  Number number;
  std::string text;  // decoded
};

// What the next value is, judged by its first byte; `Other` is null, true, false, a byte
// that starts no value, or the end of the text, which `read_any` reads or reports.
enum class Next : std::uint8_t { String, Number, Array, Object, Other };

// Syntax error texts that the structural readers below raise, besides `kEofValue`.
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kExpectedListEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";

inline constexpr int kNestingAllowance = 128;

class Reader {
 public:
  // The text must be valid UTF-8 (a Python `str` always is).
  explicit Reader(std::string_view text) : text_(text) {}

  std::string_view text() const { return text_; }
  std::size_t offset() const { return pos_; }

  // Skips white space; returns the next byte, or -1 at the end of the text.
  [[gnu::always_inline]] int peek_token() {
    while (pos_ < text_.size()) {
      unsigned char b = static_cast<unsigned char>(text_[pos_]);
      if (b > ' ' || (b != ' ' && b != '\n' && b != '\t' && b != '\r')) return b;
      ++pos_;
    }
    return -1;
  }
  // Skips white space; what the value there starts as.
  [[gnu::always_inline]] Next next() {
    switch (peek_token()) {
      case '"': return Next::String;
      case '[': return Next::Array;
      case '{': return Next::Object;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9': return Next::Number;
      default: return Next::Other;
    }
  }

  // After the document's value only white space may stand.
  void expect_end();

  // --- errors ---
  // At byte offset p: line and column name the byte before p.
  [[noreturn]] void fail_at(std::size_t p, std::string_view message) const;
  // Just after the byte most recently consumed.
  [[noreturn]] void fail_here(std::string_view message) const { fail_at(pos_, message); }
  // Just after the byte that stands next (at the end of the text when none does).
  [[noreturn]] void fail_peek(std::string_view message) const;
  // A message that quotes the document's own text, made as the JSON library makes custom
  // messages: a trailing " at line N column M" (N not 0) is cut off and gives the
  // position; without one the error is `Unplaced`. A reader's fixed messages carry no such
  // text and are thrown as `Unplaced` at once.
  [[noreturn]] static void custom(std::string message);

  // --- values ---
  Number read_number();  // at '-' or a digit
  AnyValue read_any();   // any value, checked whole (nesting applies)
  void skip_value();     // any value, checked and dropped (no nesting limit)

  // --- member readers: white space first, then a value of the member's type ---
  std::string read_string();  // expecting "a string"
  double read_f64();          // any number, expecting "f64"
  std::int64_t read_i64();    // an integer within the signed 64-bit range, "i64"
  // Consumes a null that stands next.
  [[gnu::always_inline]] bool read_null() {
    if (peek_token() != 'n') return false;
    ++pos_;
    read_ident("ull");
    return true;
  }

  // At '[': the elements, each read by `element()`, with the list's comma rules.
  template <class F>
  void read_array(F&& element);
  // A list member, expecting "a sequence".
  template <class F>
  void read_list(F&& element);
  // A map member, expecting "a map": `member(std::string key)` reads each value.
  template <class F>
  void read_map(F&& member);

 private:
  // The layers over this reader take the steps below, and read strings and small integers
  // inline, through `Inside` (vel/src/json_internal.hpp), which the public face leaves out.
  friend struct Inside;

  // "invalid type: {found}, expected {expected}" for the value that stands next (not
  // the end of the text): a scalar is read first and the error placed after it, an
  // array or object is placed before its bracket. A malformed value gives its own error.
  [[noreturn]] void invalid_type(std::string_view expected);
  [[noreturn]] void not_a_string(int c);
  // White space, then the bracket that opens a member of the type `expected`.
  void expect_open(char bracket, std::string_view expected) {
    int c = peek_token();
    if (c < 0) fail_peek(kEofValue);
    if (c != bracket) invalid_type(expected);
  }
  // At '"': a map's key.
  std::string read_key();
  void read_ident(std::string_view rest);  // the rest of null, true or false

  // Every array and object that is read takes one level of nesting.
  [[gnu::always_inline]] void open() {  // at '[' or '{'
    if (--depth_ == 0) fail_peek("recursion limit exceeded");
    ++pos_;
  }
  [[gnu::always_inline]] void close() {  // at ']' or '}'
    ++depth_;
    ++pos_;
  }
  // Any value, read (`Read`, as `read_any`) or skipped (`Skip`, as `skip_value`); `top`
  // receives the value when it is a scalar.
  enum class Mode : std::uint8_t { Read, Skip };
  template <Mode M>
  void walk(AnyValue* top);
  [[gnu::always_inline]] void colon() {  // compact text has it right after the name
    if (pos_ < text_.size() && text_[pos_] == ':')
      ++pos_;
    else
      colon_after_space();
  }
  void colon_after_space();
  // Where a reader that gives up stands: after its closing bracket, or for a list after
  // a comma and the white space behind it.
  void settle_list();
  void settle_object();
  // Members in document order; `member()` is called at each member's name.
  template <class F>
  void read_object_members(F&& member);
  // The byte that starts the next item of an array or object, after the comma that must
  // stand before every item but the first; `close` when the items end.
  [[gnu::always_inline]] int item_start(bool first, char close, std::string_view eof,
                                        std::string_view expected_end) {
    poll_interrupt();
    int c = peek_token();
    if (c < 0) fail_peek(eof);
    if (c == close || first) return c;
    if (c != ',') fail_peek(expected_end);
    ++pos_;
    c = peek_token();
    if (c < 0) fail_peek(kEofValue);
    if (c == close) fail_peek(kTrailingComma);
    return c;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = kNestingAllowance;
  std::string scratch_;
};

template <class F>
void Reader::read_array(F&& element) {
  open();
  try {
    for (bool first = true;; first = false) {
      if (item_start(first, ']', kEofList, kExpectedListEnd) == ']') break;
      element();
    }
  } catch (Unplaced& e) {
    settle_list();
    fail_here(e.message);
  }
  close();
}

template <class F>
void Reader::read_list(F&& element) {
  expect_open('[', "a sequence");
  read_array(element);
}

template <class F>
void Reader::read_object_members(F&& member) {
  for (bool first = true;; first = false) {
    int c = item_start(first, '}', kEofObject, kExpectedObjectEnd);
    if (c == '}') return;
    if (c != '"') fail_peek(kKeyMustBeString);
    member();
  }
}

template <class F>
void Reader::read_map(F&& member) {
  expect_open('{', "a map");
  open();
  try {
    read_object_members([&] {
      std::string key = read_key();
      colon();
      member(std::move(key));
    });
  } catch (Unplaced& e) {
    settle_object();
    fail_here(e.message);
  }
  close();
}

// Reads one whole document: `read_value(reader)` reads the value, then only white space
// may follow.
template <class F>
auto read_document(std::string_view text, F&& read_value) {
  Reader reader(text);
  try {
    auto value = read_value(reader);
    reader.expect_end();
    return value;
  } catch (Unplaced& e) { reader.fail_here(e.message); }
}

}  // namespace vel::json
