#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "test_parse_support.hpp"

using namespace vel;
using namespace vel::testing_parse;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// Equal atoms, floats compared bit for bit so that the sign of zero counts.
bool same_atom(const Atom& a, const Atom& b) {
  if (a.value.index() != b.value.index()) return false;
  if (auto* x = std::get_if<Atom::Float>(&a.value))
    return std::bit_cast<std::uint64_t>(x->value) ==
           std::bit_cast<std::uint64_t>(std::get<Atom::Float>(b.value).value);
  return a == b;
}

std::string show(const Atom& a) {
  if (auto* i = std::get_if<Atom::Int>(&a.value)) return "Int " + std::to_string(i->value);
  if (auto* f = std::get_if<Atom::Float>(&a.value)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Float %.17g", f->value);
    return buf;
  }
  return "Name " + std::get<Atom::Name>(a.value).text;
}

struct AtomCase {
  std::string token;
  Atom atom;
};

class ParseAtom : public ::testing::TestWithParam<AtomCase> {};

TEST_P(ParseAtom, ReadsToken) {
  Atom got = parser::parse_atom(GetParam().token);
  EXPECT_TRUE(same_atom(got, GetParam().atom))
      << GetParam().token << " gave " << show(got) << ", want " << show(GetParam().atom);
}

INSTANTIATE_TEST_SUITE_P(
    Integers, ParseAtom,
    ::testing::Values(AtomCase{"42", int_atom(42)}, AtomCase{"-7", int_atom(-7)},
                      AtomCase{"007", int_atom(7)}, AtomCase{"+5", int_atom(5)},
                      AtomCase{"9223372036854775807", int_atom(kMax)},
                      AtomCase{"-9223372036854775808", int_atom(kMin)},
                      AtomCase{"9223372036854775808", name_atom("9223372036854775808")},
                      AtomCase{"-9223372036854775809", name_atom("-9223372036854775809")}));

INSTANTIATE_TEST_SUITE_P(
    Floats, ParseAtom,
    ::testing::Values(
        AtomCase{"inf", float_atom(kInf)}, AtomCase{"1.5", float_atom(1.5)},
        AtomCase{"1.", float_atom(1.0)}, AtomCase{".5", float_atom(0.5)},
        AtomCase{"2e3", float_atom(2000.0)}, AtomCase{"1.e5", float_atom(100000.0)},
        AtomCase{"2.5E-3", float_atom(0.0025)}, AtomCase{"1e+2", float_atom(100.0)},
        AtomCase{"-0.0", float_atom(-0.0)}, AtomCase{"0.0", float_atom(0.0)},
        AtomCase{"1e999", float_atom(kInf)}, AtomCase{"-1e999", float_atom(-kInf)},
        AtomCase{"1e-999", float_atom(0.0)}, AtomCase{"-1e-999", float_atom(-0.0)},
        AtomCase{"1e99999999999999999999999", float_atom(kInf)},
        AtomCase{"0.000e99999999999999999999999", float_atom(0.0)},
        AtomCase{".001e312", float_atom(kInf)}, AtomCase{"1000e-327", float_atom(0.0)},
        AtomCase{"1.8e308", float_atom(kInf)},
        AtomCase{"1.7976931348623157e308", float_atom(std::numeric_limits<double>::max())},
        AtomCase{"5e-324", float_atom(std::numeric_limits<double>::denorm_min())},
        AtomCase{"3e-324", float_atom(std::numeric_limits<double>::denorm_min())},
        AtomCase{"2e-324", float_atom(0.0)},
        AtomCase{"0.00000000000000000000000000000000000001e-290", float_atom(0.0)},
        AtomCase{"123456789012345678901234567890.0", float_atom(123456789012345678901234567890.0)},
        // ties go to the even neighbour
        AtomCase{"9007199254740993.0", float_atom(9007199254740992.0)},
        AtomCase{"0.1000000000000000055511151231257827021181583404541015625", float_atom(0.1)}));

