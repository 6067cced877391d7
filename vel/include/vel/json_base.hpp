// What every level of JSON reading shares, from the byte level up: the error that ends a
// reading, the number that a scan gives, and the one syntax text that both levels raise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vel::json {

// A reading error. It ends the whole reading; the binding turns it into the call's failure
// message with `unwrap_message` (vel/json.hpp).
struct JsonError {
  std::string message;
  std::size_t line;
  std::size_t column;
};

// The class of a number, decided by its text alone.
enum class NumberClass : std::uint8_t {
  Unsigned,  // no sign, fraction or exponent, below 2^64
  Negative,  // a minus sign, no fraction or exponent, from -2^63 to -1
  Float,     // everything else, "-0" included
};

struct Number {
  NumberClass cls = NumberClass::Unsigned;
  std::uint64_t u = 0;  // Unsigned
  std::int64_t i = 0;   // Negative
  double f = 0;         // Float
};

// The number as the nearest 64-bit float, whatever its class.
inline double as_f64(const Number& n) {
  switch (n.cls) {
    case NumberClass::Unsigned: return static_cast<double>(n.u);
    case NumberClass::Negative: return static_cast<double>(n.i);
    case NumberClass::Float: break;
  }
  return n.f;
}

inline constexpr std::string_view kEofValue = "EOF while parsing a value";

}  // namespace vel::json
