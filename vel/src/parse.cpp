#include "parse_internal.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "vel/file.hpp"
#include "vel/stop.hpp"
#include "vel/text.hpp"

namespace vel {

// ---------------------------------------------------------------------------------------
// Tokens and the token cursor

namespace parser {
namespace {

constexpr std::string_view kNestedTooDeep = "literal list nested deeper than 256 levels";
constexpr std::string_view kEmptyQuoteSlice = "byte range starts at 1 but ends at 0";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_word_byte(char c) { return is_letter(c) || is_digit(c) || c == '_' || c == '.'; }

// What the byte at a position starts; the tokenizer's decisions in table form.
enum class Lead : std::uint8_t { Skip, Space, Quote, Slash, Minus, Dot, Digit, Word, Punct };

constexpr std::array<Lead, 256> make_lead_table() {
  std::array<Lead, 256> table{};
  for (unsigned char c : {' ', '\t', '\n', '\f', '\r'}) table[c] = Lead::Space;
  table['"'] = Lead::Quote;
  table['/'] = Lead::Slash;
  table['-'] = Lead::Minus;
  table['.'] = Lead::Dot;
  for (int c = '0'; c <= '9'; ++c) table[c] = Lead::Digit;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = Lead::Word;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = Lead::Word;
  table['_'] = Lead::Word;
  for (unsigned char c : {'(', ')', '*', '+', ',', ':', '=', '[', ']', '{', '}'})
    table[c] = Lead::Punct;
  return table;
}

constexpr std::array<Lead, 256> kLead = make_lead_table();

std::size_t skip_digits(std::string_view src, std::size_t i) {
  while (i < src.size() && is_digit(src[i])) ++i;
  return i;
}

// The end of a number token whose digits start at `i`.
std::size_t number_end(std::string_view src, std::size_t i) {
  i = skip_digits(src, i);
  if (i < src.size() && src[i] == '.') i = skip_digits(src, i + 1);
  if (i < src.size() && (src[i] == 'e' || src[i] == 'E')) {
    ++i;
    if (i < src.size() && (src[i] == '+' || src[i] == '-')) ++i;
    i = skip_digits(src, i);
  }
  return i;
}

// The end of a quoted token whose opening quote is at `i`; an escaped byte never closes it.
std::size_t quoted_end(std::string_view src, std::size_t i) {
  ++i;
  while (i < src.size()) {
    char c = src[i];
    if (c == '\\') {
      i = std::min(i + 2, src.size());
    } else {
      ++i;
      if (c == '"') break;
    }
  }
  return i;
}

// Token comparison, mostly with one-byte texts, without a library call for those.
bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.size() == 1) return a[0] == b[0];
  return std::memcmp(a.data(), b.data(), a.size()) == 0;
}

std::size_t word_end(std::string_view src, std::size_t i) {
  ++i;
  while (i < src.size() && is_word_byte(src[i])) ++i;
  if (i < src.size() && src[i] == '*' && src[i - 1] == '.') ++i;
  return i;
}

}  // namespace

bool is_comment(std::string_view token) {
  return token.size() >= 2 && token[0] == '/' && token[1] == '/';
}

std::vector<std::string_view> tokenize(std::string_view src) {
  std::vector<std::string_view> tokens;
  // Real sources hold a token every three bytes or so; pages reserved beyond that are
  // never touched.
  tokens.reserve(src.size() / 2 + 8);
  std::size_t i = 0;
  const std::size_t n = src.size();
  while (i < n) {
    std::size_t start = i;
    switch (kLead[static_cast<unsigned char>(src[i])]) {
      case Lead::Skip:
      case Lead::Space:
        ++i;
        continue;
      case Lead::Quote:
        i = quoted_end(src, i);
        break;
      case Lead::Slash:
        if (i + 1 < n && src[i + 1] == '/') {
          std::size_t line_end = src.find('\n', i + 2);
          i = line_end == std::string_view::npos ? n : line_end;
        } else {
          ++i;
        }
        break;
      case Lead::Minus:
        if (i + 1 < n && src[i + 1] == '>')
          i += 2;
        else if (i + 1 < n && is_digit(src[i + 1]))
          i = number_end(src, i + 1);
        else
          ++i;
        break;
      case Lead::Dot:
        if (i + 2 < n && src[i + 1] == '.' && src[i + 2] == '.') {
          i += 3;
          break;
        }
        ++i;
        continue;
      case Lead::Digit:
        i = number_end(src, i);
        break;
      case Lead::Word:
        i = word_end(src, i);
        break;
      case Lead::Punct:
        ++i;
        break;
    }
    tokens.push_back(src.substr(start, i - start));
  }
  return tokens;
}

