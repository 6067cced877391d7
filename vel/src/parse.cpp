#include "parse_internal.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

#include "number_scan.hpp"
#include "vel/ascii.hpp"
#include "vel/file.hpp"
#include "vel/interrupt.hpp"
#include "vel/numeric.hpp"
#include "vel/stop.hpp"
#include "vel/text.hpp"

namespace vel {

// ---------------------------------------------------------------------------------------
// Tokens and the token cursor

namespace parser {
namespace {

constexpr std::string_view kEmptyQuoteSlice = "byte range starts at 1 but ends at 0";

using ascii::is_digit;
using ascii::is_letter;
using number_scan::digits_end;

// What the byte at a position starts; the tokenizer's decisions in table form.
enum class Lead : std::uint8_t { Skip, Quote, Slash, Minus, Dot, Digit, Word, Punct };

struct ByteClasses {
  std::array<Lead, 256> lead{};
  std::array<TokenKind, 256> punct{};
  std::array<bool, 256> word{};  // letters, digits, "_" and "."
};

constexpr ByteClasses make_byte_classes() {
  ByteClasses t;
  t.lead['"'] = Lead::Quote;
  t.lead['/'] = Lead::Slash;
  t.lead['-'] = Lead::Minus;
  t.lead['.'] = Lead::Dot;
  for (int c = '0'; c <= '9'; ++c) t.lead[c] = Lead::Digit;
  for (int c = 'a'; c <= 'z'; ++c) t.lead[c] = Lead::Word;
  for (int c = 'A'; c <= 'Z'; ++c) t.lead[c] = Lead::Word;
  t.lead['_'] = Lead::Word;
  const std::pair<unsigned char, TokenKind> punct[] = {
      {'(', TokenKind::LParen}, {')', TokenKind::RParen},   {'*', TokenKind::Star},
      {'+', TokenKind::Plus},   {',', TokenKind::Comma},    {':', TokenKind::Colon},
      {'=', TokenKind::Equals}, {'[', TokenKind::LBracket}, {']', TokenKind::RBracket},
      {'{', TokenKind::LBrace}, {'}', TokenKind::RBrace},
  };
  for (auto [c, kind] : punct) {
    t.lead[c] = Lead::Punct;
    t.punct[c] = kind;
  }
  for (int c = 0; c < 256; ++c)
    t.word[c] = t.lead[c] == Lead::Digit || t.lead[c] == Lead::Word || c == '.';
  return t;
}

constexpr ByteClasses kBytes = make_byte_classes();

// A run of bytes is scanned a piece at a time, with a poll between pieces, so that a token
// or a gap of hundreds of megabytes stays interruptible.
constexpr auto kScanPiece = static_cast<std::ptrdiff_t>(kLongTextBytes);

// The run that goes on past its first piece: a poll between pieces, and one for the whole
// run at its end, which the passes after the scan (a copy, a hash, a search) read again.
template <class Scan>
[[gnu::noinline]] const char* long_run(const char* from, const char* p, const char* end,
                                       Scan scan) {
  for (;;) {
    poll_interrupt_bytes(kScanPiece);
    const char* stop = end - p > kScanPiece ? p + kScanPiece : end;
    p = scan(p, stop);
    if (p < stop || stop == end) break;
  }
  poll_interrupt_bytes(static_cast<std::size_t>(p - from));
  return p;
}

// `scan(p, stop)` gives the end of the run from `p` within [p, stop); the run may go on past
// a piece's end. The first piece is the whole of nearly every run.
template <class Scan>
[[gnu::always_inline]] inline const char* run_in_pieces(const char* p, const char* end, Scan scan) {
  const char* stop = end - p > kScanPiece ? p + kScanPiece : end;
  const char* q = scan(p, stop);
  if (q < stop || stop == end) [[likely]]
    return q;
  return long_run(p, q, end, scan);
}

[[gnu::always_inline]] inline const char* digits_run_end(const char* p, const char* end) {
  return run_in_pieces(p, end, [](const char* q, const char* stop) { return digits_end(q, stop); });
}

// The scanner's helpers take the first byte of a token and the end of the source, and
// give the end of the token.
// The end of a number token whose digits start at `p`.
const char* number_end(const char* p, const char* end) {
  p = digits_run_end(p, end);
  if (p < end && *p == '.') p = digits_run_end(p + 1, end);
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    p = digits_run_end(p, end);
  }
  return p;
}

// The end of a quoted token whose opening quote is at `p`; an escaped byte never closes it.
const char* quoted_end(const char* p, const char* end) {
  const char* const open = p++;
  while (p < end) {
    char c = *p;
    if (c == '\\') {
      p = end - p > 1 ? p + 2 : end;
    } else {
      ++p;
      if (c == '"') break;
    }
  }
  poll_if_long(static_cast<std::size_t>(p - open));  // its text is read again
  return p;
}

bool is_word_byte(char c) { return kBytes.word[static_cast<unsigned char>(c)]; }

const char* word_end(const char* p, const char* end) {
  ++p;
  p = run_in_pieces(p, end, [](const char* q, const char* stop) {
    while (q < stop && is_word_byte(*q)) ++q;
    return q;
  });
  if (p < end && *p == '*' && p[-1] == '.') ++p;
  return p;
}

const char* comment_end(const char* p, const char* end) {
  const void* line_feed = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
  const char* stop = line_feed ? static_cast<const char*>(line_feed) : end;
  poll_if_long(static_cast<std::size_t>(stop - p));  // its text is read again
  return stop;
}

Lead lead_of(char c) { return kBytes.lead[static_cast<unsigned char>(c)]; }

}  // namespace

// Words and punctuation, the commonest tokens, are told apart before the other leads.
Token scan_token(std::string_view src, std::size_t offset) {
  const char* const begin = src.data();
  const char* const end = begin + src.size();
  const char* p = begin + offset;
  for (;;) {
    p = run_in_pieces(p, end, [](const char* q, const char* stop) {
      while (q < stop && lead_of(*q) == Lead::Skip) ++q;
      return q;
    });
    if (p == end) return Token{src.size(), 0, TokenKind::End};
    const char* const start = p;
    auto ending_here = [&](TokenKind kind) {
      return Token{static_cast<std::size_t>(start - begin),
                   static_cast<std::uint64_t>(p - start) & kTokenLengthMask, kind};
    };
    const Lead lead = lead_of(*p);
    if (lead == Lead::Word) {
      p = word_end(p, end);
      return ending_here(TokenKind::Word);
    }
    if (lead == Lead::Punct) {
      ++p;
      return ending_here(kBytes.punct[static_cast<unsigned char>(*start)]);
    }
    switch (lead) {
      case Lead::Digit: p = number_end(p, end); return ending_here(TokenKind::Number);
      case Lead::Quote: p = quoted_end(p, end); return ending_here(TokenKind::Quoted);
      case Lead::Slash:
        if (end - p > 1 && p[1] == '/') {
          p = comment_end(p + 2, end);
          return ending_here(TokenKind::Comment);
        }
        ++p;
        return ending_here(TokenKind::Slash);
      case Lead::Minus:
        if (end - p > 1 && p[1] == '>') {
          p += 2;
          return ending_here(TokenKind::Arrow);
        }
        if (end - p > 1 && is_digit(p[1])) {
          p = number_end(p + 1, end);
          return ending_here(TokenKind::Number);
        }
        ++p;
        return ending_here(TokenKind::Minus);
      case Lead::Dot:
        if (end - p > 2 && p[1] == '.' && p[2] == '.') {
          p += 3;
          return ending_here(TokenKind::Ellipsis);
        }
        // A lone point, or a pair of them, makes no token.
        ++p;
        poll_interrupt();
        continue;
      case Lead::Skip:
      case Lead::Word:
      case Lead::Punct: break;
    }
  }
}

std::string_view fixed_text(TokenKind kind) {
  switch (kind) {
    case TokenKind::Arrow: return "->";
    case TokenKind::Ellipsis: return "...";
    case TokenKind::LParen: return "(";
    case TokenKind::RParen: return ")";
    case TokenKind::Star: return "*";
    case TokenKind::Plus: return "+";
    case TokenKind::Comma: return ",";
    case TokenKind::Minus: return "-";
    case TokenKind::Slash: return "/";
    case TokenKind::Colon: return ":";
    case TokenKind::Equals: return "=";
    case TokenKind::LBracket: return "[";
    case TokenKind::RBracket: return "]";
    case TokenKind::LBrace: return "{";
    case TokenKind::RBrace: return "}";
    default: return {};
  }
}

std::vector<Token> tokenize(std::string_view src) {
  auto after = [src](Token t) { return scan_token(src, t.offset + t.length); };
  std::size_t count = 0;
  for (Token t = scan_token(src, 0); t.kind != TokenKind::End; t = after(t)) ++count;
  std::vector<Token> tokens;
  tokens.reserve(count);
  for (Token t = scan_token(src, 0); t.kind != TokenKind::End; t = after(t)) tokens.push_back(t);
  return tokens;
}

std::vector<Text> Stream::take_pending_comments() {
  std::vector<Text> lines;
  lines.reserve(pending_comments.size());
  for (Token comment : pending_comments) lines.emplace_back(text(comment));
  pending_comments.clear();
  return lines;
}

void Stream::stop_at_end() const { stop(bounds_message(pos, pos)); }

void Stream::stop_expected(TokenKind kind, Token got) const {
  stop("Expected " + debug_str(fixed_text(kind)) + ", got " + debug_str(text(got)));
}

// ---------------------------------------------------------------------------------------
// Atoms, types and literal values

namespace {

enum class IntFault { None, InvalidDigit, PosOverflow, NegOverflow };

struct IntRead {
  IntFault fault;
  std::int64_t value;
};

// A signed decimal integer: one optional sign, then digits only. The fault is the first
// one met from left to right, a non-digit being noticed before the overflow it would cause.
IntRead read_int(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    if (text.size() == 1) return {IntFault::InvalidDigit, 0};
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return {IntFault::InvalidDigit, 0};
  std::int64_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) return {IntFault::InvalidDigit, 0};
    int digit = c - '0';
    if (__builtin_mul_overflow(value, 10, &value) ||
        (negative ? __builtin_sub_overflow(value, digit, &value)
                  : __builtin_add_overflow(value, digit, &value)))
      return {negative ? IntFault::NegOverflow : IntFault::PosOverflow, 0};
  }
  return {IntFault::None, value};
}

