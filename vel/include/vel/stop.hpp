// A stop ends the whole call with one message. It is thrown anywhere in the language
// library and caught only at the binding boundary, which reports it and raises it in
// Python.
#pragma once

#include <source_location>
#include <string>

namespace vel {

struct Stop {
  std::string message;
  std::source_location where;
};

[[noreturn]] inline void stop(std::string message,
                              std::source_location where = std::source_location::current()) {
  throw Stop{std::move(message), where};
}

// Fixed texts shared by several passes.
inline constexpr std::string_view kUnwrapErr = "called `Result::unwrap()` on an `Err` value";
inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view kNoEntry = "no entry found for key";

}  // namespace vel
