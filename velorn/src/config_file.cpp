// The configuration file as a TOML document: read whole, guarded against nesting that the
// TOML reader could not survive, parsed, and its failures laid out as a report.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "toml_tables.hpp"
#include "vel/ascii.hpp"
#include "vel/file.hpp"
#include "vel/interrupt.hpp"
#include "vel/stop.hpp"

namespace velorn {

namespace {

constexpr std::string_view kTomlErrorAt = "TOML parse error at line ";

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t char_count(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !is_continuation(c); }));
}

// The line numbered `line` (from 1), without its line feed; empty past the last one.
std::string_view line_of(std::string_view text, std::size_t line) {
  std::size_t start = 0;
  for (std::size_t n = 1; n < line; ++n) {
    std::size_t feed = text.find('\n', start);
    if (feed == std::string_view::npos) return {};
    start = feed + 1;
  }
  std::string_view content = text.substr(start, text.find('\n', start) - start);
  // A line that ends in CR LF is shown without the CR.
  if (content.ends_with('\r')) content.remove_suffix(1);
  return content;
}

// One report line per line: a control character inside a description is shown escaped.
std::string one_line(std::string_view description) {
  std::string out;
  for (char c : description) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u{";
      if (b >= 0x10) out += kHex[b >> 4];
      out += kHex[b & 0xF];
      out += '}';
    }
  }
  return out;
}

// The place of the character at byte `offset`, covering `extent` characters.
TomlErrorPlace place_at(std::string_view text, std::size_t offset, std::size_t extent = 1) {
  std::string_view before = text.substr(0, offset);
  std::size_t feed = before.rfind('\n');
  std::size_t start = feed == std::string_view::npos ? 0 : feed + 1;
  TomlErrorPlace place;
  place.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  place.column = char_count(before.substr(start)) + 1;
  place.extent = std::max<std::size_t>(1, extent);
  return place;
}

[[noreturn]] void fail_parse(std::string_view config_path, const std::string& report) {
  std::string message = "failed to parse ";
  message += config_path;
  message += ": ";
  message += report;
  vel::stop(std::move(message));
}

// --- nesting guard ---
//
// The TOML reader walks the finished tree recursively, so a document must not nest
// deeper than the stack allows. This scan bounds the depth of the tree a document can
// build from above, exactly for valid TOML; where the text is not valid TOML the reader
// stops at its first error, before it builds anything deeper than what was scanned.

struct Excess {
  std::size_t statement;  // where the statement that nests too deep begins
  std::size_t at;         // the byte that opens the level too many
};

std::size_t line_end(std::string_view text, std::size_t i) {
  std::size_t feed = text.find('\n', i);
  return feed == std::string_view::npos ? text.size() : feed;
}