std::string_view int_fault_word(IntFault fault) {
  switch (fault) {
    case IntFault::InvalidDigit: return "InvalidDigit";
    case IntFault::PosOverflow: return "PosOverflow";
    default: return "NegOverflow";
  }
}

[[noreturn]] void stop_int_fault(IntFault fault) {
  std::string shown = "ParseIntError { kind: ";
  shown += int_fault_word(fault);
  shown += " }";
  stop(unwrap_err_message(shown));
}

[[noreturn]] void stop_float_fault() {
  stop(unwrap_err_message("ParseFloatError { kind: Invalid }"));
}

std::size_t offset_of(const char* p, std::string_view text) {
  return static_cast<std::size_t>(p - text.data());
}

// Where the first "e" or "E" stands, or npos; a long text is searched a piece at a time.
std::size_t first_exponent_mark(std::string_view text) {
  const char* end = text.data() + text.size();
  const char* at = run_in_pieces(text.data(), end, [](const char* q, const char* stop) {
    while (q < stop && (*q | 0x20) != 'e') ++q;
    return q;
  });
  return at == end ? std::string_view::npos : offset_of(at, text);
}

[[gnu::noinline]] bool long_has_float_mark(std::string_view token) {
  poll_long_text(token.size());  // read in several passes
  return token.find('.') != std::string_view::npos ||
         first_exponent_mark(token) != std::string_view::npos;
}