void Stream::skip_comments() {
  while (pos < tokens.size() && is_comment(tokens[pos])) pending_comments.push_back(tokens[pos++]);
}

std::optional<std::string_view> Stream::peek() {
  skip_comments();
  if (pos == tokens.size()) return std::nullopt;
  return tokens[pos];
}

bool Stream::peek_is(std::string_view text) {
  skip_comments();
  return pos < tokens.size() && same_text(tokens[pos], text);
}

std::string_view Stream::next() {
  skip_comments();
  if (pos == tokens.size()) stop(bounds_message(tokens.size(), tokens.size()));
  return tokens[pos++];
}

void Stream::expect(std::string_view text) {
  std::string_view got = next();
  if (got != text) stop("Expected " + debug_str(text) + ", got " + debug_str(got));
}

std::vector<std::string> Stream::take_comments() {
  std::vector<std::string> lines(pending_comments.begin(), pending_comments.end());
  pending_comments.clear();
  return lines;
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
  std::string message(kUnwrapErr);
  message += ": ParseIntError { kind: ";
  message += int_fault_word(fault);
  message += " }";
  stop(std::move(message));
}

[[noreturn]] void stop_float_fault() {
  std::string message(kUnwrapErr);
  message += ": ParseFloatError { kind: Invalid }";
  stop(std::move(message));
}

