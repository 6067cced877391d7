// The JSON text rules shared by every JSON input and output of the system: a compact
// writer, and the error that a reader gives (a message with a line and a column).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vel::json {

// A reading error. It ends the whole reading; the binding turns it into the call's failure
// message with `unwrap_message`.
struct JsonError {
  std::string message;
  std::size_t line;
  std::size_t column;
};

// "called `Result::unwrap()` on an `Err` value: Error(\"...\", line: L, column: C)"
std::string unwrap_message(const JsonError& error);

// --- writing: every function appends to `out` and cannot fail ---

// A text as a JSON string, escaping what JSON requires and nothing else.
void write_string(std::string& out, std::string_view text);
void write_int(std::string& out, std::int64_t value);
void write_uint(std::string& out, std::uint64_t value);
// A finite float in JSON float text: shortest round-trip digits, positional for decimal
// exponents -5 to 15 ("100.0", "0.00001"), otherwise "1e+16", "1.5e-7".
void write_float(std::string& out, double value);
std::string float_text(double value);

}  // namespace vel::json
