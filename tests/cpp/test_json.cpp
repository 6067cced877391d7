// The JSON text rules: writer primitives, number classes and float text, strings, white
// space, syntax errors with their line and column, nesting, and the skipping of values.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "test_json_support.hpp"

#include "json_internal.hpp"
#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/json.hpp"
#include "vel/stop.hpp"

using namespace vel;

namespace {

using test::error;
using test::outcome;

// A document holding a list of operation arguments, written back.
std::string args(std::string_view text) {
  return outcome([&] {
    return json::read_document(text, [](json::Reader& in) {
      std::string out = "[";
      in.read_list([&] {
        if (out.size() > 1) out += ',';
        serialize(out, read_atom(in));
      });
      return out + "]";
    });
  });
}

// A document holding one literal value, written back.
std::string literal(std::string_view text) {
  return outcome([&] {
    return json::read_document(text, [](json::Reader& in) {
      std::string out;
      serialize(out, read_literal(in));
      return out;
    });
  });
}

// A module whose unknown member `x` holds `value`, which is skipped; `open` leaves the
// text ending with the value.
std::string skipped(std::string_view value, bool open = false) {
  std::string text = open ? "{\"functions\":{},\"x\":" + std::string(value)
                          : "{\"x\":" + std::string(value) + ",\"functions\":{}}";
  return outcome([&] { return module_to_json(module_from_json(text)); });
}

// The class and value of one number, as messages describe it.
std::string number(std::string_view text) {
  return outcome([&] {
    return json::read_document(text, [](json::Reader& in) {
      in.peek_token();
      return json::describe(in.read_number());
    });
  });
}

struct Case {
  std::string text;
  std::string expected;
};

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

}  // namespace

TEST(JsonWriter, EscapesOnlyWhatJsonRequires) {
  std::string out;
  json::write_string(out, "\"\\\t\x01/\xc3\xa9\x7f");
  EXPECT_EQ(out, "\"\\\"\\\\\\t\\u0001/\xc3\xa9\x7f\"");
  out.clear();
  const char controls[] = "\b\f\n\r\x1f\0 a long plain run of text";
  json::write_string(out, std::string(controls, sizeof controls - 1));
  EXPECT_EQ(out, "\"\\b\\f\\n\\r\\u001f\\u0000 a long plain run of text\"");
  out.clear();
  json::write_string(out, "");
  EXPECT_EQ(out, "\"\"");
}

