// The parser's internals: the tokenizer, the token cursor and the readers behind `parse`.
// Private to the library; the parser's tests include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vel/ast.hpp"
#include "vel/json.hpp"
#include "vel/parse.hpp"

namespace vel {

// The readers behind `parse`, open for tests. Tokens are places in the source text, which
// must outlive the `Parser` that reads them.
namespace parser {

// The containers of a module's JSON form around a literal's value: the module object, its
// "functions" object, the function object, its "ops" array and the operation's object.
inline constexpr std::size_t kLiteralJsonEnclosure = 5;
// The deepest literal list the parser takes: one whose JSON form, inside a module, still
// fits in the JSON reader's nesting allowance (the reader refuses the container that would
// use up the allowance), so that every module parsed can be read back from its JSON form.
inline constexpr std::size_t kMaxListDepth =
    static_cast<std::size_t>(json::kNestingAllowance) - 1 - kLiteralJsonEnclosure;
// Literal lists are read by recursion, one frame per level.
static_assert(kMaxListDepth <= 256, "a larger JSON allowance would let literals exhaust the stack");

// What a token is, decided once by the tokenizer. Each punctuation byte and the arrow and
// ellipsis have a kind of their own, so the readers compare kinds, not texts.
enum class TokenKind : std::uint8_t {
  Comment,
  Quoted,
  Word,
  Number,
  Arrow,
  Ellipsis,
  LParen,
  RParen,
  Star,
  Plus,
  Comma,
  Minus,
  Slash,
  Colon,
  Equals,
  LBracket,
  RBracket,
  LBrace,
  RBrace,
  End,  // what `peek` shows past the last token; never a token itself
};

// A run of the source: `length` bytes from `offset`.
// Sixteen bytes, so that the scanner hands a token over in two registers; no source that
// memory can hold has a token of 2^56 bytes.
inline constexpr std::uint64_t kTokenLengthMask = (std::uint64_t{1} << 56) - 1;
struct Token {
  std::size_t offset;
  std::uint64_t length : 56;
  TokenKind kind : 8;

  bool operator==(const Token&) const = default;
};

// The text of a kind whose tokens all read alike: "(" for LParen, "->" for Arrow.
std::string_view fixed_text(TokenKind kind);

// The first token that begins at `offset` or after it; past the last one, a token of kind
// End and no length at the end of the source. Never fails on valid UTF-8.
Token scan_token(std::string_view source, std::size_t offset);

// Splits the whole source into tokens, counted first so that the vector takes exactly the
// room they need. The parser itself takes them one by one from `scan_token`.
std::vector<Token> tokenize(std::string_view source);

// The token cursor: serves the tokens in order, scanning each one as the cursor reaches it,
// and moves the comment tokens that it passes into `pending_comments` until some construct
// takes them. No more of the tokens than the one at the cursor is ever held.
struct Stream {
  std::string_view source;
  Token current;        // the token at `pos`; of kind End past the last one
  std::size_t pos = 0;  // how many tokens come before `current`
  std::vector<Token> pending_comments;

  explicit Stream(std::string_view src) : source(src), current(scan_token(src, 0)) {}

  std::string_view text(Token token) const { return source.substr(token.offset, token.length); }

  // The cursor's steps run for every token, so they are inlined wherever they are taken.
  [[gnu::always_inline]] void skip_comments() {
    while (current.kind == TokenKind::Comment) {
      pending_comments.push_back(current);
      advance();
    }
  }
  // The kind of the token at the cursor without taking it; End past the last token.
  [[gnu::always_inline]] TokenKind peek() {
    skip_comments();
    return current.kind;
  }
  // Takes the token at the cursor; at the end of the tokens it stops the call with the
  // bounds message, in which the number of tokens is `pos`.
  [[gnu::always_inline]] Token next_token() {
    skip_comments();
    if (current.kind == TokenKind::End) stop_at_end();
    Token taken = current;
    advance();
    return taken;
  }
  [[gnu::always_inline]] std::string_view next() { return text(next_token()); }
  // Takes the next token and stops the call unless it is of `kind`, which has a fixed text.
  [[gnu::always_inline]] void expect(TokenKind kind) {
    Token got = next_token();
    if (got.kind != kind) stop_expected(kind, got);
  }
  // Hands over the pending comment lines and leaves none pending. Most constructs have
  // none, and take them without a call.
  std::vector<Text> take_comments() {
    if (pending_comments.empty()) return {};
    return take_pending_comments();
  }

  [[noreturn]] void stop_at_end() const;
  [[noreturn]] void stop_expected(TokenKind kind, Token got) const;

 private:
  std::vector<Text> take_pending_comments();
  [[gnu::always_inline]] void advance() {
    current = scan_token(source, current.offset + current.length);
    ++pos;
  }
};

// The bracket list's positional items, sorted by what they can stand for.
struct Bins {
  std::vector<std::int64_t> ints;
  std::vector<double> floats;
  std::string_view pattern;
  std::vector<std::string_view> names;

  std::string_view first_name() const { return names.empty() ? std::string_view() : names[0]; }
};

// Lists that the readers fill and empty again for every construct, so that each record
// gets vectors of exactly its length and the parser allocates nothing else per line (a
// line's own lists are read straight into the record, which holds short ones inside it).
// Readers that may nest (literal lists) work above the length they found, never below.
struct Scratch {
  std::vector<Param> params;
  std::vector<Op> ops;
  std::vector<LiteralValue> literal_items;
  Bins bins;
  // Each longer text of the source once, however many records name it.
  TextTable texts;
};

// The cursor with the readers' scratch lists.
struct Parser {
  Stream cursor;
  Scratch scratch;

  explicit Parser(std::string_view source) : cursor(source) {}
  explicit Parser(Stream&& stream) : cursor(std::move(stream)) {}
};

// The positional items and the keyword items of one bracket or paren list.
struct Delimited {
  std::vector<Atom> positional;
  OrderedMap<Atom> keywords;
};

Function parse_fn(Parser& p);
// `open` and `close` are LBracket and RBracket, or LParen and RParen.
Delimited parse_delimited(Parser& p, TokenKind open, TokenKind close);
TensorType parse_type(Parser& p);
Atom parse_atom(std::string_view token);
LiteralValue parse_literal_scalar(Parser& p);
LiteralValue parse_list_literal(Parser& p);

}  // namespace parser
}  // namespace vel