// Whether a token holds a point or an exponent's "e", and so reads as a float.
bool has_float_mark(std::string_view token) {
  if (token.size() >= kLongTextBytes) [[unlikely]]
    return long_has_float_mark(token);
  for (char c : token)
    if (c == '.' || (c | 0x20) == 'e') return true;
  return false;
}

// Whether the text fits the decimal float syntax: an optional sign, digits with at most one
// point and at least one digit, then optionally an exponent with at least one digit.
bool fits_float_syntax(std::string_view text) {
  std::size_t i = 0, n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  bool point = false;
  for (;;) {
    std::size_t run = offset_of(digits_run_end(text.data() + i, text.data() + n), text);
    digits += run - i;
    i = run;
    if (i == n || text[i] != '.' || point) break;
    point = true;
    ++i;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_start = i;
    i = static_cast<std::size_t>(digits_end(text.data() + i, text.data() + n) - text.data());
    if (i == exponent_start) return false;
  }
  return i == n;
}

// Whether a decimal text that the float reader found out of range lies above one in
// magnitude (so overflowed to infinity) rather than below (so underflowed to zero).
bool decimal_exceeds_one(std::string_view text) {
  if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
  std::size_t mantissa_end = first_exponent_mark(text);
  std::int64_t exponent = 0;
  if (mantissa_end != std::string_view::npos) {
    std::string_view digits = text.substr(mantissa_end + 1);
    bool negative = digits[0] == '-';
    if (digits[0] == '+' || digits[0] == '-') digits.remove_prefix(1);
    for (char c : digits) {
      exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
    }
    if (negative) exponent = -exponent;
  }
  return number_scan::overflowed(text.substr(0, mantissa_end), exponent);
}