TEST(JsonWriter, Integers) {
  std::string out;
  append_int(out, std::numeric_limits<std::int64_t>::min());
  out += ' ';
  append_int(out, 0);
  out += ' ';
  append_uint(out, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(out, "-9223372036854775808 0 18446744073709551615");
}

// The float text table, written as an argument and as a literal value, and read back.
TEST(JsonFloatText, TableBothWays) {
  const std::pair<double, std::string> table[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {12.34, "12.34"},
      {100, "100.0"},
      {2500, "2500.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {123456789.125, "123456789.125"},
      {0.00001, "0.00001"},
      {0.00012, "0.00012"},
      {0.000001, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {-2.5e-8, "-2.5e-8"},
      {9223372036854775808.0, "9.223372036854776e+18"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
  };
  for (const auto& [value, text] : table) {
    EXPECT_EQ(json::float_text(value), text);
    std::string atom, lit;
    serialize(atom, Atom{Atom::Float{value}});
    serialize(lit, LiteralValue{LiteralValue::Float{value}});
    EXPECT_EQ(atom, text);
    EXPECT_EQ(lit, text);
    double back = json::read_document(text, [](json::Reader& in) {
      return std::get<LiteralValue::Float>(read_literal(in).value).value;
    });
    EXPECT_EQ(bits(back), bits(value)) << text;
  }
}

TEST(JsonFloatText, RandomDoublesReadBackToTheSameBits) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> unit(-1e6, 1e6);
  for (int i = 0; i < 100000; ++i) {
    // Half of them from all bit patterns, so every exponent is met.
    double d = i % 2 ? unit(rng) : std::bit_cast<double>(rng());
    if (!std::isfinite(d)) continue;
    std::string text = json::float_text(d);
    json::Number n = json::read_document(text, [](json::Reader& in) {
      in.peek_token();
      return in.read_number();
    });
    ASSERT_EQ(n.cls, json::NumberClass::Float) << text;
    ASSERT_EQ(bits(n.f), bits(d)) << text;
  }
}

TEST(JsonNumbers, ClassesByText) {
  const Case cases[] = {
      {"0", "integer `0`"},
      {"18446744073709551615", "integer `18446744073709551615`"},
      {"18446744073709551616", "floating point `1.8446744073709552e+19`"},
      {"-1", "integer `-1`"},
      {"-9223372036854775808", "integer `-9223372036854775808`"},
      {"-9223372036854775809", "floating point `-9.223372036854776e+18`"},
      {"-0", "floating point `-0.0`"},
      {"-0.0", "floating point `-0.0`"},
      {"1.0", "floating point `1.0`"},
      {"1e2", "floating point `100.0`"},
      {"1E+2", "floating point `100.0`"},
      {"25e-1", "floating point `2.5`"},
      {"1e-400", "floating point `0.0`"},
      {"-1e-400", "floating point `-0.0`"},
      {"0e999999999999", "floating point `0.0`"},
      {"1e-999999999999", "floating point `0.0`"},
      {"1000000000000000000000000000000", "floating point `1e+30`"},
      {"1e400", "error: number out of range at 1:5"},
      {"-1.5e308000", "error: number out of range at 1:11"},
      {"1.7976931348623159e308", "error: number out of range at 1:22"},
      // Out of range, the side is told by where the first non-zero digit stands.
      {"0.001e312", "error: number out of range at 1:9"},
      {"1000e-327", "floating point `0.0`"},
      // An exponent past 32 bits fails right after the digit that overflows it.
      {"1e2147483648000", "error: number out of range at 1:12"},
      {"-", "error: EOF while parsing a value at 1:1"},
      {"-a", "error: invalid number at 1:2"},
      {"-.5", "error: invalid number at 1:2"},
      {"01", "error: invalid number at 1:2"},
      {"1.", "error: EOF while parsing a value at 1:2"},
      {"1.e5", "error: invalid number at 1:3"},
      {"1e", "error: EOF while parsing a value at 1:2"},
      {"1e+", "error: EOF while parsing a value at 1:3"},
      {"1ex", "error: invalid number at 1:3"},
      {"2 ", "integer `2`"},
      {"2x", "error: trailing characters at 1:2"},
  };
  for (const auto& c : cases) EXPECT_EQ(number(c.text), c.expected) << c.text;
}

TEST(JsonStrings, DecodeEscapes) {
  EXPECT_EQ(args(R"(["\"\\\/\b\f\n\r\t", "\u0041\u00e9\u20ac", "\ud83d\ude00", "\uD83D\uDE00"])"),
            "[\"\\\"\\\\/\\b\\f\\n\\r\\t\",\"A\xc3\xa9\xe2\x82\xac\",\"\xf0\x9f\x98\x80\","
            "\"\xf0\x9f\x98\x80\"]");
  // A two-byte character stays as it is.
  EXPECT_EQ(args("[\"\xc3\xa9\"]"), "[\"\xc3\xa9\"]");
}

TEST(JsonStrings, Errors) {
  const Case cases[] = {
      {R"(["\x"])", "error: invalid escape at 1:4"},
      {R"(["\u12G4"])", "error: invalid escape at 1:7"},
      {R"(["\u12"])", "error: invalid escape at 1:7"},
      {"[\"\\u12\"", "error: EOF while parsing a string at 1:7"},
      {"[\"ab", "error: EOF while parsing a string at 1:4"},
      {"[\"ab\\", "error: EOF while parsing a string at 1:5"},
      {"[\"a\tb\"]",
       "error: control character (\\u0000-\\u001F) found while parsing a string at 1:4"},
      {"[\"a\\\"\nb\"]",
       "error: control character (\\u0000-\\u001F) found while parsing a string at 2:0"},
      {R"(["\udc00"])", "error: lone leading surrogate in hex escape at 1:8"},
      {R"(["\ud800\u0041"])", "error: lone leading surrogate in hex escape at 1:14"},
      {R"(["\ud800\ud800"])", "error: lone leading surrogate in hex escape at 1:14"},
      {R"(["\ud800x"])", "error: unexpected end of hex escape at 1:9"},
      {R"(["\ud800\n"])", "error: unexpected end of hex escape at 1:10"},
      {"[\"\\ud800", "error: EOF while parsing a string at 1:8"},
      {"[\"\\ud800\\", "error: EOF while parsing a string at 1:9"},
  };
  for (const auto& c : cases) EXPECT_EQ(args(c.text), c.expected) << c.text;
}

TEST(JsonSyntax, ErrorsAndTheirPlaces) {
  const Case cases[] = {
      {"", "error: EOF while parsing a value at 1:0"},
      {"   ", "error: EOF while parsing a value at 1:3"},
      {"[", "error: EOF while parsing a list at 1:1"},
      {"[1", "error: EOF while parsing a list at 1:2"},
      {"[1,", "error: EOF while parsing a value at 1:3"},
      {"[1 2]", "error: expected `,` or `]` at 1:4"},
      {"[1,]", "error: trailing comma at 1:4"},
      {"[,1]", "error: expected value at 1:2"},
      {"[x]", "error: expected value at 1:2"},
      {"[tru]", "error: expected ident at 1:5"},
      {"[nul", "error: EOF while parsing a value at 1:4"},
      {"[1] 2", "error: trailing characters at 1:5"},
      {"[1]]", "error: trailing characters at 1:4"},
      {"{}", "error: invalid type: map, expected a sequence at 1:0"},
      {"  \"s\"", "error: invalid type: string \"s\", expected a sequence at 1:5"},
      {"true", "error: invalid type: boolean `true`, expected a sequence at 1:4"},
      {"null", "error: invalid type: null, expected a sequence at 1:4"},
      {"1.5", "error: invalid type: floating point `1.5`, expected a sequence at 1:3"},
      {"-7", "error: invalid type: integer `-7`, expected a sequence at 1:2"},
      // White space is blank, tab, line feed and carriage return only.
      {" \t\r\n[ 1 ,\t2\r\n] \n", "[1,2]"},
      {"\xef\xbb\xbf[]", "error: expected value at 1:1"},
      {"[]\f", "error: trailing characters at 1:3"},
      {"[1\xc2\xa0]", "error: expected `,` or `]` at 1:3"},
      // Line 3, where a two-byte character counts 2 in the column.
      {"[\n1,\n\"\xc3\xa9\" x]", "error: expected `,` or `]` at 3:6"},
      {"[\n\n", "error: EOF while parsing a list at 3:0"},
  };
  for (const auto& c : cases) EXPECT_EQ(args(c.text), c.expected) << c.text;
}

TEST(JsonNesting, AllowanceOf127OpenBrackets) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_EQ(literal(nested(127)), nested(127));
  EXPECT_EQ(literal(nested(128)), "error: recursion limit exceeded at 1:128");
  EXPECT_EQ(literal("[\n" + std::string(127, '[')), "error: recursion limit exceeded at 2:127");
  // Objects count too, also inside an argument that is read whole before it is refused.
  EXPECT_EQ(args("[" + std::string(126, '[') + std::string(126, ']') + "]"),
            "error: data did not match any variant of untagged enum Atom at 1:254");
  EXPECT_EQ(args("[" + std::string(126, '[') + "{"), "error: recursion limit exceeded at 1:128");
}

TEST(JsonSkipping, AnyWellFormedValue) {
  const Case cases[] = {
      {"null", "{\"functions\":{}}"},
      {R"({"a":[1,-2.5e3,true,false,null,"\ud800",{"b":{}}],"c":[]})", "{\"functions\":{}}"},
      // Skipped numbers are checked for form only.
      {"1e400", "{\"functions\":{}}"},
      {"[1,]", "error: expected value at 1:9"},
      {"{\"a\":1,}", "error: key must be a string at 1:13"},
      {"{\"a\":1 ]", "error: expected `,` or `}` at 1:13"},
      {"[1 2]", "error: expected `,` or `]` at 1:9"},
      {"{\"a\" 1}", "error: expected `:` at 1:11"},
      {"{1:2}", "error: key must be a string at 1:7"},
      {"-", "error: invalid number at 1:7"},
      {"01", "error: invalid number at 1:7"},
      {"1.", "error: invalid number at 1:8"},
      {"\"\\q\"", "error: invalid escape at 1:8"},
      {"\"\\u00zz\"", "error: invalid escape at 1:11"},
      {"\"a\x01\"",
       "error: control character (\\u0000-\\u001F) found while parsing a string at 1:8"},
      {"nulL", "error: expected ident at 1:9"},
      {"}", "error: expected value at 1:6"},
  };
  for (const auto& c : cases) EXPECT_EQ(skipped(c.text), c.expected) << c.text;
}

TEST(JsonSkipping, EndOfText) {
  // The text so far is {"functions":{},"x": (20 bytes).
  const Case cases[] = {
      {"{\"a\":1", "error: EOF while parsing an object at 1:26"},
      {"{\"a\":1,", "error: EOF while parsing an object at 1:27"},
      {"{\"a\"", "error: EOF while parsing an object at 1:24"},
      {"[", "error: EOF while parsing a list at 1:21"},
      {"[1,", "error: EOF while parsing a value at 1:23"},
      {"", "error: EOF while parsing a value at 1:20"},
      {"-", "error: invalid number at 1:21"},
      {"1.", "error: invalid number at 1:22"},
      {"1e", "error: invalid number at 1:22"},
      {"\"\\u12", "error: EOF while parsing a string at 1:25"},
      {"tr", "error: EOF while parsing a value at 1:22"},
  };
  for (const auto& c : cases) EXPECT_EQ(skipped(c.text, true), c.expected) << c.text;
}

TEST(JsonSkipping, DepthHasNoLimitAndNoRecursion) {
  EXPECT_EQ(skipped(std::string(300, '[') + std::string(300, ']')), "{\"functions\":{}}");
  const int depth = 1000000;
  std::string deep;
  for (int i = 0; i < depth; ++i) deep += i % 2 ? "{\"k\":" : "[";
  deep += '0';
  for (int i = depth - 1; i >= 0; --i) deep += i % 2 ? "}" : "]";
  EXPECT_EQ(skipped(deep), "{\"functions\":{}}");
  // Left open, it ends at the end of the text inside the innermost bracket.
  EXPECT_EQ(skipped(std::string(depth, '['), true),
            "error: EOF while parsing a list at 1:" + std::to_string(depth + 20));
}

TEST(JsonCustomMessages, TrailingPositionIsPeeled) {
  // A literal's unexpected string comes back to the library as a message.
  const Case cases[] = {
      {R"("NaN")", "error: unexpected string: NaN at 1:5"},
      {R"( "x at line 3 column 4")", "error: unexpected string: x at 3:4"},
      {R"("x at line 0 column 4")", "error: unexpected string: x at 1:22"},
      {R"("x at line 3 column 4 ")", "error: unexpected string: x at line 3 column 4  at 1:23"},
      {R"("x at line  column 4")", "error: unexpected string: x at line  column 4 at 1:21"},
      {R"("x at line 99999999999999999999 column 4")",
       "error: unexpected string: x at line 99999999999999999999 column 4 at 1:41"},
  };
  for (const auto& c : cases) EXPECT_EQ(literal(c.text), c.expected) << c.text;
}

TEST(JsonNumbers, FloatTextReadsAsTheNearestDouble) {
  // Decimal texts of every length and exponent, against a correctly rounded conversion.
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; ++i) {
    std::string digits;
    for (std::size_t k = 1 + rng() % 22; k > 0; --k) digits += static_cast<char>('0' + rng() % 10);
    std::size_t point = 1 + rng() % digits.size();
    std::string whole = digits.substr(0, point);
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size() - 1));
    std::string text = (rng() % 2 ? "-" : "") + whole + "." + digits.substr(point) + "0";
    if (rng() % 2) text += "e" + std::to_string(static_cast<int>(rng() % 90) - 45);
    double expected = 0;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    json::Number n = json::read_document(text, [](json::Reader& in) {
      in.peek_token();
      return in.read_number();
    });
    ASSERT_EQ(bits(n.f), bits(expected)) << text;
  }
  // Texts halfway between two doubles read as the one with the even significand.
  const std::pair<std::string, double> halfway[] = {
      {"9007199254740993.0", 9007199254740992.0},     {"9007199254740995.0", 9007199254740996.0},
      {"-90071992547409930e-1", -9007199254740992.0}, {"18014398509481986e0", 18014398509481984.0},
      {"1.8014398509481990e16", 18014398509481992.0},
  };
  for (const auto& [text, value] : halfway)
    EXPECT_EQ(number(text), number(json::float_text(value)));
}

TEST(JsonLiterals, ListsNestedInListsKeepTheirOwnElements) {
  EXPECT_EQ(literal("[[1,[2,[3,4],5],6],[],[[7]],8]"), "[[1,[2,[3,4],5],6],[],[[7]],8]");
}
