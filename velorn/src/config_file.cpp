// The configuration file as a TOML document: read whole, guarded against nesting that the
// TOML reader could not survive, parsed, and its failures laid out as a report.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "vel/file.hpp"
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
  return text.substr(start, text.find('\n', start) - start);
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

TomlErrorPlace place_of(const toml::source_region& region) {
  TomlErrorPlace place;
  place.line = region.begin.line;
  place.column = region.begin.column;
  if (region.end.line == region.begin.line && region.end.column > region.begin.column)
    place.extent = region.end.column - region.begin.column;
  return place;
}

// The place of the character at byte `offset`.
TomlErrorPlace place_at(std::string_view text, std::size_t offset) {
  std::string_view before = text.substr(0, offset);
  std::size_t feed = before.rfind('\n');
  std::size_t start = feed == std::string_view::npos ? 0 : feed + 1;
  TomlErrorPlace place;
  place.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  place.column = char_count(before.substr(start)) + 1;
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

toml::table parse_toml(std::string_view config_path, std::string_view text) {
  try {
    return toml::parse(text);
  } catch (const toml::parse_error& error) {
    fail_parse(config_path, toml_error_report(text, place_of(error.source()), error.description()));
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
    // At least one caret, none past the line's end but the one just after it.
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

toml::table read_config_file(std::string_view config_path) {
  std::string text;
  if (auto error = vel::read_text_file(config_path, text)) {
    std::string message = "failed to read ";
    message += config_path;
    message += ": ";
    message += vel::display_read_error(*error);
    vel::stop(std::move(message));
  }
  return parse_config_text(config_path, text);
}

}  // namespace velorn