double read_float(std::string_view text) {
  if (!fits_float_syntax(text)) stop_float_fault();
  std::string_view digits = text[0] == '+' ? text.substr(1) : text;
  double value = 0;
  auto [end, fault] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (fault == std::errc::result_out_of_range) {
    bool negative = text[0] == '-';
    value = decimal_exceeds_one(text) ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
  }
  if (fault != std::errc() || end != digits.data() + digits.size()) stop_float_fault();
  return value;
}

// What a list item or keyword value reads as, before it becomes a record's field: names
// stay views into the source until a record takes them.
struct Value {
  enum class Kind : std::uint8_t { Int, Float, Name };
  Kind kind;
  std::int64_t integer = 0;
  double real = 0;
  std::string_view name;
};

// A token whose first and last bytes are double quotes (a one-byte quote included).
bool enclosed_in_quotes(std::string_view token) {
  return !token.empty() && token.front() == '"' && token.back() == '"';
}

// What `parse_atom` makes of a token, with a name left as a view of the token.
Value read_value(std::string_view token) {
  if (token == "inf")
    return Value{Value::Kind::Float, 0, std::numeric_limits<double>::infinity(), {}};
  if (!is_letter(token[0]) && has_float_mark(token))
    return Value{Value::Kind::Float, 0, read_float(token), {}};
  IntRead read = read_int(token);
  if (read.fault == IntFault::None) return Value{Value::Kind::Int, read.value, 0, {}};
  return Value{Value::Kind::Name, 0, 0, token};
}

// An item or keyword value of a bracket or paren list: the inner text of a quoted token is
// a name as it stands, anything else reads as an atom.
Value read_item(std::string_view token) {
  if (!enclosed_in_quotes(token)) return read_value(token);
  if (token.size() == 1) stop(std::string(kEmptyQuoteSlice));
  return Value{Value::Kind::Name, 0, 0, token.substr(1, token.size() - 2)};
}

Atom to_atom(const Value& value, TextTable& texts) {
  switch (value.kind) {
    case Value::Kind::Int: return Atom{Atom::Int{value.integer}};
    case Value::Kind::Float: return Atom{Atom::Float{value.real}};
    case Value::Kind::Name: break;
  }
  return Atom{Atom::Name{texts.intern(value.name)}};
}

// Moves the scratch items from `mark` on into a vector of exactly their number.
template <class T>
std::vector<T> take_from(std::vector<T>& scratch, std::size_t mark) {
  auto first = scratch.begin() + static_cast<std::ptrdiff_t>(mark);
  std::vector<T> items(std::make_move_iterator(first), std::make_move_iterator(scratch.end()));
  scratch.erase(first, scratch.end());
  return items;
}

// The comma rule of every list: a comma may stand before any item and is dropped, and the
// token after it is always read as an item. Reads items up to `close`, which is left.
template <class Item>
void each_item(Stream& s, TokenKind close, Item&& item) {
  for (;;) {
    TokenKind kind = s.peek();
    if (kind == close) return;
    if (kind == TokenKind::Comma) s.next_token();
    item();
  }
}

std::string nested_too_deep_message() {
  return "literal list nested deeper than " + std::to_string(kMaxListDepth) + " levels";
}

