// Text forms at the bottom of the library: the diagnostic form in which messages show a
// text, the shortest digits of a float, integer texts, the bounds messages, and (from
// hash.hpp) the hash of texts for maps. Nothing here knows the syntax tree or JSON.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vel/hash.hpp"

namespace vel {

// A text in double quotes with the escapes of a debug rendering: \" \\ \t \r \n \0, and
// \u{..} for what is not printable or extends a grapheme.
void append_debug_str(std::string& out, std::string_view text);
std::string debug_str(std::string_view text);

// Decimal integer texts, appended to a std::string or to anything that takes a
// std::string_view through +=.
template <class Out>
void append_int(Out& out, std::int64_t value) {
  char buf[24];
  const char* end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out += std::string_view(buf, static_cast<std::size_t>(end - buf));
}
template <class Out>
void append_uint(Out& out, std::uint64_t value) {
  char buf[24];
  const char* end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  out += std::string_view(buf, static_cast<std::size_t>(end - buf));
}

// The fewest significant digits that read back as a finite `value`, the nearest such string
// among them, and the decimal exponent of the first: value = d.ddd × 10^exponent.
struct ShortestDecimal {
  bool negative;
  int count;
  int exponent;
  char digits[24];
};
// Which of two such strings is taken when both lie equally near the value (its exact
// expansion ends in a 5 right after them): the one whose last digit is even, or the one of
// larger magnitude.
enum class Tie : std::uint8_t { Even, Larger };
ShortestDecimal shortest_decimal(double value, Tie tie);

// "index out of bounds: the len is {} but the index is {}"
std::string bounds_message(std::size_t len, std::size_t index);
// The bounds message of the first item of an empty list: what an operation without outputs
// stops with where its first output is taken.
std::string first_of_empty_message();
// What a record's list of more elements than it can count stops with.
std::string list_too_long_message(std::size_t count);

}  // namespace vel