// Past the string, basic or literal, single- or multi-line, that starts at text[i].
std::size_t skip_string(std::string_view text, std::size_t i) {
  const std::size_t n = text.size();
  const char quote = text[i];
  const bool basic = quote == '"';
  const std::string_view triple = basic ? R"(""")" : "'''";
  if (text.substr(i, 3) == triple) {
    i += 3;
    while (i < n) {
      if (basic && text[i] == '\\') {
        i += 2;
      } else if (text.substr(i, 3) == triple) {
        i += 3;
        // Up to two quotes just before the delimiter belong to the text.
        for (int extra = 0; extra < 2 && i < n && text[i] == quote; ++extra) ++i;
        return i;
      } else {
        ++i;
      }
    }
    return n;
  }
  for (++i; i < n && text[i] != quote && text[i] != '\n'; ++i)
    if (basic && text[i] == '\\') ++i;
  return i < n && text[i] == quote ? i + 1 : std::min(i, n);
}

// A header "[a.b]" or "[[a.b]]" at text[i]; gives its segment count and moves past its
// line. Quoted segments may hold points.
std::size_t header_segments(std::string_view text, std::size_t& i) {
  std::size_t segments = 1;
  while (i < text.size() && text[i] != ']' && text[i] != '\n') {
    if (text[i] == '"' || text[i] == '\'') {
      i = skip_string(text, i);
      continue;
    }
    if (text[i] == '.') ++segments;
    ++i;
  }
  i = line_end(text, i);
  return segments;
}

// A key/value statement from text[i] to the line feed that ends it outside every bracket.
// `level` is the depth of the node being defined; each point of a key and each bracket
// goes one deeper.
std::optional<std::size_t> scan_key_value(std::string_view text, std::size_t& i, std::size_t level,
                                          std::size_t limit) {
  std::vector<std::size_t> open_levels;
  std::string open_kinds;
  bool in_key = true;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"' || c == '\'') {
      i = skip_string(text, i);
      continue;
    }
    if (c == '#') {
      i = line_end(text, i);
      continue;
    }
    if (c == '\n' && open_levels.empty()) return std::nullopt;
    bool closes = (c == ']' || c == '}') && !open_levels.empty();
    if (in_key) {
      if (c == '.' && ++level > limit) return i;
      if (c == '=') in_key = false;
    } else if (c == '[' || c == '{') {
      open_levels.push_back(level);
      open_kinds += c;
      if (++level > limit) return i;
      in_key = c == '{';
    } else if (c == ',' && !open_levels.empty()) {
      level = open_levels.back() + 1;
      in_key = open_kinds.back() == '{';
    }
    if (closes) {  // an empty inline table closes in key context
      level = open_levels.back();
      open_levels.pop_back();
      open_kinds.pop_back();
      in_key = false;
    }
    ++i;
  }
  return std::nullopt;
}

std::optional<Excess> find_excess_nesting(std::string_view text, std::size_t limit) {
  std::size_t base = 0;          // depth of the table that the last header opened
  std::size_t table_arrays = 0;  // "[[...]]" headers so far: each may add an element level
  std::size_t i = 0;
  while (i < text.size()) {
    vel::poll_interrupt();  // a statement at a time
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    if (c == '#') {
      i = line_end(text, i);
      continue;
    }
    std::size_t statement = i;
    if (c == '[') {
      bool array = i + 1 < text.size() && text[i + 1] == '[';
      i += array ? 2 : 1;
      std::size_t segments = header_segments(text, i);
      base = segments + std::min(segments, table_arrays) + (array ? 1 : 0);
      if (array) ++table_arrays;
      if (base > limit) return Excess{statement, statement};
      continue;
    }
    if (auto at = scan_key_value(text, i, base + 1, limit)) return Excess{statement, *at};
  }
  return std::nullopt;
}

// --- where an error starts ---
//
// The TOML reader names the one point where it gave up, inside or just after the token in
// error, and the scope it was reading: its description reads "Error while parsing {scope}:
// {reason}". For the descriptions in the table below the token's start and extent follow
// from that point and the text, which is valid TOML before it; any other error is shown
// at the reader's point.

// What a description names, found from the reader's point.
enum class Token : std::uint8_t {
  Point,          // the character at the point
  Scalar,         // the number, boolean or date-time that holds the point
  String,         // the string that the end of its line cuts short, else the point
  Escape,         // a string's unknown escape: its backslash and the character after it
  UnicodeEscape,  // a string's \u or \U escape, from its backslash to the point
  DocumentEnd,    // the last character of the document
  PairKey,        // the key of the key/value pair that holds the point
  HeaderKey,      // the key of the table header at the point or just before it
};

struct KnownDescription {
  std::string_view scope;   // empty: any
  std::string_view phrase;  // a part of the description; empty: any
  Token token;
};

// The descriptions that the report knows; the first row that matches holds.
constexpr KnownDescription kKnownDescriptions[] = {
    {"value", "", Token::Scalar},
    {"boolean", "", Token::Scalar},
    {"binary integer", "", Token::Scalar},
    {"octal integer", "", Token::Scalar},
    {"decimal integer", "", Token::Scalar},
    {"hexadecimal integer", "", Token::Scalar},
    {"floating-point", "", Token::Scalar},
    {"hexadecimal floating-point", "", Token::Scalar},
    {"date", "", Token::Scalar},
    {"time", "", Token::Scalar},
    {"date-time", "", Token::Scalar},
    {"date-time offset", "", Token::Scalar},
    {"string", "unknown escape sequence", Token::Escape},
    {"string", "", Token::String},
    {"literal string", "", Token::String},
    {"unicode scalar sequence", "", Token::UnicodeEscape},
    {"", "encountered end-of-file", Token::DocumentEnd},
    {"key-value pair", "cannot redefine existing", Token::PairKey},
    {"table header", "cannot redefine existing", Token::HeaderKey},
    {"table header", "into existing inline table", Token::HeaderKey},
};

constexpr std::string_view kScopeLead = "Error while parsing ";

std::string_view scope_of(std::string_view description) {
  if (!description.starts_with(kScopeLead)) return {};
  description.remove_prefix(kScopeLead.size());
  return description.substr(0, description.find(": "));
}

Token token_named(std::string_view description) {
  std::string_view scope = scope_of(description);
  for (const KnownDescription& known : kKnownDescriptions)
    if ((known.scope.empty() || known.scope == scope) &&
        description.find(known.phrase) != std::string_view::npos)
      return known.token;
  return Token::Point;
}

struct Span {
  std::size_t start, end;  // bytes
};

using vel::ascii::is_blank;
using vel::ascii::is_digit;

// The byte at the reader's line and column, the column counted in characters.
std::size_t offset_of(std::string_view text, std::size_t line, std::size_t column) {
  std::size_t i = 0;
  for (std::size_t n = 1; n < line && i < text.size(); ++n) i = line_end(text, i) + 1;
  for (std::size_t c = 1; c < column && i < text.size(); ++c) do
      ++i;
    while (i < text.size() && is_continuation(text[i]));
  return std::min(i, text.size());
}

// A line feed ends the last line; the document ends on that line.
std::size_t document_end(std::string_view text) {
  std::size_t end = text.size();
  if (text.ends_with('\n')) --end;
  if (end < text.size() && end > 0 && text[end - 1] == '\r') --end;
  return end;
}

bool ends_scalar(char c) {
  return is_blank(c) || c == '\r' || c == '\n' || c == ',' || c == '[' || c == ']' || c == '{' ||
         c == '}' || c == '=' || c == '#';
}

bool is_full_date(std::string_view token) {
  constexpr std::string_view kForm = "0000-00-00";
  if (token.size() != kForm.size()) return false;
  for (std::size_t i = 0; i < kForm.size(); ++i)
    if (kForm[i] == '-' ? token[i] != '-' : !is_digit(token[i])) return false;
  return true;
}

// The scalar that holds byte `at` or ends just before it; a date and a time may be
// joined by a blank.
Span scalar_around(std::string_view text, std::size_t at) {
  std::size_t start = at;
  while (start > 0 && !ends_scalar(text[start - 1])) --start;
  constexpr std::size_t kDate = 10;  // characters of a full date
  if (start > kDate && text[start - 1] == ' ' &&
      is_full_date(text.substr(start - 1 - kDate, kDate)) &&
      (start == kDate + 1 || ends_scalar(text[start - 2 - kDate])))
    start -= kDate + 1;
  std::size_t end = start;
  while (end < text.size() && !ends_scalar(text[end])) ++end;
  if (is_full_date(text.substr(start, end - start)) && end + 1 < text.size() && text[end] == ' ' &&
      is_digit(text[end + 1]))
    for (++end; end < text.size() && !ends_scalar(text[end]);) ++end;
  return {start, end};
}

// The opening quote of the string that holds byte `at`, reading from the start: quotes
// in comments and in earlier strings open nothing.
std::optional<std::size_t> string_around(std::string_view text, std::size_t at) {
  std::size_t i = 0;
  while (i < at) {
    if (text[i] == '#') {
      i = line_end(text, i);
    } else if (text[i] == '"' || text[i] == '\'') {
      std::size_t end = skip_string(text, i);
      if (end >= at) return i;
      i = end;
    } else {
      ++i;
    }
  }
  return std::nullopt;
}

// A string cut short by its line's end or the document's is the token; otherwise the
// part that `token` names.
Span string_span(std::string_view text, std::size_t at, Token token) {
  bool cut = at == text.size() || text[at] == '\n' || text.substr(at, 2) == "\r\n";
  if (cut) {
    if (auto open = string_around(text, at))
      return {*open, std::min(at, text.find_first_of("\r\n", *open))};
  }
  if (token == Token::Escape && at > 0 && text[at - 1] == '\\') return {at - 1, at + 1};
  if (token == Token::UnicodeEscape) {
    std::size_t escape = text.rfind('\\', at == 0 ? 0 : at - 1);
    if (escape != std::string_view::npos) return {escape, at};
  }
  return {at, at + 1};
}

// Past the last character of the key that starts at `start`, quoted segments included.
std::size_t key_end(std::string_view text, std::size_t start) {
  std::size_t end = start;
  for (std::size_t i = start; i < text.size();) {
    char c = text[i];
    if (c == '"' || c == '\'') {
      end = i = skip_string(text, i);
      continue;
    }
    if (c == '=' || c == ']' || c == '#' || c == '\r' || c == '\n') break;
    if (!is_blank(c)) end = i + 1;
    ++i;
  }
  return end;
}

std::size_t skip_blanks(std::string_view text, std::size_t i) {
  while (i < text.size() && is_blank(text[i])) ++i;
  return i;
}

// The key of the key/value pair that holds byte `at`: it starts a line or follows the
// "{" or "," of an inline table.
Span pair_key_around(std::string_view text, std::size_t at) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < at;) {
    char c = text[i];
    if (c == '#') {
      i = line_end(text, i);
      continue;
    }
    if (c == '"' || c == '\'') {
      i = skip_string(text, i);
      continue;
    }
    if (c == '\n' || c == '{' || c == ',') start = i + 1;
    ++i;
  }
  start = skip_blanks(text, start);
  return {start, key_end(text, start)};
}

// The "[" of the table header at `at`, or of the one that ends just before it: the reader
// checks a header's key against the tables it has only once it has read the header's
// line, its line feed included.
std::optional<std::size_t> header_start(std::string_view text, std::size_t at) {
  if (at < text.size() && text[at] == '[') return at;
  std::size_t end = at;
  if (end > 0 && text[end - 1] == '\n') --end;
  std::size_t feed = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
  std::size_t start = skip_blanks(text, feed == std::string_view::npos ? 0 : feed + 1);
  if (start < end && text[start] == '[') return start;
  return std::nullopt;
}

// The key of the header whose "[" stands at `at`.
Span header_key_at(std::string_view text, std::size_t at) {
  std::size_t start = at;
  for (int bracket = 0; bracket < 2 && start < text.size() && text[start] == '['; ++bracket)
    ++start;
  start = skip_blanks(text, start);
  return {start, key_end(text, start)};
}

// The token in error, from the reader's point `at`.
Span error_span(std::string_view text, std::size_t at, Token token) {
  switch (token) {
    case Token::Point: break;
    case Token::Scalar: return scalar_around(text, at);
    case Token::String:
    case Token::Escape:
    case Token::UnicodeEscape: return string_span(text, at, token);
    case Token::DocumentEnd: {
      std::size_t end = document_end(text);
      return {end, end + 1};
    }
    case Token::PairKey: return pair_key_around(text, at);
    case Token::HeaderKey:
      if (auto header = header_start(text, at)) return header_key_at(text, *header);
      break;
  }
  return {at, at + 1};
}

bool ends_line(std::string_view text, std::size_t at) {
  return at == text.size() || text[at] == '\n' ||
         (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n');
}

}  // namespace

TomlErrorPlace toml_error_place(std::string_view text, std::size_t line, std::size_t column,
                                std::string_view description) {
  if (line == 0) return {};
  Span span = error_span(text, offset_of(text, line, column), token_named(description));
  std::size_t start = std::min(span.start, text.size());
  std::size_t end = std::clamp(span.end, start, text.size());
  // A caret stands under a character of its line: an error found where a line or the
  // document ends (a value missing, a bracket never closed) points at the line's last one.
  if (ends_line(text, start) && start > 0 && text[start - 1] != '\n') {
    end = start;
    do --start;
    while (start > 0 && is_continuation(text[start]));
  }
  return place_at(text, start, char_count(text.substr(start, end - start)));
}

namespace {

// The text as the TOML reader's stream, a piece at a time, with the interruption check asked
// between pieces. An interruption ends the stream there and is raised once the reader has
// given up: the reader would take an exception of its source for an error of its own.
class InterruptibleText : public std::streambuf {
 public:
  explicit InterruptibleText(std::string_view text) : text_(text) { show(0); }
  bool interrupted() const { return interrupted_; }

 protected:
  int_type underflow() override {
    std::size_t at = offset();
    if (at >= text_.size() || interrupted_) return traits_type::eof();
    try {
      vel::check_interrupt();
    } catch (const vel::Interrupted&) {
      interrupted_ = true;
      return traits_type::eof();
    }
    show(at);
    return traits_type::to_int_type(*gptr());
  }
  // The reader looks for a byte order mark and goes back to the start.
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    off_type from = dir == std::ios_base::beg   ? 0
                    : dir == std::ios_base::cur ? static_cast<off_type>(offset())
                                                : static_cast<off_type>(text_.size());
    off_type to = from + off;
    if (to < 0 || to > static_cast<off_type>(text_.size())) return pos_type(off_type(-1));
    show(static_cast<std::size_t>(to));
    return pos_type(to);
  }
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    return seekoff(off_type(pos), std::ios_base::beg, which);
  }

 private:
  std::size_t offset() const { return static_cast<std::size_t>(gptr() - text_.data()); }
  void show(std::size_t at) {
    // The stream only reads: its buffer is the text itself.
    char* begin = const_cast<char*>(text_.data());
    std::size_t end = std::min(text_.size(), at + vel::kLongTextBytes);
    setg(begin + at, begin + at, begin + end);
  }

  std::string_view text_;
  bool interrupted_ = false;
};

toml::table parse_toml(std::string_view config_path, std::string_view text) {
  InterruptibleText pieces(text);
  std::istream stream(&pieces);
  try {
    toml::table root = toml::parse(stream);
    if (pieces.interrupted()) throw vel::Interrupted{};
    return root;
  } catch (const toml::parse_error& error) {
    if (pieces.interrupted()) throw vel::Interrupted{};
    const toml::source_position& point = error.source().begin;
    fail_parse(config_path,
               toml_error_report(
                   text, toml_error_place(text, point.line, point.column, error.description()),
                   error.description()));
  }
}

}  // namespace

// TOML parse error at line 2, column 5
//   |
// 2 | a = tru
//   |     ^
// description
std::string toml_error_report(std::string_view text, const TomlErrorPlace& place,
                              std::string_view description) {
  std::string out;
  if (place.line != 0) {
    std::string number = std::to_string(place.line);
    std::string gutter(number.size() + 1, ' ');
    std::string_view content = line_of(text, place.line);
    // At least one caret, and none past the line's end (but on an empty line).
    std::size_t length = char_count(content);
    std::size_t room = length >= place.column ? length + 1 - place.column : 0;
    std::size_t carets = std::max<std::size_t>(1, std::min(place.extent, room));
    out += kTomlErrorAt;
    out += number + ", column " + std::to_string(place.column) + "\n";
    out += gutter + "|\n";
    out += number + " | ";
    out += content;
    out += "\n" + gutter + "|" + std::string(place.column, ' ') + std::string(carets, '^') + "\n";
  }
  out += one_line(description);
  out += '\n';
  return out;
}

toml::table parse_config_text(std::string_view config_path, std::string_view text) {
  if (auto excess = find_excess_nesting(text, kMaxTomlNesting)) {
    // An error of the reader before the statement that nests too deep comes first.
    parse_toml(config_path, text.substr(0, excess->statement));
    fail_parse(config_path,
               toml_error_report(text, place_at(text, excess->at),
                                 "exceeded maximum nesting depth of " +
                                     std::to_string(kMaxTomlNesting) + " tables and arrays"));
  }
  return parse_toml(config_path, text);
}

std::string read_config_text(std::string_view config_path) {
  std::string text;
  if (auto error = vel::read_text_file(config_path, text)) {
    std::string message = "failed to read ";
    message += config_path;
    message += ": ";
    message += vel::display_read_error(*error);
    vel::stop(std::move(message));
  }
  return text;
}

}  // namespace velorn