// Whether the text fits the decimal float syntax: an optional sign, digits with at most one
// point and at least one digit, then optionally an exponent with at least one digit.
bool fits_float_syntax(std::string_view text) {
  std::size_t i = 0, n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  bool point = false;
  for (; i < n; ++i) {
    if (is_digit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_start = i;
    i = skip_digits(text, i);
    if (i == exponent_start) return false;
  }
  return i == n;
}

// Whether a decimal text that the float reader found out of range lies above one in
// magnitude (so overflowed to infinity) rather than below (so underflowed to zero).
bool decimal_exceeds_one(std::string_view text) {
  if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
  std::size_t mantissa_end = text.find_first_of("eE");
  std::string_view mantissa = text.substr(0, mantissa_end);
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
  // The decimal position of the first non-zero digit, counted from the units as 0.
  std::size_t point = mantissa.find('.');
  if (point == std::string_view::npos) point = mantissa.size();
  std::size_t first = mantissa.find_first_not_of("0.");
  if (first == std::string_view::npos) return false;
  std::int64_t position = first < point ? static_cast<std::int64_t>(point - first) - 1
                                        : -static_cast<std::int64_t>(first - point);
  return position + exponent >= 0;
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

// A token whose first and last bytes are double quotes (a one-byte quote included).
bool enclosed_in_quotes(std::string_view token) {
  return !token.empty() && token.front() == '"' && token.back() == '"';
}

// An item or keyword value of a bracket or paren list: the inner text of a quoted token is
// a name as it stands, anything else reads as an atom.
Atom read_item(std::string_view token) {
  if (!enclosed_in_quotes(token)) return parse_atom(token);
  if (token.size() == 1) stop(std::string(kEmptyQuoteSlice));
  return Atom{Atom::Name{std::string(token.substr(1, token.size() - 2))}};
}

// `depth` counts the list being opened, the outermost being 1.
LiteralValue parse_list_literal_at(Stream& s, std::size_t depth) {
  if (depth > kMaxListDepth) stop(std::string(kNestedTooDeep));
  s.expect("[");
  LiteralValue::List list;
  for (;;) {
    if (s.peek_is("]")) break;
    if (s.peek_is(",")) s.next();
    if (s.peek_is("["))
      list.items.push_back(parse_list_literal_at(s, depth + 1));
    else
      list.items.push_back(parse_literal_scalar(s));
  }
  s.expect("]");
  return LiteralValue{std::move(list)};
}

}  // namespace

TensorType parse_type(Stream& s) {
  s.skip_comments();
  TensorType type;
  type.dtype = std::string(s.next());
  s.expect("[");
  for (;;) {
    if (s.peek_is("]")) {
      s.expect("]");
      return type;
    }
    if (s.peek_is(",")) s.next();
    std::string_view token = s.next();
    bool integer = is_digit(token[0]) || (token[0] == '-' && token.size() > 1 && is_digit(token[1]));
    if (integer) {
      IntRead read = read_int(token);
      if (read.fault != IntFault::None) stop_int_fault(read.fault);
      type.shape.push_back(Dim{Dim::Concrete{read.value}});
    } else {
      type.shape.push_back(Dim{Dim::Named{std::string(token)}});
    }
  }
}

Atom parse_atom(std::string_view token) {
  if (token == "inf") return Atom{Atom::Float{std::numeric_limits<double>::infinity()}};
  if (!is_letter(token[0]) && token.find_first_of(".eE") != std::string_view::npos)
    return Atom{Atom::Float{read_float(token)}};
  IntRead read = read_int(token);
  if (read.fault == IntFault::None) return Atom{Atom::Int{read.value}};
  return Atom{Atom::Name{std::string(token)}};
}

LiteralValue parse_literal_scalar(Stream& s) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::string_view token = s.next();
  if (token == "inf") return LiteralValue{LiteralValue::Float{kInf}};
  if (token == "-") {
    std::string_view after = s.next();
    if (after == "inf") return LiteralValue{LiteralValue::Float{-kInf}};
    stop("Expected 'inf' after '-', got " + debug_str(after));
  }
  Atom atom = parse_atom(token);
  if (auto* integer = std::get_if<Atom::Int>(&atom.value))
    return LiteralValue{LiteralValue::Int{integer->value}};
  if (auto* real = std::get_if<Atom::Float>(&atom.value))
    return LiteralValue{LiteralValue::Float{real->value}};
  stop("Expected literal value, got name " + debug_str(std::get<Atom::Name>(atom.value).text));
}

LiteralValue parse_list_literal(Stream& s) { return parse_list_literal_at(s, 1); }

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

TensorType dict_type() { return TensorType{std::string(kDictDtype), {}}; }

// The bracket list's positional items, sorted by what they can stand for.
struct Bins {
  std::vector<std::int64_t> ints;
  std::vector<double> floats;
  std::string pattern;
  std::vector<std::string> names;

  std::string first_name() const { return names.empty() ? std::string() : names[0]; }
};

bool is_pattern(std::string_view name) {
  return name.find(' ') != std::string_view::npos || name.find("->") != std::string_view::npos;
}

Bins sort_bins(std::vector<Atom>& items) {
  Bins bins;
  for (Atom& item : items) {
    if (auto* integer = std::get_if<Atom::Int>(&item.value)) {
      bins.ints.push_back(integer->value);
    } else if (auto* real = std::get_if<Atom::Float>(&item.value)) {
      bins.floats.push_back(real->value);
    } else {
      std::string& name = std::get<Atom::Name>(item.value).text;
      if (is_pattern(name))
        bins.pattern = std::move(name);
      else
        bins.names.push_back(std::move(name));
    }
  }
  return bins;
}

// A float size truncated toward zero and held within the signed 64-bit range.
std::int64_t saturate(double value) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (std::isnan(value)) return 0;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

