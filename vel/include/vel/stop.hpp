// A stop ends the whole call with one message. It is thrown anywhere in the language
// library and caught only at the binding boundary, which reports it and raises it in
// Python.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace vel {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
// clang 14 with libstdc++ 12 has no std::source_location; the compiler's builtins give the
// same three facts that a failure report shows.
class SourceLocation {
 public:
  static constexpr SourceLocation current(
      const char* file = __builtin_FILE(), std::uint_least32_t line = __builtin_LINE(),
      std::uint_least32_t column = __builtin_COLUMN()) noexcept {
    SourceLocation where;
    where.file_ = file;
    where.line_ = line;
    where.column_ = column;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return column_; }

 private:
  const char* file_ = "";
  std::uint_least32_t line_ = 0;
  std::uint_least32_t column_ = 0;
};
#endif

struct Stop {
  std::string message;
  SourceLocation where;
};

[[noreturn]] inline void stop(std::string message,
                              SourceLocation where = SourceLocation::current()) {
  throw Stop{std::move(message), where};
}

// Ends a call that an interruption check (interrupt.hpp) asked to end. It carries nothing: the
// one who gave the check knows why, e.g. the binding has a Python exception set already.
struct Interrupted {};

// Fixed texts shared by several passes.
inline constexpr std::string_view kUnwrapErr = "called `Result::unwrap()` on an `Err` value";
inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view kNoEntry = "no entry found for key";

// The message of a result unwrapped while it holds an error: kUnwrapErr, ": " and the error
// as shown.
inline std::string unwrap_err_message(std::string_view shown) {
  std::string message(kUnwrapErr);
  message += ": ";
  message += shown;
  return message;
}

}  // namespace vel