// `depth` counts the list being opened, the outermost being 1. Nested lists gather their
// items above those of the lists around them.
LiteralValue parse_list_literal_at(Parser& p, std::size_t depth) {
  if (depth > kMaxListDepth) stop(nested_too_deep_message());
  Stream& s = p.cursor;
  s.expect(TokenKind::LBracket);
  std::vector<LiteralValue>& items = p.scratch.literal_items;
  const std::size_t mark = items.size();
  each_item(s, TokenKind::RBracket, [&] {
    LiteralValue item = s.peek() == TokenKind::LBracket ? parse_list_literal_at(p, depth + 1)
                                                        : parse_literal_scalar(p);
    items.push_back(std::move(item));
  });
  s.expect(TokenKind::RBracket);
  return LiteralValue{LiteralValue::List{take_from(items, mark)}};
}

}  // namespace

// The records' lists of a line are short and keep their first elements inside them, so each
// is read straight into its place.
void read_type(Parser& p, TensorType& type) {
  Stream& s = p.cursor;
  type.dtype = p.scratch.texts.intern(s.next());
  s.expect(TokenKind::LBracket);
  Shape& dims = type.shape;
  each_item(s, TokenKind::RBracket, [&] {
    Token token = s.next_token();
    // Only a number token begins with a digit, or with "-" and a digit.
    if (token.kind == TokenKind::Number) {
      IntRead read = read_int(s.text(token));
      if (read.fault != IntFault::None) stop_int_fault(read.fault);
      dims.emplace_back().value.emplace<Dim::Concrete>(Dim::Concrete{read.value});
    } else {
      dims.emplace_back().value.emplace<Dim::Named>(
          Dim::Named{p.scratch.texts.intern(s.text(token))});
    }
  });
  s.expect(TokenKind::RBracket);
}

TensorType parse_type(Parser& p) {
  TensorType type;
  read_type(p, type);
  return type;
}

namespace {

// The type after the ":" of a parameter, a return or a listed output: "*" stands for the
// dict type, anything else is a declared type.
void read_item_type(Parser& p, TensorType& type) {
  if (p.cursor.peek() != TokenKind::Star) return read_type(p, type);
  p.cursor.next_token();
  type.dtype = Text(kDictDtype);
}

}  // namespace

Atom parse_atom(std::string_view token) {
  TextTable texts;
  return to_atom(read_value(token), texts);
}

LiteralValue parse_literal_scalar(Parser& p) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  Stream& s = p.cursor;
  std::string_view token = s.next();
  if (token == "inf") return LiteralValue{LiteralValue::Float{kInf}};
  if (token == "-") {
    std::string_view after = s.next();
    if (after == "inf") return LiteralValue{LiteralValue::Float{-kInf}};
    stop("Expected 'inf' after '-', got " + debug_str(after));
  }
  Value value = read_value(token);
  switch (value.kind) {
    case Value::Kind::Int: return LiteralValue{LiteralValue::Int{value.integer}};
    case Value::Kind::Float: return LiteralValue{LiteralValue::Float{value.real}};
    case Value::Kind::Name: break;
  }
  stop("Expected literal value, got name " + debug_str(value.name));
}

LiteralValue parse_list_literal(Parser& p) { return parse_list_literal_at(p, 1); }

// ---------------------------------------------------------------------------------------
// Operation lines

