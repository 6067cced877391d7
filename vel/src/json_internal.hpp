// The structural reader's inside, for the record layer built on it and for the tests: the
// steps of reading that the reader's templates take, and the texts its messages give a
// value found.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json_scan.hpp"
#include "vel/json.hpp"

namespace vel::json {

// How messages describe a value found: "null", "boolean `true`", "integer `5`",
// "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string describe(const AnyValue& value);
std::string describe(const Number& number);
// "invalid type: {found}, expected {expected}"
std::string invalid_type_message(std::string_view found, std::string_view expected);

// The reader's private steps, and the readers that records call most, inline over the
// byte level where the public face calls out of line.
struct Inside {
  // At '"': the string's decoded text; the view lasts until the next string is read.
  [[gnu::always_inline]] static std::string_view str(Reader& in) {
    return scan::read_str(in.text_, in.pos_, in.scratch_);
  }
  // At '"': takes the string `name` and its closing quote when they stand next.
  [[gnu::always_inline]] static bool take_name(Reader& in, std::string_view name) {
    return scan::take_name(in.text_, in.pos_, name);
  }
  // At '-' or a digit: as `Reader::read_number`, small plain integers taken without the
  // general grammar.
  [[gnu::always_inline]] static Number number(Reader& in) {
    if (std::uint64_t small; scan::small_integer(in.text_, in.pos_, small))
      return Number{NumberClass::Unsigned, small};
    return in.read_number();
  }
  // A text member: white space first, then a string's decoded text, expecting "a string".
  [[gnu::always_inline]] static std::string_view text(Reader& in) {
    int c = in.peek_token();
    if (c != '"') in.not_a_string(c);
    return str(in);
  }

  [[gnu::always_inline]] static void open(Reader& in) { in.open(); }
  [[gnu::always_inline]] static void close(Reader& in) { in.close(); }
  [[gnu::always_inline]] static void colon(Reader& in) { in.colon(); }
  // Past the byte that `peek_token` gave.
  [[gnu::always_inline]] static void step(Reader& in) { ++in.pos_; }
  static void settle_list(Reader& in) { in.settle_list(); }
  static void settle_object(Reader& in) { in.settle_object(); }
  template <class F>
  [[gnu::always_inline]] static void object_members(Reader& in, F&& member) {
    in.read_object_members(member);
  }
  [[noreturn]] static void invalid_type(Reader& in, std::string_view expected) {
    in.invalid_type(expected);
  }
};

}  // namespace vel::json
