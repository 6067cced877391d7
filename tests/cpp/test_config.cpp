// Configuration values from JSON and TOML, the configuration file's error reports and its
// nesting guard, and the substitution into declared types and loop counts. The file's read
// failures are tested through the module (tests/py/test_config.py).
#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>

#include <gtest/gtest.h>

#include "builders.hpp"
#include "config_file.hpp"
#include "test_json_support.hpp"
#include "vel/config.hpp"
#include "vel/fmt.hpp"
#include "vel/parse.hpp"
#include "weights.hpp"

using namespace velorn;
using vel::config_from_json;
using vel::ConfigMap;
using vel::ConfigValue;
using vel::sub_dim;
using vel::sub_module;
using vel::sub_type;

namespace {

using vel::test::error;
using vel::test::outcome;

std::string show_double(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[32];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

std::string show(const ConfigValue& value) {
  if (auto* i = std::get_if<ConfigValue::Int>(&value.value))
    return "Int(" + std::to_string(i->value) + ")";
  if (auto* f = std::get_if<ConfigValue::Float>(&value.value))
    return "Float(" + show_double(f->value) + ")";
  std::string out = "Vector[";
  for (double v : std::get<ConfigValue::Vector>(value.value).values) {
    if (out.back() != '[') out += ",";
    out += show_double(v);
  }
  return out + "]";
}

// "a=Int(1) b=Float(2.5)", names in byte order.
std::string show(const ConfigMap& config) {
  std::map<std::string, std::string> sorted;
  for (const auto& [name, value] : config) sorted[name] = show(value);
  std::string out;
  for (const auto& [name, text] : sorted) out += (out.empty() ? "" : " ") + name + "=" + text;
  return out;
}

std::string from_json(std::string_view text) {
  return outcome([&] { return show(config_from_json(text)); });
}

std::string from_toml(std::string_view text) {
  return outcome([&] { return show(config_from_toml_text("c.toml", text)); });
}

TEST(ConfigJson, ValuesAreTriedAsIntFloatVector) {
  struct Case {
    std::string_view text, expected;
  };
  const Case cases[] = {
      {"{}", ""},
      {R"({"n": 4, "m": 4.0, "e": 1e2})", "e=Float(100) m=Float(4) n=Int(4)"},
      {R"({"n": 9223372036854775807})", "n=Int(9223372036854775807)"},
      {R"({"n": 9223372036854775808})", "n=Float(9223372036854775808)"},
      {R"({"n": -9223372036854775808})", "n=Int(-9223372036854775808)"},
      {R"({"n": -9223372036854775809})", "n=Float(-9223372036854775808)"},
      {R"({"n": 18446744073709551616})", "n=Float(18446744073709551616)"},
      {R"({"n": -0})", "n=Float(-0)"},
      {R"({"v": [1, -2, 2.5, 18446744073709551615], "e": []})",
       "e=Vector[] v=Vector[1,-2,2.5,18446744073709551616]"},
      {R"({"n": 1, "n": [2]})", "n=Vector[2]"},
      {R"({"": 3, "param.n": 1})", "=Int(3) param.n=Int(1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(from_json(c.text), c.expected) << c.text;
}

TEST(ConfigJson, RefusalsCarryTheirPositions) {
  const std::string no_variant = "data did not match any variant of untagged enum ConfigValue";
  struct Case {
    std::string_view text;
    std::string expected;
  };
  const Case cases[] = {
      // A value no variant takes is placed where the map gives up: after its closing brace
      // when that stands next, else just after the value.
      {R"({"n": "x"})", error(no_variant, 1, 10)},
      {R"({"n": "x"  })", error(no_variant, 1, 12)},
      {R"({"n": [1, "a"], "m": 1})", error(no_variant, 1, 14)},
      {"{\"n\": [[1]]\n}", error(no_variant, 2, 1)},
      {R"({"n": null})", error(no_variant, 1, 11)},
      {R"({"n": true})", error(no_variant, 1, 11)},
      {R"({"n": {}})", error(no_variant, 1, 9)},
      // The whole value is read before any variant is tried.
      {R"({"n": ["a", 1e999]})", error("number out of range", 1, 17)},
      {R"({"n": [1,]})", error("trailing comma", 1, 10)},
      {"[1]", error("invalid type: sequence, expected a map", 1, 0)},
      {"4", error("invalid type: integer `4`, expected a map", 1, 1)},
      {"\"x\"", error("invalid type: string \"x\", expected a map", 1, 3)},
      {"", error("EOF while parsing a value", 1, 0)},
      {"{} x", error("trailing characters", 1, 4)},
      {R"({"n": 1)", error("EOF while parsing an object", 1, 7)},
  };
  for (const Case& c : cases) EXPECT_EQ(from_json(c.text), c.expected) << c.text;
}

TEST(ConfigJson, NestingAllowanceCountsTheMapAndTheVector) {
  std::string deep = R"({"n": )" + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_EQ(from_json(deep),
            error("data did not match any variant of untagged enum ConfigValue", 1, 259));
  std::string deeper = R"({"n": )" + std::string(127, '[') + std::string(127, ']') + "}";
  EXPECT_EQ(from_json(deeper), error("recursion limit exceeded", 1, 133));
}

TEST(ConfigToml, TablesMergeInOrderAndSkipWhatIsNoNumber) {
  EXPECT_EQ(from_toml(R"(
[shape]
n = 4
m = 1
[scalar]
m = 2.5
[vector]
n = [1.0]
)"),
            "m=Float(2.5) n=Vector[1]");
  // Booleans, texts, every date-time form and sub-tables are skipped without a word; the
  // names of the tables do not restrict what they hold.
  EXPECT_EQ(from_toml(R"(
[shape]
b = true
s = "text"
odt = 1979-05-27T07:32:00Z
ldt = 1979-05-27T07:32:00
ld = 1979-05-27
lt = 07:32:00
v = [1, 9007199254740993, -0.5]
[shape.sub]
inner = 3
[vector]
k = 7
f = nan
i = inf
j = -inf
)"),
            "f=Float(nan) i=Float(inf) j=Float(-inf) k=Int(7) v=Vector[1,9007199254740992,-0.5]");
  // Inline tables and dotted keys define tables like header lines; other roots are ignored.
  EXPECT_EQ(from_toml("shape = { n = 1, m.x = 2 }\nscalar.k = 3\nvector = 5\nother = { z = 1 }\n"),
            "k=Int(3) n=Int(1)");
  EXPECT_EQ(from_toml(""), "");
}

TEST(ConfigToml, AnArrayOfAnythingButNumbersStops) {
  const std::string stop = "stop: unexpected value in vector section";
  for (std::string_view text : {
           "[scalar]\nv = [1, \"a\"]\n",
           "[shape]\nv = [[1.0]]\n",
           "[vector]\nv = [true]\n",
           "[shape]\nv = [1979-05-27]\n",
           "[scalar]\nv = [{ a = 1 }]\n",
           "[[scalar.v]]\na = 1\n",
       })
    EXPECT_EQ(from_toml(text), stop) << text;
  EXPECT_EQ(from_toml("[shape]\nv = []\n"), "v=Vector[]");
}

// Among keys that spell the same weight key the last one read holds: the quoted "a.b"
// comes after the table a in byte order, wherever it stands in the file.
TEST(ConfigToml, TablesYieldTheirKeysInByteOrder) {
  WeightMapping mapping = weight_mapping_from_toml_text(
      "c.toml", "[weights]\nz = 'z'\n\"a.b\" = 'quoted'\na.b = 'dotted'\n\"\" = 'empty'\n");
  ASSERT_NE(mapping.find("weights.a.b"), nullptr);
  EXPECT_EQ(*mapping.find("weights.a.b"), "quoted");
}

std::string parse_report(std::string_view text) {
  return outcome([&] {
    config_from_toml_text("conf/c.toml", text);
    return std::string("parsed");
  });
}

TEST(ConfigToml, ParseErrorsAreReportedWithTheirLine) {
  EXPECT_EQ(parse_report("a = 1\nb = tru\n"),
            "stop: failed to parse conf/c.toml: TOML parse error at line 2, column 5\n"
            "  |\n"
            "2 | b = tru\n"
            "  |     ^^^\n"
            "Error while parsing boolean: expected 'true', saw 'tru\\n'\n");
  // Columns count characters; the caret may stand just past the line's end.
  EXPECT_EQ(parse_report("k = \"\xc3\xa9\xc3\xa9\" x\n"),
            "stop: failed to parse conf/c.toml: TOML parse error at line 1, column 10\n"
            "  |\n"
            "1 | k = \"\xc3\xa9\xc3\xa9\" x\n"
            "  |          ^\n"
            "Error while parsing key-value pair: expected a comment or whitespace, saw 'x'\n");
  // The gutter is as wide as the line number.
  EXPECT_EQ(parse_report(std::string(9, '\n') + "[a]\n[a]\n"),
            "stop: failed to parse conf/c.toml: TOML parse error at line 11, column 2\n"
            "   |\n"
            "11 | [a]\n"
            "   |  ^\n"
            "Error while parsing table header: cannot redefine existing table 'a'\n");
}

// Each report points at the start of the token in error and covers it with carets.
TEST(ConfigToml, ErrorReportsStartAtTheTokenInError) {
  // A value guessed to be a date and time from its characters further on.
  const std::string nul_time_line = "when = 1979-05-27T" + std::string(2, '\0') + "07:32:00Z";
  const std::string nul_time = nul_time_line + "\n";
  const std::string no_key =
      "Error while parsing key: expected bare key starting character or string delimiter, saw '";
  struct Case {
    std::string_view kind, text;
    std::size_t line, column;
    std::string_view shown;
    std::string carets, description;
  };
  const Case cases[] = {
      {"bad value", "a = tru", 1, 5, "a = tru", "^^^",
       "Error while parsing boolean: encountered end-of-file"},
      {"bad value on a later line", "a = 1\n[b]\nc = nope\n", 3, 5, "c = nope", "^^^^",
       "Error while parsing floating-point: expected 'nan', saw 'no'"},
      {"value run on", "a = true1 # c\n", 1, 5, "a = true1 # c", "^^^^^",
       "Error while parsing boolean: expected value-terminator, saw '1'"},
      {"integer out of range", "n = 9223372036854775808", 1, 5, "n = 9223372036854775808",
       std::string(19, '^'),
       "Error while parsing decimal integer: '9223372036854775808' is not representable in 64 "
       "bits"},
      {"negative integer out of range", "n = [1, -9223372036854775809]\n", 1, 9,
       "n = [1, -9223372036854775809]", std::string(20, '^'),
       "Error while parsing decimal integer: '9223372036854775809' is not representable in 64 "
       "bits"},
      {"float out of range", "n = [\n  1.5e400, # big\n]\n", 2, 3, "  1.5e400, # big", "^^^^^^^",
       "Error while parsing floating-point: '1.5e400' could not be interpreted as a value"},
      {"date and time joined by a blank", "d = 1979-05-27 25:00:00\n", 1, 5,
       "d = 1979-05-27 25:00:00", std::string(19, '^'),
       "Error while parsing time: expected hour between 0 to 59 (inclusive), saw 25"},
      {"repeated key", "[shape]\nn = 1\nn = 2\n", 3, 1, "n = 2", "^",
       "Error while parsing key-value pair: cannot redefine existing integer 'n'"},
      {"repeated key in an inline table", "t = { a.b = 1, a.b = [2] }\n", 1, 16,
       "t = { a.b = 1, a.b = [2] }", "^^^",
       "Error while parsing key-value pair: cannot redefine existing integer 'a.b'"},
      {"repeated quoted key", "\"x],{\" = 1\n\"x],{\" = 2\n", 2, 1, "\"x],{\" = 2", "^^^^^^",
       "Error while parsing key-value pair: cannot redefine existing integer '\"x]x],{\" '"},
      {"table redefined", "[ a . b ]\nc = 1\n[ a . b ]\n", 3, 3, "[ a . b ]", "^^^^^",
       "Error while parsing table header: cannot redefine existing table 'a.b'"},
      {"value redefined as a table", "[a]\nb = 1\n[[a.b]]\n", 3, 3, "[[a.b]]", "^^^",
       "Error while parsing table header: cannot redefine existing integer 'a.b' as "
       "array-of-tables"},
      // The reader checks a header's key once it has read the header's line.
      {"header into a closed inline table", "shape = {d = 1}\n[shape.e]\n", 2, 2, "[shape.e]",
       "^^^^^^^",
       "Error while parsing table header: cannot insert 'shape.e' into existing inline table"},
      {"header into a closed inline table at the end", "shape = {d = 1}\r\n[shape.e]", 2, 2,
       "[shape.e]", "^^^^^^^",
       "Error while parsing table header: cannot insert 'shape.e' into existing inline table"},
      {"header under a value, a comment after it", "a = 1\n [ a.b ] # c\nx = 2\n", 2, 4,
       " [ a.b ] # c", "^^^",
       "Error while parsing table header: cannot redefine existing integer 'a.b' as table"},
      {"dotted key redefined", "a.b = 1\na.b.c = 2\n", 2, 1, "a.b.c = 2", "^^^^^",
       "Error while parsing key-value pair: cannot redefine existing integer as dotted "
       "key-value pair"},
      {"bad escape", "s = \"ab\\qc\"\n", 1, 8, "s = \"ab\\qc\"", "^^",
       "Error while parsing string: unknown escape sequence '\\q'"},
      {"short unicode escape", "s = \"ab\\u12\"\n", 1, 8, "s = \"ab\\u12\"", "^^^^",
       "Error while parsing unicode scalar sequence: expected hex digit, saw '\"'"},
      {"surrogate escape", "s = \"\\uD800x\"\n", 1, 6, "s = \"\\uD800x\"", "^^^^^^",
       "Error while parsing unicode scalar sequence: unicode surrogates (U+D800 - U+DFFF) are "
       "explicitly prohibited"},
      {"unterminated string", "s = \"abc # no end\n", 1, 5, "s = \"abc # no end",
       std::string(13, '^'),
       "Error while parsing string: unescaped control characters other than TAB (U+0009) are "
       "explicitly prohibited"},
      {"unterminated string at the end", "s = 'abc", 1, 5, "s = 'abc", "^^^^",
       "Error while parsing literal string: encountered end-of-file"},
      {"unterminated multi-line string", "# \"\nt = \"\"\"ab\n\ncd\n", 2, 5, "t = \"\"\"ab",
       "^^^^^", "Error while parsing string: encountered end-of-file"},
      {"unterminated array at the end", "a = [1, 2\n", 1, 9, "a = [1, 2", "^",
       "Error while parsing array: encountered end-of-file"},
      {"unterminated array after a blank line", "a = [1,\n\n", 2, 1, "", "^",
       "Error while parsing array: encountered end-of-file"},
      {"unterminated inline table at the end", "a = {x = 1", 1, 10, "a = {x = 1", "^",
       "Error while parsing inline table: encountered end-of-file"},
      {"a closing brace where an array's value stands", "g = [1, }\n", 1, 9, "g = [1, }", "^",
       "Error while parsing value: could not determine value type"},
      {"a date, a blank and a digit at a line's end", "a = 1979-05-27 2\n", 1, 16,
       "a = 1979-05-27 2", "^",
       "Error while parsing key-value pair: expected a comment or whitespace, saw '2'"},
      {"a time that starts with a NUL", nul_time, 1, 8, nul_time_line, std::string(22, '^'),
       "Error while parsing time: expected 2-digit hour, saw '\\u0000'"},
      {"control character in a string", "a = \"x\x01\"\n", 1, 7, "a = \"x\x01\"", "^",
       "Error while parsing string: unescaped control characters other than TAB (U+0009) are "
       "explicitly prohibited"},
      {"stray character", "a = 1 $\n", 1, 7, "a = 1 $", "^",
       "Error while parsing key-value pair: expected a comment or whitespace, saw '$'"},
      {"header without a key", "[!]\n", 1, 2, "[!]", "^", no_key + "!'"},
      {"header cut short by a line feed", "[[\nk = 1\n", 1, 2, "[[", "^", no_key + "\\n'"},
      {"stray character in a header", "[a.!]\n", 1, 4, "[a.!]", "^", no_key + "!'"},
      {"non-ASCII characters before the error", "\"cl\xc3\xa9\" = [\"\xe6\x97\xa5\", nope]\n", 1,
       15, "\"cl\xc3\xa9\" = [\"\xe6\x97\xa5\", nope]", "^^^^",
       "Error while parsing floating-point: expected 'nan', saw 'no'"},
      {"CRLF line ends", "a = 1\r\nb = tru\r\n", 2, 5, "b = tru", "^^^",
       "Error while parsing boolean: expected 'true', saw 'tru\\r'"},
      {"CRLF string cut short", "a = 1\r\nb = \"x\r\n", 2, 5, "b = \"x", "^^",
       "Error while parsing string: unescaped control characters other than TAB (U+0009) are "
       "explicitly prohibited"},
      {"CRLF array at the end", "a = [1,\r\n", 1, 7, "a = [1,", "^",
       "Error while parsing array: encountered end-of-file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::string number = std::to_string(c.line);
    std::string gutter(number.size() + 1, ' ');
    EXPECT_EQ(parse_report(c.text), "stop: failed to parse conf/c.toml: TOML parse error at line " +
                                        number + ", column " + std::to_string(c.column) + "\n" +
                                        gutter + "|\n" + number + " | " + std::string(c.shown) +
                                        "\n" + gutter + "|" + std::string(c.column, ' ') +
                                        c.carets + "\n" + c.description + "\n");
  }
}

// The TOML reader asks of every such character whether it is whitespace; one in each range
// that its classifier once left undefined.
TEST(ConfigToml, NonAsciiCharactersWhereWhitespaceMayStand) {
  for (std::string_view c : {"\xc3\xa9", "\xd0\x96", "\xe3\x80\x81", "\xef\xba\xbf"}) {
    SCOPED_TRACE(c);
    const std::string s(c);
    // After a line-ending backslash a multi-line string skips whitespace up to it.
    WeightMapping mapping =
        weight_mapping_from_toml_text("c.toml", "[weights]\ns = \"\"\"a \\\n  " + s + "\"\"\"\n");
    ASSERT_NE(mapping.find("weights.s"), nullptr);
    EXPECT_EQ(*mapping.find("weights.s"), "a " + s);
    EXPECT_EQ(parse_report("a = 1 " + s + "\n"),
              "stop: failed to parse conf/c.toml: TOML parse error at line 1, column 7\n"
              "  |\n"
              "1 | a = 1 " +
                  s +
                  "\n"
                  "  |       ^\n"
                  "Error while parsing key-value pair: expected a comment or whitespace, saw '" +
                  s + "'\n");
    EXPECT_EQ(
        parse_report(s + " = 1\n"),
        "stop: failed to parse conf/c.toml: TOML parse error at line 1, column 1\n"
        "  |\n"
        "1 | " +
            s +
            " = 1\n"
            "  | ^\n"
            "Error while parsing root table: expected keys, tables, whitespace or comments, saw '" +
            s + "'\n");
  }
}

// A description that the report does not know, whatever its scope, is shown at the
// reader's own point.
TEST(ConfigToml, UnknownDescriptionsStandAtTheReadersPoint) {
  const std::string text = "a = tru\n[b]\n";
  struct Case {
    std::string_view description;
    std::size_t line, column;  // the reader's point
    TomlErrorPlace place;
  };
  const Case cases[] = {
      {"Error while parsing boolean: expected 'true'", 1, 7, {1, 5, 3}},
      {"Error while parsing boolean value: expected 'true'", 1, 7, {1, 7, 1}},
      {"Error while parsing table header: cannot redefine existing table 'b'", 2, 1, {2, 2, 1}},
      {"Error while parsing table header: a reason no reader gave yet", 3, 1, {3, 1, 1}},
      {"no scope at all", 1, 7, {1, 7, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    TomlErrorPlace place = toml_error_place(text, c.line, c.column, c.description);
    EXPECT_EQ(std::tuple(place.line, place.column, place.extent),
              std::tuple(c.place.line, c.place.column, c.place.extent));
  }
  const std::string_view unknown = "what a newer reader says";
  EXPECT_EQ(
      toml_error_report(text, toml_error_place(text, 2, 3, unknown), unknown),
      "TOML parse error at line 2, column 3\n  |\n2 | [b]\n  |   ^\nwhat a newer reader says\n");
  EXPECT_EQ(toml_error_report(text, toml_error_place(text, 0, 0, unknown), unknown),
            "what a newer reader says\n");
}

TEST(ConfigToml, ReportLayout) {
  const std::string text =
      "first\nab\xc3\xa9"
      "def\nlast";
  // Carets cover the extent but stop at the line's end; one may stand just past it.
  EXPECT_EQ(toml_error_report(text, {2, 5, 10}, "wide"),
            "TOML parse error at line 2, column 5\n  |\n2 | ab\xc3\xa9"
            "def\n  |     ^^\nwide\n");
  EXPECT_EQ(toml_error_report(text, {2, 3, 2}, "two"),
            "TOML parse error at line 2, column 3\n  |\n2 | ab\xc3\xa9"
            "def\n  |   ^^\ntwo\n");
  EXPECT_EQ(toml_error_report(text, {3, 5, 3}, "end"),
            "TOML parse error at line 3, column 5\n  |\n3 | last\n  |     ^\nend\n");
  EXPECT_EQ(toml_error_report(text, {4, 1, 1}, "past"),
            "TOML parse error at line 4, column 1\n  |\n4 | \n  | ^\npast\n");
  // Without a place the description stands alone; it never breaks a line of its own.
  EXPECT_EQ(toml_error_report(text, {}, "saw '\n' and '\x01'"), "saw '\\n' and '\\u{1}'\n");
}

TEST(ConfigToml, NestingBeyondTheLimitIsRefusedBeforeParsing) {
  auto header = [](std::size_t depth) {
    std::string text = "[weights";
    for (std::size_t i = 1; i < depth; ++i) text += ".a";
    return text + "]\nx = \"t\"\n";
  };
  EXPECT_EQ(parse_report(header(kMaxTomlNesting)), "parsed");
  const std::string refused = "exceeded maximum nesting depth of " +
                              std::to_string(kMaxTomlNesting) + " tables and arrays\n";
  std::string deep = header(kMaxTomlNesting + 1);
  EXPECT_EQ(parse_report("ok = 1\n" + deep),
            "stop: failed to parse conf/c.toml: TOML parse error at line 2, column 1\n"
            "  |\n"
            "2 | " +
                deep.substr(0, deep.find('\n')) +
                "\n"
                "  | ^\n" +
                refused);
  // Dotted keys count, inside inline tables too, and a point inside a quoted key does not.
  std::string dotted = "k = { a";
  for (std::size_t i = 0; i < kMaxTomlNesting; ++i) dotted += ".a";
  EXPECT_EQ(parse_report(dotted + " = 1 }\n"),
            "stop: failed to parse conf/c.toml: TOML parse error at line 1, column " +
                std::to_string(8 + 2 * (kMaxTomlNesting - 2)) + "\n  |\n1 | " + dotted +
                " = 1 }\n  |" + std::string(8 + 2 * (kMaxTomlNesting - 2), ' ') + "^\n" + refused);
  std::string quoted = "\"" + std::string(2 * kMaxTomlNesting, '.') + "\" = 1\n";
  EXPECT_EQ(parse_report(quoted), "parsed");
  // Text that only looks like nesting: strings, comments, multi-line strings.
  std::string points(2 * kMaxTomlNesting, '.');
  EXPECT_EQ(parse_report("s = \"\"\"\n[" + points + "]\n\"\"\"\n# [" + points + "]\nt = '''" +
                         points + "'''\nu = [1.5, '" + points + "']\n"),
            "parsed");
  // An error of the reader before the statement that nests too deep is reported first.
  EXPECT_EQ(parse_report("a = \n" + deep),
            "stop: failed to parse conf/c.toml: TOML parse error at line 1, column 4\n"
            "  |\n"
            "1 | a = \n"
            "  |    ^\n"
            "Error while parsing key-value pair: expected value, saw '\\n'\n");
}

// The outcome of parsing `text` on a thread with a stack of `bytes`.
std::string report_on_stack(const std::string& text, std::size_t bytes) {
  struct Job {
    const std::string& text;
    std::string outcome;
  } job{text, {}};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, bytes);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    auto* given = static_cast<Job*>(arg);
    given->outcome = parse_report(given->text);
    return nullptr;
  };
  int started = pthread_create(&thread, &attributes, run, &job);
  pthread_attr_destroy(&attributes);
  if (started != 0) return "no thread";
  pthread_join(thread, nullptr);
  return job.outcome;
}

// Every shape of the deepest document fits a small stack; one level more is refused.
TEST(ConfigToml, TheDeepestDocumentFitsASmallStack) {
  constexpr std::size_t kStack = 256 * 1024;
  const std::string refused = "exceeded maximum nesting depth of " +
                              std::to_string(kMaxTomlNesting) + " tables and arrays\n";
  auto header = [](std::size_t depth) {
    std::string text = "[t";
    for (std::size_t i = 1; i < depth; ++i) text += ".t";
    return text + "]\n";
  };
  // Each "[[...]]" header opens an array and a table below the tables before it.
  auto table_arrays = [](std::size_t headers) {
    std::string text, path = "t";
    for (std::size_t i = 0; i < headers; ++i, path += ".t") text += "[[" + path + "]]\n";
    return text;
  };
  // Inline tables take the most stack of every level.
  auto inline_tables = [](std::size_t depth) {
    std::string text = "v = ";
    for (std::size_t i = 1; i < depth; ++i) text += "{ a = ";
    text += "1";
    for (std::size_t i = 1; i < depth; ++i) text += " }";
    return text + "\n";
  };
  auto inline_arrays = [](std::size_t depth) {
    return "v = " + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "\n";
  };
  EXPECT_EQ(report_on_stack(header(kMaxTomlNesting), kStack), "parsed");
  EXPECT_EQ(report_on_stack(table_arrays(kMaxTomlNesting / 2), kStack), "parsed");
  EXPECT_EQ(report_on_stack(inline_tables(kMaxTomlNesting), kStack), "parsed");
  EXPECT_EQ(report_on_stack(inline_arrays(kMaxTomlNesting), kStack), "parsed");
  EXPECT_NE(report_on_stack(inline_tables(kMaxTomlNesting + 1), kStack).find(refused),
            std::string::npos);
  std::string deeper = header(kMaxTomlNesting + 1);
  EXPECT_EQ(report_on_stack(deeper, kStack),
            "stop: failed to parse conf/c.toml: TOML parse error at line 1, column 1\n"
            "  |\n"
            "1 | " +
                deeper.substr(0, deeper.size() - 1) +
                "\n"
                "  | ^\n" +
                refused);
  std::string arrays = table_arrays(kMaxTomlNesting / 2 + 1);
  std::string last = arrays.substr(arrays.rfind("[["));
  last.pop_back();
  EXPECT_EQ(report_on_stack(arrays, kStack),
            "stop: failed to parse conf/c.toml: TOML parse error at line " +
                std::to_string(kMaxTomlNesting / 2 + 1) + ", column 1\n   |\n" +
                std::to_string(kMaxTomlNesting / 2 + 1) + " | " + last + "\n   | ^\n" + refused);
}

// The reader's own limit of nested values lies beyond the guard's.
TEST(ConfigToml, DeeplyNestedInlineValuesMeetTheGuardFirst) {
  std::string line = "v = " + std::string(300, '[') + std::string(300, ']');
  const std::size_t column = 4 + kMaxTomlNesting;
  EXPECT_EQ(parse_report(line + "\n"),
            "stop: failed to parse conf/c.toml: TOML parse error at line 1, column " +
                std::to_string(column) + "\n  |\n1 | " + line + "\n  |" + std::string(column, ' ') +
                "^\nexceeded maximum nesting depth of " + std::to_string(kMaxTomlNesting) +
                " tables and arrays\n");
}

// --- substitution ---

const ConfigMap kConfig = [] {
  ConfigMap config;
  config["n"] = {ConfigValue::Int{4}};
  config["neg"] = {ConfigValue::Int{-3}};
  config["f"] = {ConfigValue::Float{4.0}};
  config["g"] = {ConfigValue::Float{-2.7}};
  config["nan"] = {ConfigValue::Float{std::numeric_limits<double>::quiet_NaN()}};
  config["inf"] = {ConfigValue::Float{std::numeric_limits<double>::infinity()}};
  config["-inf"] = {ConfigValue::Float{-std::numeric_limits<double>::infinity()}};
  config["big"] = {ConfigValue::Float{9223372036854774784.0}};
  config["two63"] = {ConfigValue::Float{9223372036854775808.0}};
  config["-two63"] = {ConfigValue::Float{-9223372036854775808.0}};
  config["v"] = {ConfigValue::Vector{{1.0, 2.0}}};
  config[""] = {ConfigValue::Int{9}};
  return config;
}();

std::string sub(std::string_view name) {
  return vel::debug_dim(sub_dim(vel::test::named(std::string(name)), kConfig));
}

TEST(Substitution, DimensionsTakeIntegersAndTruncatedFloats) {
  struct Case {
    std::string_view name, expected;
  };
  const Case cases[] = {
      {"param.n", "Concrete(4)"},
      {"param.neg", "Concrete(-3)"},
      {"param.f", "Concrete(4)"},
      {"param.g", "Concrete(-2)"},
      {"param.nan", "Concrete(0)"},
      {"param.inf", "Concrete(9223372036854775807)"},
      {"param.-inf", "Concrete(-9223372036854775808)"},
      {"param.big", "Concrete(9223372036854774784)"},
      {"param.two63", "Concrete(9223372036854775807)"},
      {"param.-two63", "Concrete(-9223372036854775808)"},
      {"param.", "Concrete(9)"},
      {"param.v", "Named(\"param.v\")"},
      {"param.missing", "Named(\"param.missing\")"},
      {"n", "Named(\"n\")"},
      {"Param.n", "Named(\"Param.n\")"},
  };
  for (const Case& c : cases) EXPECT_EQ(sub(c.name), c.expected) << c.name;
  EXPECT_EQ(sub_dim(vel::test::concrete(-5), kConfig), vel::test::concrete(-5));
}

std::string sub_source(std::string_view source) {
  return outcome([&] { return vel::format_vel(sub_module(vel::parse(source), kConfig), 100); });
}

std::string canonical(std::string_view source) { return vel::format_vel(vel::parse(source), 100); }

TEST(Substitution, ModulesChangeOnlyTypesAndLoopCounts) {
  EXPECT_EQ(sub_source(R"(// head
f(x: f32[param.n, n], w: *) -> (y: f32[param.f, 2]) {
  // kept
  a: f32[param.g], b = view["a -> a", a=3](x, param.n, weights.param.n)
  l: f32[param.n] = loop[g, n](x)
  m: f32[param.n] = loop[g, param.n](x)
  k = loop[g, f](x)
  p = loop[g, param.v](x)
  q = loop[g, 7](x)
  r = loop[g, missing](x)
}

g(x: f32[param.n]) -> (y: f32[param.n]) {
  y: f32[param.n] = map[exp](x)
}
)"),
            canonical(R"(// head
f(x: f32[4, n], w: *) -> (y: f32[4, 2]) {
  // kept
  a: f32[-2], b = view["a -> a", a=3](x, param.n, weights.param.n)
  l: f32[4] = loop[g, 4](x)
  m: f32[4] = loop[g, 4](x)
  k = loop[g, f](x)
  p = loop[g, param.v](x)
  q = loop[g, 7](x)
  r = loop[g, missing](x)
}

g(x: f32[4]) -> (y: f32[4]) {
  y: f32[4] = map[exp](x)
}
)"));
}

TEST(Substitution, DictParametersAndAnEmptyConfigurationChangeNothing) {
  vel::Module module = vel::parse("f(w: *, x: f32[param.n]) -> () {\n}\n");
  vel::TensorType dict = vel::test::type("*", {vel::test::named("param.n")});
  EXPECT_EQ(sub_type(dict, kConfig), dict);
  EXPECT_EQ(sub_module(module, {}), module);
}

TEST(Substitution, ANegativeLoopCountIsRefused) {
  EXPECT_EQ(sub_source("f() -> () {\n  a = loop[g, param.neg](x)\n}\n"),
            "stop: Loop count 'param.neg' is negative: -3");
  EXPECT_EQ(sub_source("f() -> () {\n  a = loop[g, neg](x)\n}\n"),
            "stop: Loop count 'neg' is negative: -3");
}

}  // namespace