INSTANTIATE_TEST_SUITE_P(
    Names, ParseAtom,
    ::testing::Values(AtomCase{"x", name_atom("x")}, AtomCase{"e5", name_atom("e5")},
                      AtomCase{"E", name_atom("E")}, AtomCase{"nan", name_atom("nan")},
                      AtomCase{"NaN", name_atom("NaN")}, AtomCase{"NaN.0", name_atom("NaN.0")},
                      AtomCase{"Inf", name_atom("Inf")},
                      AtomCase{"infinity", name_atom("infinity")},
                      AtomCase{"weights.w", name_atom("weights.w")},
                      AtomCase{"layers.*", name_atom("layers.*")}, AtomCase{"_x", name_atom("_x")},
                      AtomCase{"-", name_atom("-")}, AtomCase{"+", name_atom("+")},
                      AtomCase{"->", name_atom("->")}, AtomCase{"(", name_atom("(")},
                      AtomCase{"\"abc\"", name_atom("\"abc\"")},
                      AtomCase{"// c", name_atom("// c")}));

TEST(ParseAtom, MalformedFloatTokensStop) {
  for (std::string token : {"1e", "1.5E+", "1E-", "...", "_x.y", "_e", "\"a.b\"", "\"e\""}) {
    EXPECT_EQ(stop_message([&] { parser::parse_atom(token); }), kFloatFault) << token;
  }
}

struct TypeCase {
  std::string source;
  TensorType type;
};

class ParseType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(ParseType, ReadsDtypeAndDims) {
  std::string source = GetParam().source + " rest";
  parser::Parser p = parser_of(source);
  EXPECT_EQ(parser::parse_type(p), GetParam().type) << GetParam().source;
  EXPECT_EQ(p.cursor.next(), "rest");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseType,
    ::testing::Values(TypeCase{"f32[]", type("f32")},
                      TypeCase{"f32[4 5]", type("f32", {concrete(4), concrete(5)})},
                      TypeCase{"f32[,4,5]", type("f32", {concrete(4), concrete(5)})},
                      TypeCase{"i8[-3, 007]", type("i8", {concrete(-3), concrete(7)})},
                      TypeCase{"x[-9223372036854775808]", type("x", {concrete(kMin)})},
                      TypeCase{
                          "f32[n, param.d_model, layers.*, ..., \"q\", -, ->]",
                          type("f32", {named("n"), named("param.d_model"), named("layers.*"),
                                       named("..."), named("\"q\""), named("-"), named("->")})},
                      // after a comma the next token is a dimension, even "]" or ","
                      TypeCase{"f32[4,] n]", type("f32", {concrete(4), named("]"), named("n")})},
                      TypeCase{"f32[4,,5]", type("f32", {concrete(4), named(","), concrete(5)})},
                      TypeCase{"\"q\"[2]", type("\"q\"", {concrete(2)})},
                      TypeCase{"][]", type("]")},
                      TypeCase{"f32 // c\n[ // d\n 4]", type("f32", {concrete(4)})}));