// Stores the keyword items that give a size; a name gives none.
void store_axes(Axes& axes, OrderedMap<Atom> keywords) {
  for (auto& [key, value] : std::move(keywords).into_entries()) {
    if (auto* integer = std::get_if<Atom::Int>(&value.value))
      axes.store(std::move(key), integer->value);
    else if (auto* real = std::get_if<Atom::Float>(&value.value))
      axes.store(std::move(key), saturate(real->value));
  }
}

OpKind build_kind(std::string_view word, Bins bins, Axes axes) {
  if (word == "view") return OpKind{OpKind::View{std::move(bins.pattern), std::move(axes)}};
  if (word == "map") return OpKind{OpKind::Map{bins.first_name()}};
  if (word == "fold") {
    if (bins.first_name().empty()) stop(std::string(kFoldNeedsReduction));
    return OpKind{OpKind::Fold{std::move(bins.pattern), std::move(bins.names[0])}};
  }
  if (word == "tile") return OpKind{OpKind::Tile{std::move(bins.pattern), std::move(axes)}};
  if (word == "read") return OpKind{OpKind::Read{std::move(bins.pattern)}};
  if (word == "write") {
    if (bins.first_name().empty()) stop(std::string(kWriteNeedsReduction));
    return OpKind{OpKind::Write{std::move(bins.pattern), std::move(bins.names[0])}};
  }
  if (word == "contract") return OpKind{OpKind::Contract{std::move(bins.pattern)}};
  if (word == "iota") return OpKind{OpKind::Iota{}};
  if (word == "random") {
    if (bins.floats.size() < 2) stop(std::string(kRandomNeedsBounds));
    return OpKind{OpKind::Random{bins.floats[0], bins.floats[1]}};
  }
  if (word == "call") return OpKind{OpKind::Call{bins.first_name()}};
  if (word == "loop") {
    std::string target = bins.first_name();
    if (bins.names.size() >= 2)
      return OpKind{OpKind::Loop{std::move(target), LoopCount{LoopCount::Named{bins.names[1]}}}};
    // A negative count would otherwise turn into a huge unsigned one.
    if (bins.ints.empty() || bins.ints[0] < 0) stop(std::string(kLoopNeedsCount));
    return OpKind{OpKind::Loop{
        std::move(target),
        LoopCount{LoopCount::Concrete{static_cast<std::uint64_t>(bins.ints[0])}}}};
  }
  if (word == "cache") {
    if (bins.names.empty()) stop(std::string(kCacheNeedsVar));
    if (bins.names.size() == 1) stop(std::string(kCacheNeedsInit));
    std::optional<std::string> extend;
    if (bins.names.size() >= 3) extend = std::move(bins.names[2]);
    return OpKind{
        OpKind::Cache{std::move(bins.names[0]), std::move(bins.names[1]), std::move(extend)}};
  }
  stop("Unknown op: " + debug_str(word));
}

void read_list_outputs(Stream& s, Op& op) {
  for (;;) {
    op.outputs.emplace_back(s.next());
    std::optional<TensorType> type;
    if (s.peek_is(":")) {
      s.next();
      if (s.peek_is("*")) {
        s.next();
        type = dict_type();
      } else {
        type = parse_type(s);
      }
    }
    op.output_types.push_back(std::move(type));
    if (!s.peek_is(",")) return;
    s.next();
  }
}

void read_grouped_outputs(Stream& s, Op& op) {
  s.expect("(");
  while (!s.peek_is(")")) {
    if (s.peek_is(",")) s.next();
    op.outputs.emplace_back(s.next());
  }
  s.expect(")");
  s.expect(":");
  s.expect("(");
  while (!s.peek_is(")")) {
    if (s.peek_is(",")) s.next();
    op.output_types.emplace_back(parse_type(s));
  }
  s.expect(")");
}

}  // namespace

