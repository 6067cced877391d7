// The parser: vel source text, or a file read whole, to a `Module`. It stops the call at
// the first error with one message.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vel/ast.hpp"

namespace vel {

// Why a file could not be read whole as UTF-8 text. One value, two renderings: the
// parser shows its debug form, the configuration reader its display form.
struct ReadError {
  enum class Kind { Os, InvalidData, InvalidInput };
  Kind kind;
  int code = 0;  // the errno, for Kind::Os
};

// Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string debug_read_error(const ReadError& error);
// No such file or directory (os error 2)
std::string display_read_error(const ReadError& error);

// Reads the file at `path` (unchanged; relative to the working directory) whole into
// `text`, or gives the reason it could not.
std::optional<ReadError> read_text_file(std::string_view path, std::string& text);

// `source` must be valid UTF-8 (every Python str is; `parse_file` checks the file's bytes).
Module parse(std::string_view source);
// Reads the file whole, then parses it; a file that cannot be read stops the call with
// kUnwrapErr, ": " and the debug form of the read error.
Module parse_file(std::string_view path);

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