namespace {

constexpr std::string_view kFoldNeedsReduction =
    "fold requires a reduction: fold[pattern, reduction]";
constexpr std::string_view kWriteNeedsReduction =
    "write requires a reduction: write[pattern, reduction]";
constexpr std::string_view kRandomNeedsBounds = "random requires two bounds: random[lo, hi]";
constexpr std::string_view kLoopNeedsCount = "loop requires explicit count: loop[fn, count]";
constexpr std::string_view kCacheNeedsVar =
    "cache requires var name: cache[var, init] or cache[var, init, extend]";
constexpr std::string_view kCacheNeedsInit =
    "cache requires init function: cache[var, init] or cache[var, init, extend]";

// Reads one bracket or paren list, handing each positional item to `positional` and each
// keyword item to `keyword` (with its key) as soon as it is read.
template <class Positional, class Keyword>
void read_delimited(Stream& s, TokenKind open, TokenKind close, Positional&& positional,
                    Keyword&& keyword) {
  s.expect(open);
  each_item(s, close, [&] {
    std::string_view token = s.next();
    if (is_letter(token[0]) && s.peek() == TokenKind::Equals) {
      s.next_token();
      keyword(token, read_item(s.next()));
    } else {
      positional(read_item(token));
    }
  });
  s.expect(close);
}

bool is_pattern(std::string_view name) {
  return name.find(' ') != std::string_view::npos || name.find("->") != std::string_view::npos;
}

void bin_item(Bins& bins, const Value& item) {
  switch (item.kind) {
    case Value::Kind::Int: bins.ints.push_back(item.integer); break;
    case Value::Kind::Float: bins.floats.push_back(item.real); break;
    case Value::Kind::Name:
      if (is_pattern(item.name))
        bins.pattern = item.name;
      else
        bins.names.push_back(item.name);
  }
}

// Stores the keyword items that give a size; a name gives none.
void store_axes(Axes& axes, OrderedMap<Value> keywords) {
  for (auto& [key, value] : std::move(keywords).into_entries()) {
    if (value.kind == Value::Kind::Int)
      axes.store(std::move(key), value.integer);
    else if (value.kind == Value::Kind::Float)
      axes.store(std::move(key), truncate_to_i64(value.real));
  }
}

// Each kind from the items of its line. A literal reads its own value before any list.
template <class Kind>
struct Tag {};

// The items of a kind's bracket list, with the table that its texts are stored in.
struct Items {
  const Bins& bins;
  TextTable& texts;
  Text pattern() const { return texts.intern(bins.pattern); }
  Text first_name() const { return texts.intern(bins.first_name()); }
  Text name(std::size_t i) const { return texts.intern(bins.names[i]); }
};

OpKind build(Tag<OpKind::View>, const Items& in, Axes& axes) {
  return {OpKind::View{in.pattern(), std::move(axes)}};
}
OpKind build(Tag<OpKind::Map>, const Items& in, Axes&) { return {OpKind::Map{in.first_name()}}; }
OpKind build(Tag<OpKind::Fold>, const Items& in, Axes&) {
  if (in.bins.first_name().empty()) stop(std::string(kFoldNeedsReduction));
  return {OpKind::Fold{in.pattern(), in.name(0)}};
}
OpKind build(Tag<OpKind::Tile>, const Items& in, Axes& axes) {
  return {OpKind::Tile{in.pattern(), std::move(axes)}};
}
OpKind build(Tag<OpKind::Read>, const Items& in, Axes&) { return {OpKind::Read{in.pattern()}}; }
OpKind build(Tag<OpKind::Write>, const Items& in, Axes&) {
  if (in.bins.first_name().empty()) stop(std::string(kWriteNeedsReduction));
  return {OpKind::Write{in.pattern(), in.name(0)}};
}
OpKind build(Tag<OpKind::Contract>, const Items& in, Axes&) {
  return {OpKind::Contract{in.pattern()}};
}
OpKind build(Tag<OpKind::Literal>, const Items&, Axes&) { return {OpKind::Literal{}}; }
OpKind build(Tag<OpKind::Iota>, const Items&, Axes&) { return {OpKind::Iota{}}; }
OpKind build(Tag<OpKind::Random>, const Items& in, Axes&) {
  if (in.bins.floats.size() < 2) stop(std::string(kRandomNeedsBounds));
  return {OpKind::Random{in.bins.floats[0], in.bins.floats[1]}};
}
OpKind build(Tag<OpKind::Call>, const Items& in, Axes&) { return {OpKind::Call{in.first_name()}}; }
OpKind build(Tag<OpKind::Loop>, const Items& in, Axes&) {
  if (in.bins.names.size() >= 2)
    return {OpKind::Loop{in.first_name(), LoopCount{LoopCount::Named{in.name(1)}}}};
  // A negative count would otherwise turn into a huge unsigned one.
  if (in.bins.ints.empty() || in.bins.ints[0] < 0) stop(std::string(kLoopNeedsCount));
  return {OpKind::Loop{in.first_name(), LoopCount{LoopCount::Concrete{
                                            static_cast<std::uint64_t>(in.bins.ints[0])}}}};
}
OpKind build(Tag<OpKind::Cache>, const Items& in, Axes&) {
  if (in.bins.names.empty()) stop(std::string(kCacheNeedsVar));
  if (in.bins.names.size() == 1) stop(std::string(kCacheNeedsInit));
  std::optional<Text> extend;
  if (in.bins.names.size() >= 3) extend = in.name(2);
  return {OpKind::Cache{in.name(0), in.name(1), std::move(extend)}};
}

// One builder per alternative of the variant, so a kind without its `build` does not compile.
template <std::size_t... K>
OpKind build_kind(std::size_t index, const Items& items, Axes& axes, std::index_sequence<K...>) {
  using Builder = OpKind (*)(const Items&, Axes&);
  static constexpr Builder builders[] = {[](const Items& b, Axes& a) {
    return build(Tag<std::variant_alternative_t<K, OpKind::Variant>>{}, b, a);
  }...};
  return builders[index](items, axes);
}

// Whether a kind keeps the sizes of its keyword items, as an `axes` member.
template <class Kind>
constexpr bool has_axes() {
  return std::apply(
      [](const auto&... member) {
        return (std::is_same_v<typename std::decay_t<decltype(member)>::Type, Axes> || ... ||
                false);
      },
      Kind::shape());
}
template <std::size_t... K>
constexpr std::array<bool, kKindCount + 1> axes_kinds(std::index_sequence<K...>) {
  return {has_axes<std::variant_alternative_t<K, OpKind::Variant>>()..., false};
}
// By kind position, `kKindCount` (no kind) included.
constexpr auto kTakesAxes = axes_kinds(std::make_index_sequence<kKindCount>{});

// The list form: names, each with an optional type after ":", and commas between them.
void read_list_outputs(Parser& p, Op& op) {
  Stream& s = p.cursor;
  for (;;) {
    op.outputs.push_back(p.scratch.texts.intern(s.next()));
    if (s.peek() == TokenKind::Colon) {
      s.next_token();
      read_item_type(p, op.output_types.emplace_back().emplace());
    } else {
      op.output_types.emplace_back();
    }
    if (s.peek() != TokenKind::Comma) return;
    s.next_token();
  }
}

// The grouped form: names in parentheses, ":", then types in parentheses.
void read_grouped_outputs(Parser& p, Op& op) {
  Stream& s = p.cursor;
  s.expect(TokenKind::LParen);
  each_item(s, TokenKind::RParen, [&] { op.outputs.push_back(p.scratch.texts.intern(s.next())); });
  s.expect(TokenKind::RParen);
  s.expect(TokenKind::Colon);
  s.expect(TokenKind::LParen);
  each_item(s, TokenKind::RParen, [&] { read_type(p, op.output_types.emplace_back().emplace()); });
  s.expect(TokenKind::RParen);
}

void read_outputs(Parser& p, Op& op) {
  if (p.cursor.peek() == TokenKind::LParen)
    read_grouped_outputs(p, op);
  else
    read_list_outputs(p, op);
}

// Fills `op` with the line at the cursor: the body loop builds each operation in its place
// among the function's operations.
void read_op(Parser& p, Op& op) {
  Stream& s = p.cursor;
  s.skip_comments();
  op.comments = s.take_comments();
  read_outputs(p, op);
  s.expect(TokenKind::Equals);

  std::string_view word = s.next();
  const std::size_t kind = kind_index(word);
  if (kind == kKindPosition<OpKind::Literal>) {
    s.expect(TokenKind::LParen);
    LiteralValue value =
        s.peek() == TokenKind::LBracket ? parse_list_literal(p) : parse_literal_scalar(p);
    s.expect(TokenKind::RParen);
    op.kind = OpKind{OpKind::Literal{std::move(value)}};
    return;
  }

  // The formatter writes a view's or tile's axes into the bracket list, so those count too;
  // the paren list's sizes are stored over them. Other kinds read their keyword items only
  // for the faults those may hold.
  const bool takes_axes = kTakesAxes[kind];
  OrderedMap<Value> bracket_keywords, paren_keywords;
  auto kept_in = [takes_axes](OrderedMap<Value>& keywords) {
    return [takes_axes, &keywords](std::string_view key, const Value& value) {
      if (takes_axes) keywords.store(std::string(key), value);
    };
  };
  Bins& bins = p.scratch.bins;
  bins.ints.clear();
  bins.floats.clear();
  bins.pattern = {};
  bins.names.clear();
  if (s.peek() == TokenKind::LBracket)
    read_delimited(
        s, TokenKind::LBracket, TokenKind::RBracket,
        [&bins](const Value& item) { bin_item(bins, item); }, kept_in(bracket_keywords));
  if (s.peek() == TokenKind::LParen)
    read_delimited(
        s, TokenKind::LParen, TokenKind::RParen,
        [&](const Value& item) { op.args.push_back(to_atom(item, p.scratch.texts)); },
        kept_in(paren_keywords));
  Axes axes;
  if (takes_axes) {
    store_axes(axes, std::move(bracket_keywords));
    store_axes(axes, std::move(paren_keywords));
  }
  if (kind == kKindCount) stop("Unknown op: " + debug_str(word));
  op.kind =
      build_kind(kind, Items{bins, p.scratch.texts}, axes, std::make_index_sequence<kKindCount>{});
}

}  // namespace