Delimited parse_delimited(Stream& s, std::string_view open, std::string_view close) {
  s.expect(open);
  Delimited list;
  for (;;) {
    if (s.peek_is(close)) {
      s.expect(close);
      return list;
    }
    if (s.peek_is(",")) s.next();
    std::string_view token = s.next();
    if (is_letter(token[0]) && s.peek_is("=")) {
      s.next();
      Atom value = read_item(s.next());
      list.keywords.store(std::string(token), std::move(value));
    } else {
      list.positional.push_back(read_item(token));
    }
  }
}

Op parse_op(Stream& s) {
  s.skip_comments();
  Op op{OpKind{OpKind::Iota{}}, {}, {}, {}, s.take_comments()};
  if (s.peek_is("("))
    read_grouped_outputs(s, op);
  else
    read_list_outputs(s, op);
  s.expect("=");

  std::string_view word = s.next();
  if (word == "literal") {
    s.expect("(");
    LiteralValue value = s.peek_is("[") ? parse_list_literal(s) : parse_literal_scalar(s);
    s.expect(")");
    op.kind = OpKind{OpKind::Literal{std::move(value)}};
    return op;
  }

  Delimited bracket, paren;
  if (s.peek_is("[")) bracket = parse_delimited(s, "[", "]");
  if (s.peek_is("(")) paren = parse_delimited(s, "(", ")");
  op.args = std::move(paren.positional);
  Bins bins = sort_bins(bracket.positional);
  // The formatter writes a view's or tile's axes into the bracket list, so those count too;
  // the paren list's sizes are stored over them.
  Axes axes;
  if (word == "view" || word == "tile") {
    store_axes(axes, std::move(bracket.keywords));
    store_axes(axes, std::move(paren.keywords));
  }
  op.kind = build_kind(word, std::move(bins), std::move(axes));
  return op;
}

// ---------------------------------------------------------------------------------------
// Function definitions and modules

namespace {

// Parameters or returns, up to the ")" that closes the list, which is left for the caller.
std::vector<Param> read_items(Stream& s) {
  std::vector<Param> items;
  while (!s.peek_is(")")) {
    if (s.peek_is(",")) s.next();
    Param item;
    item.name = std::string(s.next());
    std::string_view colon = s.next();
    if (colon != ":") stop("Expected " + debug_str(":") + ", got " + debug_str(colon));
    if (s.peek_is("*")) {
      s.next();
      item.ty = dict_type();
    } else {
      item.ty = parse_type(s);
    }
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace

Function parse_fn(Stream& s) {
  s.skip_comments();
  Function fn;
  fn.name = std::string(s.next());
  s.expect("(");
  fn.params = read_items(s);
  s.expect(")");
  s.expect("->");
  s.expect("(");
  fn.returns = read_items(s);
  s.expect(")");
  s.expect("{");
  s.skip_comments();
  fn.comments = s.take_comments();
  while (!s.peek_is("}")) fn.ops.push_back(parse_op(s));
  s.expect("}");
  return fn;
}

}  // namespace parser

Module parse(std::string_view source) {
  parser::Stream s(parser::tokenize(source));
  Module module;
  s.skip_comments();
  module.header_comments = s.take_comments();
  for (;;) {
    s.skip_comments();
    if (s.pos == s.tokens.size()) break;
    std::vector<std::string> before = s.take_comments();
    Function fn = parser::parse_fn(s);
    before.insert(before.end(), std::make_move_iterator(fn.comments.begin()),
                  std::make_move_iterator(fn.comments.end()));
    fn.comments = std::move(before);
    std::string name = fn.name;
    module.functions.store(std::move(name), std::move(fn));
  }
  return module;
}

Module parse_file(std::string_view path, InterruptCheck interrupted) {
  std::string text;
  if (auto error = read_text_file(path, text, interrupted)) {
    std::string message(kUnwrapErr);
    message += ": ";
    message += debug_read_error(*error);
    stop(std::move(message));
  }
  return parse(text);
}

}  // namespace vel
