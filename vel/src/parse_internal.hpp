// The parser's internals: the tokenizer, the token cursor and the readers behind `parse`.
// Private to the library; the parser's tests include it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vel/ast.hpp"
#include "vel/parse.hpp"

namespace vel {

// The readers behind `parse`, open for tests. Tokens are views into the source text, which
// must outlive the `Stream` that serves them.
namespace parser {

// Nesting depth from which a literal list stops the call instead of exhausting the stack.
inline constexpr std::size_t kMaxListDepth = 256;

// Splits the whole source into tokens in one pass; never fails on valid UTF-8.
std::vector<std::string_view> tokenize(std::string_view source);

// A token of at least two bytes that begins with "//".
bool is_comment(std::string_view token);

// The token cursor: serves the tokens in order, moving the comment tokens that it passes
// into `pending_comments` until some construct takes them.
struct Stream {
  std::vector<std::string_view> tokens;
  std::vector<std::string_view> pending_comments;
  std::size_t pos = 0;

  explicit Stream(std::vector<std::string_view> toks) : tokens(std::move(toks)) {}

  void skip_comments();
  // The token at the cursor without taking it; nothing at the end of the tokens.
  std::optional<std::string_view> peek();
  // Whether `peek` shows exactly `text`.
  bool peek_is(std::string_view text);
  // Takes the token at the cursor; at the end of the tokens it stops the call.
  std::string_view next();
  // Takes the next token and stops the call unless it is exactly `text`.
  void expect(std::string_view text);
  // Hands over the pending comment lines and leaves none pending.
  std::vector<std::string> take_comments();
};

// The positional items and the keyword items of one bracket or paren list.
struct Delimited {
  std::vector<Atom> positional;
  OrderedMap<Atom> keywords;
};

Function parse_fn(Stream& s);
Op parse_op(Stream& s);
Delimited parse_delimited(Stream& s, std::string_view open, std::string_view close);
TensorType parse_type(Stream& s);
Atom parse_atom(std::string_view token);
LiteralValue parse_literal_scalar(Stream& s);
LiteralValue parse_list_literal(Stream& s);

}  // namespace parser
}  // namespace vel