Delimited parse_delimited(Parser& p, TokenKind open, TokenKind close) {
  Delimited list;
  TextTable& texts = p.scratch.texts;
  auto positional = [&](const Value& item) { list.positional.push_back(to_atom(item, texts)); };
  auto keyword = [&](std::string_view key, const Value& value) {
    list.keywords.store(std::string(key), to_atom(value, texts));
  };
  read_delimited(p.cursor, open, close, positional, keyword);
  return list;
}

// ---------------------------------------------------------------------------------------
// Function definitions and modules

namespace {

// Parameters or returns, up to the ")" that closes the list, which is left for the caller.
std::vector<Param> read_items(Parser& p) {
  Stream& s = p.cursor;
  std::vector<Param>& items = p.scratch.params;
  items.clear();
  each_item(s, TokenKind::RParen, [&] {
    Param& item = items.emplace_back();
    item.name = p.scratch.texts.intern(s.next());
    s.expect(TokenKind::Colon);
    read_item_type(p, item.ty);
  });
  return take_from(items, 0);
}

}  // namespace

// The comment lines pending before the name are still pending at the "{", so the function
// takes them there in front of its own, in source order.
Function parse_fn(Parser& p) {
  Stream& s = p.cursor;
  Function fn;
  fn.name = p.scratch.texts.intern(s.next());
  s.expect(TokenKind::LParen);
  fn.params = read_items(p);
  s.expect(TokenKind::RParen);
  s.expect(TokenKind::Arrow);
  s.expect(TokenKind::LParen);
  fn.returns = read_items(p);
  s.expect(TokenKind::RParen);
  s.expect(TokenKind::LBrace);
  s.skip_comments();
  fn.comments = s.take_comments();
  std::vector<Op>& ops = p.scratch.ops;
  ops.clear();
  while (s.peek() != TokenKind::RBrace) {
    poll_interrupt();
    read_op(p, ops.emplace_back());
  }
  s.expect(TokenKind::RBrace);
  fn.ops = take_from(ops, 0);
  return fn;
}

}  // namespace parser

