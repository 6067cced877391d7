// Small builders and runners shared by the parser's tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "builders.hpp"
#include "parse_internal.hpp"
#include "vel/file.hpp"
#include "vel/parse.hpp"
#include "vel/stop.hpp"

namespace vel::testing_parse {

using namespace vel::test;

// The messages of a number that does not read, and the prefix of those of a file that does
// not read.
inline const std::string kUnwrap = "called `Result::unwrap()` on an `Err` value: ";
inline const std::string kFloatFault = kUnwrap + "ParseFloatError { kind: Invalid }";
inline std::string int_fault(const std::string& kind) {
  return kUnwrap + "ParseIntError { kind: " + kind + " }";
}

// The message of the stop that `run` ends with, or "<no stop>".
inline std::string stop_message(const std::function<void()>& run) {
  try {
    run();
  } catch (const Stop& s) { return s.message; }
  return "<no stop>";
}

inline std::string parse_message(const std::string& source) {
  return stop_message([&] { parse(source); });
}

// A parser over `source`, which must outlive it (hence no temporaries).
inline parser::Parser parser_of(const std::string& source) { return parser::Parser(source); }
parser::Parser parser_of(std::string&&) = delete;

// The texts of the tokens of `source`, in order.
inline std::vector<std::string> token_texts(std::string_view source) {
  std::vector<std::string> texts;
  for (parser::Token t : parser::tokenize(source))
    texts.emplace_back(source.substr(t.offset, t.length));
  return texts;
}

// The text of the token at the cursor, or "<end>" past the last token.
inline std::string peek_text(parser::Stream& s) {
  if (s.peek() == parser::TokenKind::End) return "<end>";
  return std::string(s.text(s.current));
}

// The operations of a function whose body is `body`.
inline std::vector<Op> ops_of(const std::string& body) {
  Module m = parse("f() -> () {\n" + body + "\n}\n");
  return m.functions.at("f").ops;
}

inline Op op_of(const std::string& line) {
  std::vector<Op> ops = ops_of(line);
  if (ops.size() != 1) throw std::runtime_error("expected one operation: " + line);
  return ops[0];
}

inline std::string op_message(const std::string& line) {
  return parse_message("f() -> () {\n" + line + "\n}\n");
}

}  // namespace vel::testing_parse