TEST(ParseType, Failures) {
  struct Case {
    std::string source, message;
  };
  for (const Case& c : std::vector<Case>{
           {"f32 x", R"~(Expected "[", got "x")~"},
           {"f32[9223372036854775808]", int_fault("PosOverflow")},
           {"f32[92233720368547758070]", int_fault("PosOverflow")},
           {"f32[-9223372036854775809]", int_fault("NegOverflow")},
           {"f32[1.5]", int_fault("InvalidDigit")},
           {"f32[1e3]", int_fault("InvalidDigit")},
           {"f32[1.]", int_fault("InvalidDigit")},
           // the first fault from the left decides
           {"f32[99999999999999999999.5]", int_fault("PosOverflow")},
           {"f32[9223372036854775807.5]", int_fault("InvalidDigit")},
           {"f32[4", "index out of bounds: the len is 3 but the index is 3"},
       }) {
    parser::Parser p = parser_of(c.source);
    EXPECT_EQ(stop_message([&] { parser::parse_type(p); }), c.message) << c.source;
  }
}

struct LiteralCase {
  std::string source;
  LiteralValue value;
};

class ParseLiteral : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(ParseLiteral, ReadsValue) {
  std::string source = GetParam().source + " rest";
  parser::Parser p = parser_of(source);
  LiteralValue got = p.cursor.peek() == parser::TokenKind::LBracket
                         ? parser::parse_list_literal(p)
                         : parser::parse_literal_scalar(p);
  EXPECT_EQ(got, GetParam().value) << GetParam().source;
  EXPECT_EQ(p.cursor.next(), "rest");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseLiteral,
    ::testing::Values(
        LiteralCase{"3", lit_int(3)}, LiteralCase{"-3", lit_int(-3)},
        LiteralCase{"0.5", lit_float(0.5)}, LiteralCase{"inf", lit_float(kInf)},
        LiteralCase{"-inf", lit_float(-kInf)}, LiteralCase{"- // c\n inf", lit_float(-kInf)},
        LiteralCase{"[]", lit_list({})},
        LiteralCase{"[1, 2.5, inf]", lit_list({lit_int(1), lit_float(2.5), lit_float(kInf)})},
        LiteralCase{"[[1 2] [3] []]", lit_list({lit_list({lit_int(1), lit_int(2)}),
                                                lit_list({lit_int(3)}), lit_list({})})},
        LiteralCase{"[1 2]", lit_list({lit_int(1), lit_int(2)})},
        LiteralCase{"[,1,2]", lit_list({lit_int(1), lit_int(2)})},
        LiteralCase{"[-inf, -1e999]", lit_list({lit_float(-kInf), lit_float(-kInf)})}));

TEST(ParseLiteral, Failures) {
  struct Case {
    std::string source, message;
  };
  for (const Case& c : std::vector<Case>{
           {"- 3", "Expected 'inf' after '-', got \"3\""},
           {"- x", "Expected 'inf' after '-', got \"x\""},
           {"x", "Expected literal value, got name \"x\""},
           {"nan", "Expected literal value, got name \"nan\""},
           {"NaN.0", "Expected literal value, got name \"NaN.0\""},
           {"\"1\"", "Expected literal value, got name \"\\\"1\\\"\""},
           {"[1,]", "Expected literal value, got name \"]\""},
           {"[1,,2]", "Expected literal value, got name \",\""},
           {"[1e]", kFloatFault},
           {"[1", "index out of bounds: the len is 2 but the index is 2"},
           {"-", "index out of bounds: the len is 1 but the index is 1"},
       }) {
    parser::Parser p = parser_of(c.source);
    auto read = [&] {
      if (p.cursor.peek() == parser::TokenKind::LBracket)
        parser::parse_list_literal(p);
      else
        parser::parse_literal_scalar(p);
    };
    EXPECT_EQ(stop_message(read), c.message) << c.source;
  }
  const std::string s_src = "(1)";
  parser::Parser p = parser_of(s_src);
  EXPECT_EQ(stop_message([&] { parser::parse_list_literal(p); }), R"~(Expected "[", got "(")~");
}

TEST(ParseLiteral, CommentsBetweenItemsStayPending) {
  const std::string s_src = "[1 // a\n 2 // b\n]";
  parser::Parser p = parser_of(s_src);
  EXPECT_EQ(parser::parse_list_literal(p), lit_list({lit_int(1), lit_int(2)}));
  EXPECT_EQ(p.cursor.take_comments(), (std::vector<Text>{"// a", "// b"}));
}

TEST(ParseLiteral, NestingStopsBeyondTheDepthLimit) {
  auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
  };
  std::string deepest = nested(parser::kMaxListDepth);
  parser::Parser ok = parser_of(deepest);
  LiteralValue value = parser::parse_list_literal(ok);
  std::size_t depth = 0;
  for (const LiteralValue* v = &value; auto* list = std::get_if<LiteralValue::List>(&v->value);
       v = &list->items[0])
    ++depth;
  EXPECT_EQ(depth, parser::kMaxListDepth);

  std::string too_deep = nested(parser::kMaxListDepth + 1);
  parser::Parser p = parser_of(too_deep);
  EXPECT_EQ(stop_message([&] { parser::parse_list_literal(p); }),
            "literal list nested deeper than 122 levels");

  std::string million = "f() -> () { x = literal(" + std::string(1'000'000, '[');
  EXPECT_EQ(parse_message(million), "literal list nested deeper than 122 levels");
}

struct DelimitedCase {
  std::string source;
  std::vector<Atom> positional;
  std::vector<std::pair<std::string, Atom>> keywords;
};

TEST(ParseDelimited, PositionalAndKeywordItems) {
  for (const DelimitedCase& c : std::vector<DelimitedCase>{
           {"()", {}, {}},
           {"(x, 2, 2.5)", {name_atom("x"), int_atom(2), float_atom(2.5)}, {}},
           {"(x y)", {name_atom("x"), name_atom("y")}, {}},
           {"(,x,))", {name_atom("x"), name_atom(")")}, {}},
           // the inner text of a quoted token is a name as it stands, never a number
           {"(\"b c\", \"3\", \"\", \"a\\\"\")",
            {name_atom("b c"), name_atom("3"), name_atom(""), name_atom("a\\\"")},
            {}},
           {"(x, a=2, b=3.9, c=-2.7, d=inf, e=y, f=\"q r\")",
            {name_atom("x")},
            {{"a", int_atom(2)},
             {"b", float_atom(3.9)},
             {"c", float_atom(-2.7)},
             {"d", float_atom(kInf)},
             {"e", name_atom("y")},
             {"f", name_atom("q r")}}},
           // a repeated key keeps its place and takes the later value
           {"(a=1, b=2, a=3)", {}, {{"a", int_atom(3)}, {"b", int_atom(2)}}},
           // only a token that begins with an ASCII letter is a key
           {"(x, \"k\" = 1)", {name_atom("x"), name_atom("k"), name_atom("="), int_atom(1)}, {}},
           {"(_k = 1, 3 = 4)",
            {name_atom("_k"), name_atom("="), int_atom(1), int_atom(3), name_atom("="),
             int_atom(4)},
            {}},
           {"(k = = )", {}, {{"k", name_atom("=")}}},
           {"(k=))", {}, {{"k", name_atom(")")}}},
       }) {
    std::string source = c.source + " rest";
    parser::Parser p = parser_of(source);
    parser::Delimited got =
        parser::parse_delimited(p, parser::TokenKind::LParen, parser::TokenKind::RParen);
    EXPECT_EQ(got.positional, c.positional) << c.source;
    EXPECT_EQ(got.keywords, OrderedMap<Atom>::from_pairs(c.keywords)) << c.source;
    EXPECT_EQ(p.cursor.next(), "rest") << c.source;
  }
}

TEST(ParseDelimited, Failures) {
  struct Case {
    std::string source, message;
  };
  for (const Case& c : std::vector<Case>{
           {"[x", "index out of bounds: the len is 2 but the index is 2"},
           {"[k=", "index out of bounds: the len is 3 but the index is 3"},
           {"(x]", R"~(Expected "[", got "(")~"},
           {"[1e+]", kFloatFault},
           {"[k=...]", kFloatFault},
           // a lone double quote at the very end of the source, as an item or a value
           {"[x, \"", "byte range starts at 1 but ends at 0"},
           {"[k=\"", "byte range starts at 1 but ends at 0"},
           // an unterminated quoted token is no quoted name: it reads as an atom
           {"[x \"a.b", kFloatFault},
       }) {
    parser::Parser p = parser_of(c.source);
    auto read = [&] {
      parser::parse_delimited(p, parser::TokenKind::LBracket, parser::TokenKind::RBracket);
    };
    EXPECT_EQ(stop_message(read), c.message) << c.source;
  }
}

}  // namespace