namespace {

// Every function has one "{", so their count bounds the functions of the source; room that
// stays unused is never touched, and a map that never grows holds no copy of itself. The
// bound per source byte keeps a source of braces alone from claiming much address space.
std::size_t function_room(std::string_view source) {
  constexpr std::size_t kSmallestFunction = 32;  // bytes of source per function, at least
  std::size_t braces = 0;
  for (const char *p = source.data(), *end = p + source.size();
       (p = static_cast<const char*>(std::memchr(p, '{', static_cast<std::size_t>(end - p)))); ++p)
    ++braces;
  return std::min(braces, source.size() / kSmallestFunction);
}

// The functions from the cursor on, with the readers' scratch lists: a frame of its own,
// which a source of comments alone never enters.
[[gnu::noinline]] void parse_functions(parser::Stream&& cursor, Module& module) {
  module.functions.reserve(function_room(cursor.source));
  parser::Parser p(std::move(cursor));
  parser::Stream& s = p.cursor;
  while (s.peek() != parser::TokenKind::End) {
    poll_interrupt();
    Function fn = parser::parse_fn(p);
    Text name = fn.name;
    module.functions.store(std::move(name), std::move(fn));
  }
}

}  // namespace

Module parse(std::string_view source) {
  parser::Stream cursor(source);
  Module module;
  cursor.skip_comments();
  module.header_comments = cursor.take_comments();
  if (cursor.peek() != parser::TokenKind::End) parse_functions(std::move(cursor), module);
  return module;
}

Module parse_file(std::string_view path) {
  std::string text;
  if (auto error = read_text_file(path, text)) stop(unwrap_err_message(debug_read_error(*error)));
  return parse(text);
}

}  // namespace vel
